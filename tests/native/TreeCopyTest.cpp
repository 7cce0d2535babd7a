// Copying a tree: the copy lists as the source does (types, modes, sizes, link targets,
// hard links kept), bytes equal, whatever the number of threads.
#include "Fixtures.h"
#include "TreeCopy.h"

TEST(TreeCopy, CopyListsAsTheSourceWithTheSameBytes) {
    TempDir t;
    randomTree(t / "src", 31 + static_cast<unsigned>(getpid()) % 1000, 1500);
    const std::string listing = "find . -printf '%y %m %s %n %P %l\\n' | sort";
    const std::string sums = "find . -type f -exec md5sum {} + | sort";
    for (std::size_t threads : {1, 4}) {
        const std::string dst = "dst" + std::to_string(threads);
        std::unique_ptr<fsutil::TreeShares> job =
            fsutil::startCopy(openDirectory(t.path), "src", openDirectory(t.path), dst.c_str(), false, threads);
        ASSERT_TRUE(job);
        EXPECT_EQ(takeFailures(*job), std::vector<std::string>());
        EXPECT_EQ(fsutil::finishCopy(std::move(job)), std::stoull(sh("find " + shellWord(t / "src") + " | wc -l")));
        EXPECT_EQ(sh("cd " + shellWord(t / dst) + " && " + listing), sh("cd " + shellWord(t / "src") + " && " + listing));
        EXPECT_EQ(sh("cd " + shellWord(t / dst) + " && " + sums), sh("cd " + shellWord(t / "src") + " && " + sums));
    }
    EXPECT_EQ(openFds(t.path), 0);
}
