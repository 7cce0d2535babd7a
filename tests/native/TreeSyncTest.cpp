// Keeping a tree in step: after a sync the target lists as the source does, with the same
// bytes and hard-link groups, whatever the number of threads; a second sync finds everything
// unchanged; a dry run reports exactly the changes the real run then makes, and changes nothing.
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>

#include "Fixtures.h"
#include "engine/TreeSync.h"

namespace {

// Syncs t/src into t/dst on `threads` threads; its changes and failures as "path: code", sorted, into *out.
fsutil::SyncCounts syncTree(const TempDir& t, std::size_t threads, bool dryRun, std::vector<std::string>* out) {
    fsutil::SyncOptions options;
    options.dryRun = dryRun;
    options.reportChanges = true;
    std::unique_ptr<fsutil::TreeShares> job =
        fsutil::startSync(openDirectory(t.path), "src", openDirectory(t.path), "dst", options, threads);
    if (!job) return fsutil::SyncCounts();
    *out = takeFailures(*job);
    std::sort(out->begin(), out->end());
    return fsutil::finishSync(std::move(job));
}

// What a sync must make the same: type, mode, size, links, path, link target, modification time.
std::string listed(const std::string& dir) { return listing(dir, "%y %m %s %n %P %l %T@"); }

// What a sync that changes nothing leaves as it was: each entry's inode and change time.
std::string stamps(const std::string& dir) { return listing(dir, "%i %C@ %P"); }

}  // namespace

TEST(TreeSync, TheTargetListsAsTheSourceAndASecondSyncChangesNothing) {
    for (std::size_t threads : {1, 4}) {
        TempDir t;
        randomTree(t / "src", 53 + static_cast<unsigned>(getpid()) % 1000, 1500);
        const auto entries = countEntries(t / "src");
        std::vector<std::string> changes;
        const fsutil::SyncCounts first = syncTree(t, threads, false, &changes);
        EXPECT_EQ(first.created, entries);
        EXPECT_EQ(changes.size(), entries);
        EXPECT_EQ(listed(t / "dst"), listed(t / "src"));
        EXPECT_EQ(sums(t / "dst"), sums(t / "src"));
        const std::string before = stamps(t / "dst");
        const fsutil::SyncCounts again = syncTree(t, threads, false, &changes);
        EXPECT_EQ(changes, std::vector<std::string>());
        EXPECT_EQ(again.unchanged, entries);
        EXPECT_EQ(again.created + again.modified + again.attributes + again.removed + again.bytes, 0u);
        EXPECT_EQ(stamps(t / "dst"), before);
        EXPECT_EQ(openFds(t.path), 0);
    }
}

TEST(TreeSync, ADryRunReportsWhatTheRealRunDoesAndChangesNothing) {
    TempDir t;
    randomTree(t / "src", 71 + static_cast<unsigned>(getpid()) % 1000, 800);
    std::vector<std::string> changes;
    syncTree(t, 2, false, &changes);
    // Every file of the source grown by a byte, every FIFO gone, an extra in every directory of the target.
    sh("cd " + shellWord(t / "src") + " && find . -type f -exec sh -c 'echo x >> \"$1\"' _ {} \\; && find . -type p -delete"
       " && cd " + shellWord(t / "dst") + " && find . -type d -exec touch {}/extra \\;");
    const std::string before = stamps(t / "dst");
    std::vector<std::string> dry;
    const fsutil::SyncCounts would = syncTree(t, 2, true, &dry);
    EXPECT_EQ(stamps(t / "dst"), before);
    std::vector<std::string> real;
    const fsutil::SyncCounts did = syncTree(t, 2, false, &real);
    EXPECT_FALSE(real.empty());
    EXPECT_EQ(dry, real);
    EXPECT_EQ(would.bytes, did.bytes);
    EXPECT_EQ(would.removed, did.removed);
    EXPECT_EQ(listed(t / "dst"), listed(t / "src"));
}

// However deep the tree, a sync keeps few of the target's directories open: a chain far
// deeper than the descriptors the process may open is synced whole.
TEST(TreeSync, DeepChainIsSyncedWithinFewDescriptors) {
    TempDir t;
    const int depth = 400;
    std::string seg = "d";
    for (int i = 1; i < depth; ++i) seg += "/d";
    ASSERT_EQ(sh("mkdir -p " + shellWord(t / ("src/" + seg)) + " && touch " + shellWord(t / ("src/" + seg + "/f")) +
                 " && echo ok"),
              "ok\n");
    long open = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) open += fd.path().empty() ? 0 : 1;
    struct rlimit was;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
    struct rlimit low = was;
    low.rlim_cur = std::min<rlim_t>(was.rlim_cur, static_cast<rlim_t>(open) + depth / 2);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<std::string> changes;
    const fsutil::SyncCounts counts = syncTree(t, 1, false, &changes);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &was), 0);
    EXPECT_EQ(counts.created, static_cast<std::uint64_t>(depth) + 2);  // the top, the chain, f
    EXPECT_EQ(sh("cd " + shellWord(t.path) + " && diff -r src dst && echo same"), "same\n");
    EXPECT_EQ(openFds(t.path), 0);
}

