// Mount points by mount, not by device: a bind mount has the device of what it shows, so only
// its mount ID tells it apart. In a private mount namespace (root only): a directory of the
// same file system bound into the tree, shallow (read by the job's caller) and deep (by a
// worker's walk), and the tree's top bound below itself. Delete, usage, copy and the walk,
// staying on one file system, never enter either, nor does a watch watch them; nothing outside
// changes, checked by content;
// a copy that crosses file systems meets the bind below itself as a loop. And a sync onto a small
// tmpfs of its own, making new contents under temporary names as where O_TMPFILE is refused.
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/xattr.h>

#include "Fixtures.h"
#include "engine/TreeCopy.h"
#include "engine/TreeDelete.h"
#include "engine/TreeSync.h"
#include "engine/TreeUsage.h"
#include "engine/TreeWatch.h"

namespace {

// A bind mount, undone (detached) when dropped.
struct Bind {
    std::string at;
    Bind(const std::string& from, const std::string& to) : at(to) {
        if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) at.clear();
    }
    Bind(const Bind&) = delete;
    Bind& operator=(const Bind&) = delete;
    ~Bind() {
        if (!at.empty()) umount2(at.c_str(), MNT_DETACH);
    }
};

// What a watch tells: each change's path (OVERFLOW left out), each failure's path and code.
struct Seen final : fsutil::ChangeSink {
    std::vector<std::string> seen;
    void change(fsutil::ChangeKind kind, fsutil::EntryType, const char* path, std::size_t len, const char*,
                std::size_t) override {
        if (kind != fsutil::ChangeKind::overflow) seen.push_back(std::string(path, len));
    }
    void failure(const char* path, std::size_t len, int code, const char*) override {
        seen.push_back(std::string(path, len) + ": " + std::to_string(code));
    }
};

bool privateMounts() {
    std::error_code e1, e2;
    return geteuid() == 0 && std::filesystem::read_symlink("/proc/self/ns/mnt", e1) !=
                                 std::filesystem::read_symlink("/proc/1/ns/mnt", e2);
}

// Every entry's type, mode, size and path, and every file's content, below dir.
std::string snapshot(const std::string& dir) {
    return sh("cd " + shellWord(dir) + " && find . -printf '%y %m %s %p\\n' | sort && find . -type f -exec md5sum {} + | sort");
}

// t/top with files at every depth, its directories `shallow` (depth 1) and `a/b/c/d/deep`
// (depth 5) to be mount points, and t/outside, a directory of the same file system.
void makeTree(const TempDir& t) {
    for (const char* d : {"top", "top/shallow", "top/a", "top/a/b", "top/a/b/c", "top/a/b/c/d", "top/a/b/c/d/deep",
                          "outside", "outside/sub"}) {
        ASSERT_EQ(mkdir((t / d).c_str(), 0755), 0);
    }
    for (const char* f : {"top/f", "top/a/f", "top/a/b/c/d/f", "outside/kept", "outside/sub/kept"}) {
        sh("printf %s " + shellWord(f) + " > " + shellWord(t / f));
    }
}

class Mounts : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!privateMounts()) GTEST_SKIP() << "needs root in a private mount namespace (unshare -m)";
        makeTree(t);
        outsideBefore = snapshot(t / "outside");
    }

    TempDir t;
    std::string outsideBefore;
};

std::vector<std::string> failuresOf(std::unique_ptr<fsutil::TreeShares>& job) {
    std::vector<std::string> f = takeFailures(*job);
    std::sort(f.begin(), f.end());
    return f;
}

const std::string kMountPoint = std::to_string(fsutil::kReasonMountPoint);
const std::string kLoop = std::to_string(fsutil::kReasonLoop);

}  // namespace

