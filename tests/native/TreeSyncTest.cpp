// Keeping a tree in step: after a sync the target lists as the source does, with the same
// bytes, whatever the number of threads; a second sync finds everything unchanged; a dry run
// reports the changes the real run then makes, and changes nothing.
#include <algorithm>

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
