// The walk natives called as the VM would, and the entry typing unit under them, held to the
// lstat road: d_type, the fstatat fallback forced as for DT_UNKNOWN, the contract natives.
#include <sched.h>
#include <sys/mount.h>

#include <set>
#include <thread>

#include "engine/DirEntries.h"  // compiled into this binary, so that the fallback can be forced
#include "JniUtil.h"
#include "JvmTest.h"

namespace {

using Listing = std::set<std::pair<std::string, int>>;  // name bytes, EntryType

// The road the others are held to: lstat of "dir/name", devices and sockets left out.
Listing lstatRoad(const std::string& dir) {
    Listing out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        struct stat st;
        if (lstat(e.path().c_str(), &st) != 0) continue;
        const mode_t types[] = {S_IFREG, S_IFDIR, S_IFLNK, S_IFIFO};  // EntryType 1 to 4
        for (int t = 0; t < 4; ++t) if ((st.st_mode & S_IFMT) == types[t]) out.emplace(e.path().filename(), t + 1);
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

// Names only, as Java strings: the contract natives report no type.
std::set<std::string> contractRoad(JNIEnv* env, const std::string& dir) {
    std::set<std::string> got;
    const jstring path = env->NewStringUTF(dir.c_str());
    const jobject sb = newStringBuffer(env);
    const jlong h = firstFile(env, nullptr, path, sb);
    if (h == -1) return got;
    got.insert(text(env, sb));
    while (jstring s = nextFile(env, nullptr, h, path)) {
        got.insert(utf8(env, s));
        env->DeleteLocalRef(s);
    }
    return got;
}

}  // namespace

class DirType : public JvmTest {};

// /dev has devices, and in a container often files bound over placeholders (mount points).
TEST_F(DirType, EveryRoadReportsWhatLstatReports) {
    TempDir t;
    makeFixture(t);
    const long fds = openFds(t.path);
    for (const std::string& dir : {t.path, std::string("/dev")}) {
        const Listing want = lstatRoad(dir);
        ASSERT_GE(want.size(), dir == t.path ? 10u : 1u) << dir;
        std::set<std::string> javaNames;
        for (const auto& [name, type] : want) javaNames.insert(utf8(env, getJavaFilePath(env, name.c_str())));
        EXPECT_EQ(unitRoad(dir, false), want) << dir;
        EXPECT_EQ(unitRoad(dir, true), want) << dir;  // DT_UNKNOWN everywhere
        EXPECT_EQ(contractRoad(env, dir), javaNames) << dir;
    }
    EXPECT_EQ(openFds(t.path), fds);
}

// A socket bind-mounted over a file: d_type tells the covered file, lstat the mounted socket.
// A thread of its own enters a private mount namespace: a forked child of a process with a JVM
// may inherit a lock another thread held (the sanitizer's allocator was seen to hang there).
TEST_F(DirType, MountPointIsTypedByWhatIsMountedOnIt) {
    TempDir t;
    makeFixture(t);
    int result = 0;
    std::thread([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((t / "s\xE9").c_str(), (t / "file").c_str(), nullptr, MS_BIND, nullptr) != 0) {
            result = 77;
            return;
        }
        const Listing want = lstatRoad(t.path);
        result = want.count({"file", 1}) == 0 && unitRoad(t.path, false) == want ? 0 : 1;
    }).join();
    if (result == 77) GTEST_SKIP() << "cannot make a private mount here";
    EXPECT_EQ(result, 0);
}