TEST_F(Mounts, DeleteLeavesABoundDirectoryAndReportsIt) {
    for (std::size_t threads : {1, 4}) {
        const TempDir u;
        makeTree(u);
        const Bind shallow(u / "outside", u / "top/shallow");
        const Bind deep(u / "outside", u / "top/a/b/c/d/deep");
        ASSERT_FALSE(shallow.at.empty() || deep.at.empty());
        std::unique_ptr<fsutil::TreeShares> job = fsutil::startDelete(openDirectory(u.path), "top", threads);
        EXPECT_EQ(failuresOf(job), (std::vector<std::string>{"a/b/c/d/deep: " + kMountPoint, "shallow: " + kMountPoint}));
        (void)fsutil::finishDelete(std::move(job));
        EXPECT_EQ(snapshot(u / "outside"), outsideBefore);
        // find -xdev would enter them: same device.
        EXPECT_EQ(sh("cd " + shellWord(u / "top") + " && find . -path './*/*/*/*/deep/*' -prune -o -path './shallow/*' -prune -o -print | sort"),
                  ".\n./a\n./a/b\n./a/b/c\n./a/b/c/d\n./a/b/c/d/deep\n./shallow\n");
    }
}

TEST_F(Mounts, UsageOnOneFileSystemCountsNeitherTheBoundDirectoryNorItsMountPoint) {
    const std::string top = t / "top";
    const Bind shallow(t / "outside", t / "top/shallow");
    const Bind deep(t / "outside", t / "top/a/b/c/d/deep");
    for (std::size_t threads : {1, 4}) {
        std::unique_ptr<fsutil::TreeShares> job = fsutil::startUsage(openDirectory(t.path), "top", true, threads);
        EXPECT_EQ(failuresOf(job), std::vector<std::string>());
        const fsutil::UsageSums s = fsutil::finishUsage(std::move(job));
        // What find lists without the two mount points and what they show.
        EXPECT_EQ(s.entries, std::stoull(sh("find " + shellWord(top) + " \\( -name shallow -o -name deep \\) -prune -o -print | wc -l")));
        EXPECT_EQ(s.files, 3u);
    }
}

TEST_F(Mounts, CopyOnOneFileSystemMakesTheMountPointEmpty) {
    const Bind shallow(t / "outside", t / "top/shallow");
    const Bind deep(t / "outside", t / "top/a/b/c/d/deep");
    for (std::size_t threads : {1, 4}) {
        const std::string dst = "copy" + std::to_string(threads);
        std::unique_ptr<fsutil::TreeShares> job =
            fsutil::startCopy(openDirectory(t.path), "top", openDirectory(t.path), dst.c_str(), true, threads);
        EXPECT_EQ(failuresOf(job), std::vector<std::string>());
        (void)fsutil::finishCopy(std::move(job));
        EXPECT_EQ(sh("cd " + shellWord(t / dst) + " && find . -printf '%y %p\\n' | sort"),
                  "d .\nd ./a\nd ./a/b\nd ./a/b/c\nd ./a/b/c/d\nd ./a/b/c/d/deep\nd ./shallow\nf ./a/b/c/d/f\nf ./a/f\nf ./f\n");
    }
    EXPECT_EQ(snapshot(t / "outside"), outsideBefore);
}

TEST_F(Mounts, WalkOnOneFileSystemListsTheMountPointOnly) {
    const Bind deep(t / "outside", t / "top/a/b/c/d/deep");
    fsutil::WalkOptions options;
    options.sameFileSystem = true;
    const std::unique_ptr<fsutil::TreeWalk> walk = fsutil::TreeWalk::open(openDirectory(t / "top"), options);
    ASSERT_TRUE(walk);
    std::multiset<std::string> names;
    bool notEntered = false;
    fsutil::WalkItem item;
    while (walk->next(&item)) {
        if (item.event == fsutil::WalkEvent::entry) names.insert(item.name);
        if (item.event == fsutil::WalkEvent::leave && std::string(item.name) == "deep") notEntered = item.otherDevice;
        EXPECT_NE(item.event, fsutil::WalkEvent::failure) << item.name;
    }
    EXPECT_TRUE(notEntered);
    EXPECT_EQ(names, (std::multiset<std::string>{"a", "b", "c", "d", "deep", "f", "f", "f", "shallow"}));
}

