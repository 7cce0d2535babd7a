// Keeping a tree in step: after a sync the target lists as the source does, with the same
// bytes, whatever the number of threads; a second sync finds everything unchanged; a dry run
// reports the changes the real run then makes, and changes nothing.
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

const std::string kListing = "find . -printf '%y %m %s %n %P %l %T@\\n' | sort";

}  // namespace

TEST(TreeSync, TheTargetListsAsTheSourceAndASecondSyncChangesNothing) {
    for (std::size_t threads : {1, 4}) {
        TempDir t;
        randomTree(t / "src", 53 + static_cast<unsigned>(getpid()) % 1000, 1500);
        const auto entries = std::stoull(sh("find " + shellWord(t / "src") + " | wc -l"));
        std::vector<std::string> changes;
        const fsutil::SyncCounts first = syncTree(t, threads, false, &changes);
        EXPECT_EQ(first.created, entries);
        EXPECT_EQ(changes.size(), entries);
        EXPECT_EQ(sh("cd " + shellWord(t / "dst") + " && " + kListing), sh("cd " + shellWord(t / "src") + " && " + kListing));
        EXPECT_EQ(sh("cd " + shellWord(t / "dst") + " && find . -type f -exec md5sum {} + | sort"),
                  sh("cd " + shellWord(t / "src") + " && find . -type f -exec md5sum {} + | sort"));
        const std::string stamps = "cd " + shellWord(t / "dst") + " && find . -printf '%i %C@ %P\\n' | sort";
        const std::string before = sh(stamps);
        const fsutil::SyncCounts again = syncTree(t, threads, false, &changes);
        EXPECT_EQ(changes, std::vector<std::string>());
        EXPECT_EQ(again.unchanged, entries);
        EXPECT_EQ(again.created + again.modified + again.attributes + again.removed + again.bytes, 0u);
        EXPECT_EQ(sh(stamps), before);
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
    const std::string stamps = "cd " + shellWord(t / "dst") + " && find . -printf '%i %C@ %P\\n' | sort";
    const std::string before = sh(stamps);
    std::vector<std::string> dry;
    const fsutil::SyncCounts would = syncTree(t, 2, true, &dry);
    EXPECT_EQ(sh(stamps), before);
    std::vector<std::string> real;
    const fsutil::SyncCounts did = syncTree(t, 2, false, &real);
    EXPECT_FALSE(real.empty());
    EXPECT_EQ(dry, real);
    EXPECT_EQ(would.bytes, did.bytes);
    EXPECT_EQ(would.removed, did.removed);
    EXPECT_EQ(sh("cd " + shellWord(t / "dst") + " && " + kListing), sh("cd " + shellWord(t / "src") + " && " + kListing));
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
