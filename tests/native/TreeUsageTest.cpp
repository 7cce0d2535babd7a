// Disk usage as du sums it: entries, bytes and blocks of a random tree with hard links equal
// du's on any number of threads; a top that is missing is reported.
#include "Fixtures.h"
#include "engine/TreeDelete.h"
#include "engine/TreeUsage.h"

namespace {

std::uint64_t duNumber(const std::string& options, const std::string& path) {
    return std::stoull(sh("du -s " + options + " " + shellWord(path)));
}

}  // namespace

TEST(TreeUsage, SumsEqualDus) {
    TempDir t;
    randomTree(t / "top", 4321 + static_cast<unsigned>(getpid()) % 1000, 3000);
    const std::string top = t / "top";
    for (std::size_t threads : {1, 4}) {
        std::unique_ptr<fsutil::TreeShares> job = fsutil::startUsage(openDirectory(t.path), "top", false, threads);
        ASSERT_TRUE(job);
        EXPECT_EQ(takeFailures(*job), std::vector<std::string>());
        const fsutil::UsageSums s = fsutil::finishUsage(std::move(job));
        EXPECT_EQ(s.entries, duNumber("--inodes", top)) << threads;
        EXPECT_EQ(s.bytes, duNumber("-b", top)) << threads;
        EXPECT_EQ(s.blocks, duNumber("-B512", top)) << threads;
        EXPECT_EQ(s.directories, std::stoull(sh("find " + shellWord(top) + " -type d | wc -l")));
    }
    EXPECT_EQ(openFds(t.path), 0);
}

TEST(TreeUsage, MissingTopIsReported) {
    TempDir t;
    std::unique_ptr<fsutil::TreeShares> job = fsutil::startUsage(openDirectory(t.path), "missing", false, 2);
    ASSERT_TRUE(job);
    EXPECT_EQ(takeFailures(*job), std::vector<std::string>{": " + std::to_string(ENOENT)});
    EXPECT_EQ(fsutil::finishUsage(std::move(job)).entries, 0u);
}

TEST(TreeUsage, AJobOfAnotherKindGivesNoSums) {
    TempDir t;
    std::unique_ptr<fsutil::TreeShares> job = fsutil::startUsage(openDirectory(t.path), ".", false, 1);
    ASSERT_TRUE(job);
    (void)takeFailures(*job);
    EXPECT_EQ(fsutil::finishDelete(std::move(job)), 0u);  // and nothing removed
    EXPECT_EQ(access(t.path.c_str(), F_OK), 0);
}
