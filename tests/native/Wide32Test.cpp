// The contract natives' handle protocol, and arguments Java's types cannot rule out. In a 32-bit
// process the stream is placed above 2^31: its handle is then a negative long (sign extension)
// that must lead back to it through the low 32 bits.
#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include "JvmTest.h"

extern "C" JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_readBatch(JNIEnv*, jclass, jlong, jbyteArray);

namespace {

constexpr std::uintptr_t kTwoGiB = 0x80000000U;

// getFirstFile with every free hole below 2 GiB taken, largest sizes first, and every heap chunk
// that could serve opendir's buffer (32 KiB and a little) held: the buffer has to come from a
// fresh mapping, and only the upper half is left for it.
jlong firstFileAboveTwoGiB(JNIEnv* env, jstring path, jobject sb) {
    std::vector<std::pair<void*, std::size_t>> low;
    for (std::size_t len : {std::size_t{64} << 20, std::size_t{1} << 20, std::size_t{64} << 10, std::size_t{4} << 10}) {
        void* p;
        while ((p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) != MAP_FAILED &&
               reinterpret_cast<std::uintptr_t>(p) < kTwoGiB) {
            low.emplace_back(p, len);
        }
        if (p != MAP_FAILED) munmap(p, len);
    }
    mallopt(M_MMAP_THRESHOLD, 32768);
    std::vector<void*> held;
    do held.push_back(std::malloc(32768));  // until malloc has to map a fresh chunk (or fails)
    while (held.back() && reinterpret_cast<std::uintptr_t>(held.back()) < kTwoGiB);
    const jlong h = firstFile(env, nullptr, path, sb);
    for (void* p : held) std::free(p);
    for (auto [p, len] : low) munmap(p, len);
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    return h;
}

}  // namespace

// Two files in a fresh directory, a StringBuffer for the names, and the descriptors open on it before.
class ContractHandle : public JvmTest {
   protected:
    TempDir dir;
    jstring path = nullptr;
    jobject sb = nullptr;
    long fds = 0;
    void SetUp() override {
        JvmTest::SetUp();
        for (const char* name : {"a", "b"}) close(creat((dir / name).c_str(), 0644));
        path = env->NewStringUTF(dir.path.c_str());
        sb = newStringBuffer(env);
        fds = openFds(dir.path);
    }
    void thrown(const std::string& cls) { EXPECT_EQ(takeThrown(env).text.rfind(cls, 0), 0u) << cls; }
};

TEST_F(ContractHandle, BadArgumentsToTheFirstCallThrowAndLeaveNothingOpen) {
    // A buffer with no append(String): the stream is closed, the VM's error reaches Java.
    const std::tuple<jstring, jobject, const char*> bad[] = {
        {path, path, "java.lang.NoSuchMethodError: "},
        {nullptr, sb, "java.lang.NullPointerException: [UNIXFileSysUtil.getFirstFile] path is null"},
        {path, nullptr, "java.lang.NullPointerException: [UNIXFileSysUtil.getFirstFile] buffer is null"}};
    for (auto [p, buffer, error] : bad) {
        EXPECT_EQ(firstFile(env, nullptr, p, buffer), -1);
        thrown(error);
    }
    EXPECT_EQ(openFds(dir.path), fds);
}

// A batch is refused before anything is read from the stream, so nothing is lost.
TEST_F(ContractHandle, ABatchWithoutRoomIsRefusedBeforeReading) {
    for (jbyteArray buffer : {jbyteArray(nullptr), env->NewByteArray(100)}) {
        EXPECT_EQ(Java_com_orvan_mek_fsutil_NativeDispatcher_readBatch(env, nullptr, 0, buffer), -1);
        thrown(buffer ? "java.lang.IllegalArgumentException: [UNIXFileSysUtil.readBatch] buffer too small"
                      : "java.lang.NullPointerException: [UNIXFileSysUtil.readBatch] buffer is null");
    }
}

TEST_F(ContractHandle, LeadsBackToItsStreamWhateverItsAddress) {
    const jlong h = sizeof(void*) == 4 ? firstFileAboveTwoGiB(env, path, sb) : firstFile(env, nullptr, path, sb);
    ASSERT_NE(h, -1);
    EXPECT_TRUE(sizeof(void*) == 8 || h >> 32 == -1) << std::hex << h;
    const std::string first = text(env, sb);
    EXPECT_EQ((std::set<std::string>{first, utf8(env, nextFile(env, nullptr, h, path))}), (std::set<std::string>{"a", "b"}));
    closeHandle(env, nullptr, h);
    EXPECT_EQ(openFds(dir.path), fds);
}

// A null path on a next call throws and keeps the stream open and its handle valid; the end of
// the listing closes it.
TEST_F(ContractHandle, ANullPathKeepsTheStreamOpenAndTheEndOfTheListingClosesIt) {
    const jlong h = firstFile(env, nullptr, path, sb);
    EXPECT_EQ(nextFile(env, nullptr, h, nullptr), nullptr);
    thrown("java.lang.NullPointerException: [UNIXFileSysUtil.getNextFile] path is null");
    EXPECT_EQ(openFds(dir.path), fds + 1);
    EXPECT_NE(nextFile(env, nullptr, h, path), nullptr);
    EXPECT_EQ(nextFile(env, nullptr, h, path), nullptr);
    EXPECT_EQ(openFds(dir.path), fds);
}

TEST_F(ContractHandle, ClosingNoStreamDoesNothing) {
    for (jlong none : {jlong{-1}, jlong{0}}) closeHandle(env, nullptr, none);
    EXPECT_EQ(openFds(dir.path), fds);
}