// The top bound below itself: a job that stays on one file system sees a mount point, one
// that crosses file systems a loop (as the walk does); both end, and nothing of the tree goes.
TEST_F(Mounts, TopBoundBelowItselfIsAMountPointOrALoop) {
    const Bind self(t / "top", t / "top/a/b/c/d/deep");
    ASSERT_FALSE(self.at.empty());
    for (std::size_t threads : {1, 4}) {
        const std::string dst = "copy" + std::to_string(threads);
        std::unique_ptr<fsutil::TreeShares> job =
            fsutil::startCopy(openDirectory(t.path), "top", openDirectory(t.path), dst.c_str(), false, threads);
        EXPECT_EQ(failuresOf(job), std::vector<std::string>{"a/b/c/d/deep: " + kLoop});
        (void)fsutil::finishCopy(std::move(job));
        EXPECT_EQ(sh("cd " + shellWord(t / dst) + " && find . | wc -l"), "10\n");  // deep made, empty
        EXPECT_EQ(sh("ls -A " + shellWord(t / (dst + "/a/b/c/d/deep"))), "");

        job = fsutil::startUsage(openDirectory(t.path), "top", false, threads);
        EXPECT_EQ(failuresOf(job), std::vector<std::string>{"a/b/c/d/deep: " + kLoop});
        (void)fsutil::finishUsage(std::move(job));
    }
    std::unique_ptr<fsutil::TreeShares> job = fsutil::startDelete(openDirectory(t / "top"), "a", 2);
    EXPECT_EQ(failuresOf(job), std::vector<std::string>{"b/c/d/deep: " + kMountPoint});
    (void)fsutil::finishDelete(std::move(job));
    EXPECT_EQ(sh("ls -A " + shellWord(t / "top")), "a\nf\nshallow\n");
    EXPECT_EQ(sh("cd " + shellWord(t / "top/a") + " && find . -path './*/*/*/deep/*' -prune -o -print | sort"),
              ".\n./b\n./b/c\n./b/c/d\n./b/c/d/deep\n");
}

// ramfs keeps no user.* attributes: the copy of each entry that has one is made, its data whole,
// and the attribute it lost is reported with that entry's path.
TEST_F(Mounts, AnAttributeTheTargetRefusesIsReported) {
    ASSERT_EQ(setxattr((t / "top/f").c_str(), "user.kept", "1", 1, 0), 0);
    ASSERT_EQ(setxattr((t / "top/a/b").c_str(), "user.kept", "2", 1, 0), 0);
    ASSERT_EQ(mkdir((t / "ram").c_str(), 0755), 0);
    ASSERT_EQ(mount("none", (t / "ram").c_str(), "ramfs", 0, nullptr), 0);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{t / "ram"};
    const std::string lost = std::to_string(fsutil::fault(fsutil::Context::xattr, ENOTSUP));
    for (std::size_t threads : {1, 4}) {
        const std::string dst = "copy" + std::to_string(threads);
        std::unique_ptr<fsutil::TreeShares> job =
            fsutil::startCopy(openDirectory(t.path), "top", openDirectory(t / "ram"), dst.c_str(), false, threads);
        EXPECT_EQ(failuresOf(job), (std::vector<std::string>{"a/b: " + lost, "f: " + lost}));
        (void)fsutil::finishCopy(std::move(job));
        EXPECT_EQ(sh("cat " + shellWord(t / ("ram/" + dst + "/f"))), "top/f");
        EXPECT_EQ(sh("cd " + shellWord(t / ("ram/" + dst)) + " && find . | sort"), sh("cd " + shellWord(t / "top") + " && find . | sort"));
    }
}

