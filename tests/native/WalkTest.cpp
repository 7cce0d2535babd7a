// The walk natives called as the VM would: the fast roads held to the lstat road (d_type, the
// fstatat fallback forced as for DT_UNKNOWN, batches, the contract natives), and arguments
// that Java's types cannot produce.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "DirEntries.h"  // compiled into this binary, so that the fallback can be forced
#include "JniUtil.h"
#include "JvmTest.h"

extern "C" {
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(JNIEnv*, jobject, jstring, jobject);
JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(JNIEnv*, jobject, jlong, jstring);
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(JNIEnv*, jobject, jlong);
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_openBatch(JNIEnv*, jclass, jstring);
JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(JNIEnv*, jclass, jlong, jbyteArray);
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeBatch(JNIEnv*, jclass, jlong);
}

namespace {

using Listing = std::set<std::pair<std::string, int>>;  // name bytes, EntryType

// The road the others are held to: lstat of "dir/name", devices and sockets left out.
Listing lstatRoad(const std::string& dir) {
    Listing out;
    for (const auto& e : std::filesystem::directory_iterator(dir, std::filesystem::directory_options::none)) {
        struct stat st;
        if (lstat(e.path().c_str(), &st) != 0) continue;
        const int types[] = {S_IFREG, S_IFDIR, S_IFLNK, S_IFIFO};
        for (int t = 0; t < 4; ++t) {
            if ((st.st_mode & S_IFMT) == unsigned(types[t])) out.emplace(e.path().filename(), t + 1);
        }
    }
    return out;
}

Listing unitRoad(const std::string& dir, bool forceStat) {
    Listing out;
    DIR* d = opendir(dir.c_str());
    fsutil::TypeRoad road = fsutil::typeRoad(d);
    if (forceStat && road == fsutil::TypeRoad::dType) road = fsutil::TypeRoad::statEach;
    fsutil::EntryType type;
    while (const dirent64* e = fsutil::nextEntry(d, road, &type)) out.emplace(e->d_name, static_cast<int>(type));
    closedir(d);
    return out;
}

// Records of a batch: type, two bytes of length, the name's bytes.
Listing batchRoad(JNIEnv* env, const std::string& dir, jsize size = 16384) {
    Listing out;
    const jlong h = Java_com_orvan_mek_fsutil_FolderIteratorNix_openBatch(env, nullptr, env->NewStringUTF(dir.c_str()));
    jbyteArray buf = env->NewByteArray(size);
    std::string b(std::size_t(size), '\0');
    for (jint n; (n = Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(env, nullptr, h, buf)) > 0;) {
        env->GetByteArrayRegion(buf, 0, n, reinterpret_cast<jbyte*>(b.data()));
        for (std::size_t p = 0, len = 0; p < std::size_t(n); p += 3 + len) {
            len = std::size_t(static_cast<unsigned char>(b[p + 1]) << 8 | static_cast<unsigned char>(b[p + 2]));
            EXPECT_TRUE(out.emplace(b.substr(p + 3, len), b[p]).second) << "reported twice";
        }
    }
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeBatch(env, nullptr, h);
    return out;
}

// Names only, as Java strings, against getJavaFilePath of what lstat reports.
void expectContractRoad(JNIEnv* env, const std::string& dir, const Listing& want) {
    std::set<std::string> got, javaNames;
    for (const auto& [name, type] : want) javaNames.insert(utf8(env, getJavaFilePath(env, name.c_str())));
    jclass c = env->FindClass("java/lang/StringBuffer");
    jobject sb = env->NewObject(c, env->GetMethodID(c, "<init>", "()V"));
    jstring path = env->NewStringUTF(dir.c_str());
    const jlong h = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, path, sb);
    jobject first = h == -1 ? nullptr : env->CallObjectMethod(sb, env->GetMethodID(c, "toString", "()Ljava/lang/String;"));
    EXPECT_FALSE(env->ExceptionCheck());
    if (first) got.insert(utf8(env, first));
    while (jstring s = h == -1 ? nullptr : Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(env, nullptr, h, path)) {
        got.insert(utf8(env, s));
        env->DeleteLocalRef(s);
    }
    EXPECT_EQ(got, javaNames) << dir;
}

// Every kind of entry, and names that are and are not UTF-8.
void makeFixture(const std::string& d) {
    for (const char* f : {"file", "\xE9"}) close(creat((d + "/" + f).c_str(), 0644));
    close(creat((d + "/" + std::string(255, 'n')).c_str(), 0644));
    mkdir((d + "/\xC3\xA9").c_str(), 0755);
    mkfifo((d + "/fifo").c_str(), 0600);
    for (const char* l : {"\xC3\xA9", "nowhere", "sock"}) (void)!symlink(l, (d + "/to" + l).c_str());
    sockaddr_un a{AF_UNIX, {}};
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s/sock", d.c_str());
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    (void)!bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    close(s);
    (void)!mknod((d + "/chr").c_str(), S_IFCHR | 0600, makedev(1, 3));  // root only; else simply absent
    (void)!mknod((d + "/blk").c_str(), S_IFBLK | 0600, makedev(7, 0));
}

}  // namespace

