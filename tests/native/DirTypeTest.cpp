// The walk's fast roads held to the lstat road on one fixture: d_type, the fstatat fallback
// forced for every entry (as for DT_UNKNOWN), the contract natives and the batch natives.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "DirEntries.h"  // compiled into this binary, so that the fallback can be forced
#include "JniUtil.h"
#include "JvmTest.h"

extern "C" {
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(JNIEnv*, jobject, jstring, jobject);
JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(JNIEnv*, jobject, jlong, jstring);
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_openBatch(JNIEnv*, jclass, jstring);
JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(JNIEnv*, jclass, jlong, jbyteArray);
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeBatch(JNIEnv*, jclass, jlong);
}

namespace {

using fsutil::EntryType;
using fsutil::TypeRoad;
using Listing = std::set<std::pair<std::string, int>>;  // name bytes, EntryType

// The road the others are held to: lstat of "dir/name", devices and sockets left out.
Listing lstatRoad(const std::string& dir) {
    Listing out;
    DIR* d = opendir(dir.c_str());
    while (const dirent64* e = d ? readdir64(d) : nullptr) {
        const std::string name = e->d_name;
        struct stat st;
        if (name == "." || name == ".." || lstat((dir + "/" + name).c_str(), &st) != 0) continue;
        const mode_t t = st.st_mode & S_IFMT;
        if (t == S_IFCHR || t == S_IFBLK || t == S_IFSOCK) continue;
        const EntryType type = t == S_IFDIR ? EntryType::directory
                               : t == S_IFLNK ? EntryType::symlink
                               : t == S_IFIFO ? EntryType::fifo
                                              : EntryType::file;
        out.emplace(name, static_cast<int>(type));
    }
    if (d) closedir(d);
    return out;
}

Listing unitRoad(const std::string& dir, bool forceStat) {
    Listing out;
    DIR* d = opendir(dir.c_str());
    TypeRoad road = fsutil::typeRoad(d);
    if (forceStat && road == TypeRoad::dType) road = TypeRoad::statEach;
    EntryType type;
    while (const dirent64* e = fsutil::nextEntry(d, road, &type)) out.emplace(e->d_name, static_cast<int>(type));
    closedir(d);
    return out;
}

Listing batchRoad(JNIEnv* env, const std::string& dir) {
    Listing out;
    const jlong h = Java_com_orvan_mek_fsutil_FolderIteratorNix_openBatch(env, nullptr, jstr(env, u16(dir)));
    jbyteArray buf = env->NewByteArray(16384);
    std::string b(16384, '\0');
    for (jint n; (n = Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(env, nullptr, h, buf)) > 0;) {
        env->GetByteArrayRegion(buf, 0, n, reinterpret_cast<jbyte*>(b.data()));
        for (jint p = 0; p < n;) {
            const int len = (static_cast<unsigned char>(b[p + 1]) << 8) | static_cast<unsigned char>(b[p + 2]);
            out.emplace(b.substr(static_cast<std::size_t>(p) + 3, static_cast<std::size_t>(len)), b[p]);
            p += 3 + len;
        }
    }
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeBatch(env, nullptr, h);
    return out;
}

// Names only, as Java strings.
std::set<std::u16string> contractRoad(JNIEnv* env, const std::string& dir) {
    std::set<std::u16string> out;
    jclass c = env->FindClass("java/lang/StringBuffer");
    jobject sb = env->NewObject(c, env->GetMethodID(c, "<init>", "()V"));
    jstring path = jstr(env, u16(dir));
    const jlong h = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, path, sb);
    if (h == -1) return out;
    jmethodID toString = env->GetMethodID(c, "toString", "()Ljava/lang/String;");
    out.insert(chars(env, static_cast<jstring>(checked(env, env->CallObjectMethod(sb, toString)))));
    while (jstring s = Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(env, nullptr, h, path)) {
        out.insert(chars(env, s));
        env->DeleteLocalRef(s);
    }
    return out;
}

std::set<std::u16string> javaNames(JNIEnv* env, const Listing& l) {
    std::set<std::u16string> out;
    for (const auto& [name, type] : l) out.insert(chars(env, getJavaFilePath(env, name.c_str())));
    return out;
}