// A watch meets the top bound below itself as a loop, when it starts and when it reads the tree
// again after a lost queue: the failure keeps its context, the top keeps its watch (the kernel
// hands out one per directory), and nothing is reported changed.
TEST_F(Mounts, AWatchReportsTheTopBoundBelowItselfAsALoop) {
    Seen sink;
    const Bind self(t / "top", t / "top/a/b/c/d/deep");
    ASSERT_FALSE(self.at.empty());
    int err = 0;
    auto w = fsutil::TreeWatch::open(openDirectory(t / "top"), fsutil::WatchOptions(), sink, &err);
    ASSERT_TRUE(w) << err;
    EXPECT_EQ(sink.seen, std::vector<std::string>{"a/b/c/d/deep: " + kLoop});
    w->overflow();
    (void)w->process(sink);
    EXPECT_EQ(sink.seen, (std::vector<std::string>{"a/b/c/d/deep: " + kLoop, "a/b/c/d/deep: " + kLoop}));
    close(creat((t / "top/new").c_str(), 0644));
    (void)w->process(sink);
    EXPECT_EQ(sink.seen.back(), "new");
}

namespace {

// A tmpfs of `size` bytes mounted at `at`, undone when dropped.
struct SmallTmpfs {
    std::string at;
    SmallTmpfs(const std::string& dir, const std::string& size) : at(dir) {
        if (mkdir(at.c_str(), 0755) != 0 || mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) at.clear();
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;
    ~SmallTmpfs() {
        if (!at.empty()) umount2(at.c_str(), MNT_DETACH);
    }
};

// A watch that stays on one file system watches neither a bind mount nor another device,
// shallow (met by the first reading's caller) or deep (by a worker), nor what lies in them,
// when it starts or when it reads the tree again; changes beside them are reported.
TEST_F(Mounts, AWatchOnOneFileSystemWatchesNoMountPoint) {
    const Bind shallow(t / "outside", t / "top/shallow");
    const SmallTmpfs deep(t / "top/a/b/c/d/deep/other", "1m");
    ASSERT_FALSE(shallow.at.empty() || deep.at.empty());
    ASSERT_EQ(mkdir((t / "top/a/b/c/d/bound").c_str(), 0755), 0);
    const Bind deeper(t / "outside", t / "top/a/b/c/d/bound");
    ASSERT_FALSE(deeper.at.empty());
    for (std::size_t threads : {1, 4}) {
        Seen sink;
        fsutil::WatchOptions o;
        o.sameFileSystem = true;
        o.threads = threads;
        int err = 0;
        auto w = fsutil::TreeWatch::open(openDirectory(t / "top"), o, sink, &err);
        ASSERT_TRUE(w) << err;
        // top a b c d deep; the files f a/f d/f; shallow, other, bound listed as they are
        EXPECT_EQ(w->watched(), 6u) << threads;
        EXPECT_EQ(w->entries(), 11u) << threads;
        w->overflow();
        (void)w->process(sink);
        EXPECT_EQ(w->watched(), 6u) << threads;
        for (const char* f : {"outside/new", "top/a/b/c/d/deep/other/new", "top/a/b/c/d/deep/new"}) {
            close(creat((t / f).c_str(), 0644));
        }
        (void)w->process(sink);
        EXPECT_EQ(sink.seen, std::vector<std::string>{"a/b/c/d/deep/new"}) << threads;
        unlink((t / "outside/new").c_str());
        unlink((t / "top/a/b/c/d/deep/other/new").c_str());
        unlink((t / "top/a/b/c/d/deep/new").c_str());
    }
}

// Syncs srcParent/src into dstParent/dst with new contents made under a temporary name, as where
// the target refuses O_TMPFILE; its failures and changes. *named: whether data went to a temporary's name
// (inotify sees writes to a named file of the directory, never to a nameless one).
std::vector<std::string> syncNamed(const std::string& srcParent, const std::string& dstParent, bool* named) {
    const fsutil::UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch.get() < 0 || inotify_add_watch(watch.get(), (dstParent + "/dst").c_str(), IN_MODIFY) < 0) return {"no inotify"};
    fsutil::SyncOptions options;
    options.namedTemporaries = true;
    options.reportChanges = true;
    std::unique_ptr<fsutil::TreeShares> job =
        fsutil::startSync(openDirectory(srcParent), "src", openDirectory(dstParent), "dst", options, 2);
    std::vector<std::string> failures = failuresOf(job);
    (void)fsutil::finishSync(std::move(job));
    *named = false;
    alignas(struct inotify_event) char buf[65536];
    for (ssize_t n; (n = read(watch.get(), buf, sizeof buf)) > 0;) {
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(p);
            if (e->len > 0 && std::string(e->name).rfind(fsutil::kSyncTempPrefix, 0) == 0) *named = true;
            p += sizeof(struct inotify_event) + e->len;
        }
    }
    return failures;
}

}  // namespace