namespace {

std::string change(const char* path, fsutil::SyncKind kind) {
    return std::string(path) + ": " + std::to_string(fsutil::syncChangeCode(kind, fsutil::EntryType::file));
}

// Each file's path and the first path (by bytes) of its inode: the hard-link groups as the kernel has them.
std::string inodeGroups(const std::string& dir) {
    return sh("cd " + shellWord(dir) + " && find . -type f -printf '%i %P\\n' | sort -k2 | awk '{ if (!($1 in g)) g[$1] = $2; print $2, g[$1] }'");
}

// A group of three names at depths 1, 4 and 1, beside directories read before and after them.
const char kGroupBase[] = "mkdir -p src/a src/b/c/d/e src/m/n/o src/z && echo group > src/a/f && ln src/a/f src/b/c/d/e/g"
                          " && ln src/a/f src/z/h && echo other > src/z/y";

struct GroupCase {
    const char* script;              // run in the test's directory once dst is synced
    std::vector<std::string> want;   // the changes, sorted
    const char* kept;                // a target file whose inode stays, or null
};

}  // namespace

// Which name of a hard-link group a thread meets first never changes what is done: a dry run
// reports exactly what the real run then does, on one thread and on several, time after time,
// and the target's inode groups are the source's.
TEST(TreeSync, HardLinkGroupsAreSettledTheSameWhateverTheOrder) {
    using K = fsutil::SyncKind;
    const std::vector<GroupCase> cases = {
        // Names joining a group whose old names the target has: only they are made.
        {"ln src/a/f src/0new && ln src/a/f src/m/n/o/new", {change("0new", K::created), change("m/n/o/new", K::created)}, "a/f"},
        // ... with the group's mode changed: reported on its first name by path.
        {"chmod 600 src/a/f && ln src/a/f src/m/n/o/new", {change("a/f", K::attributes), change("m/n/o/new", K::created)}, "a/f"},
        // Two target names of the group as separate files: the inode holding more names stays.
        {"cp -p dst/b/c/d/e/g dst/b/c/d/e/n && mv dst/b/c/d/e/n dst/b/c/d/e/g", {change("b/c/d/e/g", K::modified)}, "a/f"},
        {"cp -p dst/a/f dst/a/n && mv dst/a/n dst/a/f", {change("a/f", K::modified)}, "z/h"},
        // Three separate files alike: the one whose name comes first stays.
        {"cp -p dst/a/f dst/z/n && mv dst/z/n dst/z/h && cp -p dst/a/f dst/b/c/d/e/n && mv dst/b/c/d/e/n dst/b/c/d/e/g",
         {change("b/c/d/e/g", K::modified), change("z/h", K::modified)}, "a/f"},
        // A name leaving the group gets a file of its own.
        {"cp -p src/z/h src/z/n && mv src/z/n src/z/h", {change("z/h", K::modified)}, "a/f"},
        // New contents: made once, every other name linked to them.
        {"echo more >> src/b/c/d/e/g", {change("a/f", K::modified), change("b/c/d/e/g", K::modified), change("z/h", K::modified)}, nullptr},
    };
    for (const GroupCase& c : cases) {
        for (std::size_t threads : {1, 4}) {
            for (int round = 0; round < 3; ++round) {
                SCOPED_TRACE(std::string(c.script) + ", threads " + std::to_string(threads) + ", round " + std::to_string(round));
                TempDir t;
                sh(std::string("cd ") + shellWord(t.path) + " && " + kGroupBase);
                // The first sync, into no target: the dry run's changes are the real run's too.
                std::vector<std::string> changes;
                syncTree(t, threads, true, &changes);
                std::vector<std::string> made;
                syncTree(t, threads, false, &made);
                EXPECT_EQ(changes, made);
                EXPECT_EQ(made.size(), countEntries(t / "src"));
                sh("cd " + shellWord(t.path) + " && " + c.script);
                const std::string kept = c.kept ? sh("stat -c %i " + shellWord(t / (std::string("dst/") + c.kept))) : "";
                const std::string before = stamps(t / "dst");
                std::vector<std::string> dry;
                syncTree(t, threads, true, &dry);
                EXPECT_EQ(stamps(t / "dst"), before);
                std::vector<std::string> real;
                syncTree(t, threads, false, &real);
                EXPECT_EQ(dry, c.want);
                EXPECT_EQ(real, c.want);
                if (c.kept) {
                    EXPECT_EQ(sh("stat -c %i " + shellWord(t / (std::string("dst/") + c.kept))), kept);
                }
                EXPECT_EQ(inodeGroups(t / "dst"), inodeGroups(t / "src"));
                EXPECT_EQ(listed(t / "dst"), listed(t / "src"));
                syncTree(t, threads, false, &changes);
                EXPECT_EQ(changes, std::vector<std::string>());
            }
        }
    }
}