// Every kind of entry, and names that are and are not UTF-8.
void makeFixture(const std::string& d) {
    const auto at = [&](const char* n) { return d + "/" + n; };
    close(creat(at("file").c_str(), 0644));
    close(creat(at("\xE9").c_str(), 0644));
    close(creat(at(std::string(255, 'n').c_str()).c_str(), 0644));
    mkdir(at("\xC3\xA9").c_str(), 0755);
    mkfifo(at("fifo").c_str(), 0600);
    (void)!symlink("\xC3\xA9", at("todir").c_str());
    (void)!symlink("nowhere", at("dangling").c_str());
    (void)!symlink("sock", at("tosock").c_str());
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", at("sock").c_str());
    (void)!bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    close(s);
    (void)!mknod(at("chr").c_str(), S_IFCHR | 0600, makedev(1, 3));  // root only; else simply absent
    (void)!mknod(at("blk").c_str(), S_IFBLK | 0600, makedev(7, 0));
}

class DirType : public JvmTest {};

}  // namespace

TEST_F(DirType, EveryRoadReportsWhatLstatReports) {
    TempDir t;
    makeFixture(t.path);
    for (const std::string& dir : {t.path, std::string("/dev")}) {
        const Listing want = lstatRoad(dir);
        ASSERT_GE(want.size(), dir == t.path ? 8u : 1u) << dir;
        EXPECT_EQ(unitRoad(dir, false), want) << dir;
        EXPECT_EQ(unitRoad(dir, true), want) << dir;  // DT_UNKNOWN everywhere
        EXPECT_EQ(batchRoad(env, dir), want) << dir;
        EXPECT_EQ(contractRoad(env, dir), javaNames(env, want)) << dir;
    }
}

// Run as an unprivileged user (ctest native_unprivileged): root may search anything.
TEST_F(DirType, ReadableButUnsearchableDirectoryReportsNothing) {
    if (geteuid() == 0) GTEST_SKIP() << "root passes every permission check";
    TempDir t;
    const std::string dir = t.path + "/locked";
    mkdir(dir.c_str(), 0700);
    makeFixture(dir);
    chmod(dir.c_str(), 0400);
    EXPECT_EQ(lstatRoad(dir), Listing{});
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(fsutil::typeRoad(d), TypeRoad::nothing);
    closedir(d);
    EXPECT_EQ(unitRoad(dir, false), Listing{});
    EXPECT_EQ(batchRoad(env, dir), Listing{});
    EXPECT_EQ(contractRoad(env, dir), std::set<std::u16string>{});
}

// A file bind-mounted over an entry: d_type tells the covered file, lstat the mounted one.
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
        _exit(want.count({"file", static_cast<int>(EntryType::file)}) == 0 && unitRoad(t.path, false) == want ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot make a private mount here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DirType, BatchFailingHalfWayLosesAndLeaksNothing) {
    TempDir t;
    std::set<std::string> made;
    for (int i = 0; i < 600; ++i) {
        made.insert("e" + std::to_string(i));
        close(creat((t.path + "/e" + std::to_string(i)).c_str(), 0644));
    }
    const int fds = openFds();
    const jlong h = Java_com_orvan_mek_fsutil_FolderIteratorNix_openBatch(env, nullptr, jstr(env, u16(t.path)));
    jbyteArray small = env->NewByteArray(300);  // room for exactly one record of the longest name
    jbyteArray tiny = env->NewByteArray(100);
    std::multiset<std::string> got;
    char b[300];
    for (int call = 0;; ++call) {
        if (call % 50 == 7) {  // refused before anything is read from the stream
            EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(env, nullptr, h, call % 100 == 7 ? tiny : nullptr), -1);
            EXPECT_EQ(takeThrown(env).cls, call % 100 == 7 ? "java.lang.IllegalArgumentException" : "java.lang.NullPointerException");
            continue;
        }
        const jint n = Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(env, nullptr, h, small);
        if (n <= 0) break;
        env->GetByteArrayRegion(small, 0, n, reinterpret_cast<jbyte*>(b));
        for (jint p = 0; p < n; p += 3 + b[p + 2]) got.insert(std::string(b + p + 3, static_cast<std::size_t>(b[p + 2])));
    }
    EXPECT_EQ(got.size(), made.size());
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), made);
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeBatch(env, nullptr, h);
    EXPECT_EQ(openFds(), fds);
}