// Where nameless files are refused: the new contents replace the old under the same name, a
// reader of the old file keeps its bytes, and no temporary name stays.
TEST_F(Mounts, SyncWithoutNamelessFilesReplacesTheFileUnderItsName) {
    const SmallTmpfs fs(t / "small", "1m");
    ASSERT_FALSE(fs.at.empty());
    sh("mkdir " + shellWord(t / "small/src") + " && echo old > " + shellWord(t / "small/src/data") + " && cp -a " +
       shellWord(t / "small/src") + " " + shellWord(t / "small/dst") + " && echo new contents > " + shellWord(t / "small/src/data"));
    const fsutil::UniqueFd reader(open((t / "small/dst/data").c_str(), O_RDONLY | O_CLOEXEC));
    const std::string inode = sh("stat -c %i " + shellWord(t / "small/dst/data"));
    bool named = false;
    const int modified = fsutil::syncChangeCode(fsutil::SyncKind::modified, fsutil::EntryType::file);
    EXPECT_EQ(syncNamed(t / "small", t / "small", &named), std::vector<std::string>{"data: " + std::to_string(modified)});
    EXPECT_TRUE(named);
    EXPECT_EQ(sh("cat " + shellWord(t / "small/dst/data")), "new contents\n");
    EXPECT_NE(sh("stat -c %i " + shellWord(t / "small/dst/data")), inode);
    char old[16] = {};
    EXPECT_EQ(pread(reader.get(), old, sizeof old, 0), 4);
    EXPECT_STREQ(old, "old\n");
    EXPECT_EQ(sh("ls -A " + shellWord(t / "small/dst")), "data\n");
}

// The same on a full file system: the failure is reported, the old file stays whole under its
// name, and the temporary written to is gone before the failure is reported (not left for the
// extras pass to find).
TEST_F(Mounts, SyncWithoutNamelessFilesOnAFullDiskLeavesNoTemporary) {
    const SmallTmpfs fs(t / "small", "64k");
    ASSERT_FALSE(fs.at.empty());
    sh("mkdir " + shellWord(t / "src") + " " + shellWord(t / "small/dst") + " && echo old > " + shellWord(t / "small/dst/data") +
       " && head -c 1048576 /dev/urandom > " + shellWord(t / "src/data") + " && touch -m -r " + shellWord(t / "src") + " " +
       shellWord(t / "small/dst"));
    const std::string inode = sh("stat -c %i " + shellWord(t / "small/dst/data"));
    bool named = false;
    EXPECT_EQ(syncNamed(t.path, t / "small", &named), std::vector<std::string>{"data: " + std::to_string(ENOSPC)});
    EXPECT_TRUE(named);
    EXPECT_EQ(sh("cat " + shellWord(t / "small/dst/data")), "old\n");
    EXPECT_EQ(sh("stat -c %i " + shellWord(t / "small/dst/data")), inode);
    EXPECT_EQ(sh("ls -A " + shellWord(t / "small/dst")), "data\n");
}