class DirType : public JvmTest {};

TEST_F(DirType, EveryRoadReportsWhatLstatReports) {
    TempDir t;
    makeFixture(t.path);
    const long fds = openFds(t.path);
    for (const std::string& dir : {t.path, std::string("/dev")}) {
        const Listing want = lstatRoad(dir);
        ASSERT_GE(want.size(), dir == t.path ? 8u : 1u) << dir;
        EXPECT_EQ(unitRoad(dir, false), want) << dir;
        EXPECT_EQ(unitRoad(dir, true), want) << dir;  // DT_UNKNOWN everywhere
        EXPECT_EQ(batchRoad(env, dir), want) << dir;
        EXPECT_EQ(batchRoad(env, dir, 300), want) << dir;  // room for one record of the longest name
        expectContractRoad(env, dir, want);
    }
    EXPECT_EQ(openFds(t.path), fds);
    // Refused before anything is read from the stream, so nothing is lost.
    for (jbyteArray bad : {jbyteArray(nullptr), env->NewByteArray(100)}) {
        EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(env, nullptr, 0, bad), -1);
        EXPECT_NE(takeThrown(env).text.find(bad ? "IllegalArgumentException" : "NullPointerException"), std::string::npos);
    }
}

// ctest runs this as nobody too: root may search anything.
TEST_F(DirType, ReadableButUnsearchableDirectoryReportsNothing) {
    if (geteuid() == 0) GTEST_SKIP() << "root passes every permission check";
    TempDir t;
    makeFixture(t.path);
    chmod(t.path.c_str(), 0400);
    EXPECT_EQ(lstatRoad(t.path), Listing{});
    EXPECT_EQ(unitRoad(t.path, false), Listing{});
    EXPECT_EQ(batchRoad(env, t.path), Listing{});
    expectContractRoad(env, t.path, Listing{});
    chmod(t.path.c_str(), 0700);
}

// A socket bind-mounted over a file: d_type tells the covered file, lstat the mounted socket.
TEST_F(DirType, MountPointIsTypedByWhatIsMountedOnIt) {
    TempDir t;
    makeFixture(t.path);
    const pid_t pid = fork();
    if (pid == 0) {  // no JVM here: only the unit and system calls
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((t.path + "/sock").c_str(), (t.path + "/file").c_str(), nullptr, MS_BIND, nullptr) != 0) {
            _exit(77);
        }
        const Listing want = lstatRoad(t.path);
        _exit(want.count({"file", 1}) == 0 && unitRoad(t.path, false) == want ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot make a private mount here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DirType, ContractHandleProtocolAndFailuresLeaveNothingOpen) {
    const auto first = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile;
    const auto next = Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile;
    const auto closeHandle = Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle;
    TempDir dir;
    close(creat((dir.path + "/only").c_str(), 0644));
    const jstring jsDir = env->NewStringUTF(dir.path.c_str());
    jclass sbClass = env->FindClass("java/lang/StringBuffer");
    jobject sb = env->NewObject(sbClass, env->GetMethodID(sbClass, "<init>", "()V"));
    const long fds = openFds(dir.path);
    auto thrown = [&](const char* cls) { EXPECT_EQ(takeThrown(env).text.rfind(cls, 0), 0u) << cls; };

    EXPECT_EQ(first(env, nullptr, env->NewStringUTF((dir.path + "/only").c_str()), sb), -1);
    thrown(("java.io.IOException: [UNIXFileSysUtil.getFirstFile] Fail to get first file of '" + dir.path +
            "/only'. Error='Not a directory'").c_str());
    // A buffer whose class has no append(String): the stream is closed, the VM's error reaches Java.
    EXPECT_EQ(first(env, nullptr, jsDir, jsDir), -1);
    thrown("java.lang.NoSuchMethodError: ");
    for (auto [path, buffer] : {std::pair{jstring(nullptr), sb}, std::pair{jsDir, jobject(nullptr)}}) {
        EXPECT_EQ(first(env, nullptr, path, buffer), -1);
        thrown("java.lang.NullPointerException");
    }
    EXPECT_EQ(openFds(dir.path), fds);

    const jlong h = first(env, nullptr, jsDir, sb);
    EXPECT_EQ(openFds(dir.path), fds + 1);
    EXPECT_EQ(next(env, nullptr, h, nullptr), nullptr);  // keeps the stream open and the handle valid
    thrown("java.lang.NullPointerException");
    EXPECT_EQ(openFds(dir.path), fds + 1);
    EXPECT_EQ(next(env, nullptr, h, jsDir), nullptr);
    EXPECT_EQ(openFds(dir.path), fds);  // the end closed it
    closeHandle(env, nullptr, -1);  // "no stream": nothing to do
    closeHandle(env, nullptr, 0);
    closeHandle(env, nullptr, first(env, nullptr, jsDir, sb));
    EXPECT_EQ(openFds(dir.path), fds);
    jobject text = env->CallObjectMethod(sb, env->GetMethodID(sbClass, "toString", "()Ljava/lang/String;"));
    ASSERT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(utf8(env, text), "onlyonly");
}
