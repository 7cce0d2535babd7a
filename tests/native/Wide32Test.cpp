// The directory handle in a 32-bit process: a stream above 2^31 reaches Java as a negative
// long (sign extension) and is taken back from the low 32 bits.
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "JvmTest.h"

extern "C" {
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(JNIEnv*, jobject, jstring, jobject);
JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(JNIEnv*, jobject, jlong, jstring);
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(JNIEnv*, jobject, jlong);
}

namespace {

constexpr std::uintptr_t kTwoGiB = 0x80000000U;

// Takes every free hole below 2 GiB, largest sizes first, so that new mappings land above.
std::vector<std::pair<void*, std::size_t>> reserveLowHalf() {
    std::vector<std::pair<void*, std::size_t>> taken;
    for (std::size_t len : {std::size_t{64} << 20, std::size_t{1} << 20, std::size_t{64} << 10, std::size_t{4} << 10}) {
        for (;;) {
            void* p = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (p == MAP_FAILED) break;
            if (reinterpret_cast<std::uintptr_t>(p) >= kTwoGiB) {
                munmap(p, len);
                break;
            }
            taken.emplace_back(p, len);
        }
    }
    return taken;
}

// Holds every heap chunk that could serve opendir's buffer (32 KiB and a little), until
// malloc has to map a fresh one, which now lies above 2 GiB.
std::vector<void*> drainHeap() {
    std::vector<void*> held;
    for (;;) {
        void* p = std::malloc(32768);
        if (!p || reinterpret_cast<std::uintptr_t>(p) >= kTwoGiB) {
            std::free(p);
            return held;
        }
        held.push_back(p);
    }
}

}  // namespace

class Wide32 : public JvmTest {};

TEST_F(Wide32, StreamAboveTwoGiBIsANegativeHandleThatLeadsBackToIt) {
    if (sizeof(void*) != 4) GTEST_SKIP() << "only a 32-bit process has addresses that a long sign-extends";
    TempDir dir;
    close(creat((dir.path + "/a").c_str(), 0644));
    close(creat((dir.path + "/b").c_str(), 0644));
    const long fds = openFds(dir.path);
    jstring path = env->NewStringUTF(dir.path.c_str());
    jclass sbClass = env->FindClass("java/lang/StringBuffer");
    jobject sb = env->NewObject(sbClass, env->GetMethodID(sbClass, "<init>", "()V"));

    // opendir's buffer has to come from a fresh mapping, and only the upper half is left for it.
    mallopt(M_MMAP_THRESHOLD, 32768);
    const auto low = reserveLowHalf();
    const auto held = drainHeap();
    const jlong h = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, path, sb);
    for (void* p : held) std::free(p);
    for (auto [p, len] : low) munmap(p, len);
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    ASSERT_NE(h, -1);
    EXPECT_EQ(h >> 32, -1) << std::hex << h;
    jobject first = env->CallObjectMethod(sb, env->GetMethodID(sbClass, "toString", "()Ljava/lang/String;"));
    ASSERT_FALSE(env->ExceptionCheck());
    const std::set<std::string> names = {
        utf8(env, first), utf8(env, Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(env, nullptr, h, path))};
    EXPECT_EQ(names, (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(openFds(dir.path), fds + 1);
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(env, nullptr, h);
    EXPECT_EQ(openFds(dir.path), fds);
}
