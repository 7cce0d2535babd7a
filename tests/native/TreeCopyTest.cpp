// Copying a tree: the copy lists as the source does (types, modes, sizes, link targets,
// hard links kept), bytes equal, whatever the number of threads.
#include "Fixtures.h"
#include "engine/CopyData.h"
#include "engine/CopyLinks.h"
#include "engine/TreeCopy.h"

namespace {

struct Copied {
    std::uint64_t count;
    std::vector<std::string> failures;
};

// Copies t/src into t/dst on `threads` threads.
Copied copyTree(const TempDir& t, const std::string& dst, std::size_t threads) {
    std::unique_ptr<fsutil::TreeShares> job = fsutil::startCopy(openDirectory(t.path), "src", openDirectory(t.path), dst.c_str(), false, threads);
    EXPECT_TRUE(job);
    if (!job) return {};
    std::vector<std::string> failures = takeFailures(*job);
    return {fsutil::finishCopy(std::move(job)), failures};
}

}  // namespace

TEST(TreeCopy, CopyListsAsTheSourceWithTheSameBytes) {
    TempDir t;
    randomTree(t / "src", 31 + static_cast<unsigned>(getpid()) % 1000, 1500);
    for (std::size_t threads : {1, 4}) {
        const std::string dst = "dst" + std::to_string(threads);
        const Copied c = copyTree(t, dst, threads);
        EXPECT_EQ(c.failures, std::vector<std::string>());
        EXPECT_EQ(c.count, countEntries(t / "src"));
        EXPECT_EQ(listing(t / dst, "%y %m %s %n %P %l"), listing(t / "src", "%y %m %s %n %P %l"));
        EXPECT_EQ(sums(t / dst), sums(t / "src"));
    }
    EXPECT_EQ(openFds(t.path), 0);
}

// A hard link to an earlier copy is reached through the target's own directories only: once a
// step is swapped for a link to a directory outside, no link is made, and nothing outside gains one.
TEST(TreeCopy, HardLinkIsNotMadeThroughAStepSwappedForALink) {
    TempDir t, outside;
    for (const std::string& d : {t / "top", t / "top/a", outside / "a"}) mkdir(d.c_str(), 0755);
    for (const std::string& f : {t / "top/a/f", outside / "a/f"}) close(creat(f.c_str(), 0644));
    const fsutil::UniqueFd top = openDirectory(t / "top");
    EXPECT_EQ(fsutil::linkBelow(top.get(), "a/f", top.get(), "before"), 0);
    ASSERT_EQ(rename((t / "top/a").c_str(), (t / "moved").c_str()), 0);
    ASSERT_EQ(symlink((outside / "a").c_str(), (t / "top/a").c_str()), 0);
    EXPECT_NE(fsutil::linkBelow(top.get(), "a/f", top.get(), "after"), 0);
    struct stat st;
    EXPECT_NE(lstat((t / "top/after").c_str(), &st), 0);
    ASSERT_EQ(stat((outside / "a/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    ASSERT_EQ(stat((t / "moved/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);  // the link made before the swap
}

// A source directory that cannot be read is made all the same, empty, with its mode, as cp -a
// makes it, and reported; shallow (read by the job's caller) and deep (by a worker's walk).
TEST(TreeCopy, UnreadableDirectoryIsMadeEmpty) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads any directory";
    for (const std::string locked : {"locked", "a/b/c/d/locked"}) {
        TempDir t;
        ASSERT_EQ(sh("mkdir -p " + shellWord(t / ("src/" + locked)) + " && touch " + shellWord(t / ("src/" + locked + "/hidden")) +
                     " " + shellWord(t / "src/f") + " && chmod 0 " + shellWord(t / ("src/" + locked)) + " && echo ok"),
                  "ok\n");
        for (std::size_t threads : {1, 4}) {
            const std::string dst = "dst" + std::to_string(threads);
            EXPECT_EQ(copyTree(t, dst, threads).failures, std::vector<std::string>{locked + ": " + std::to_string(EACCES)});
            struct stat st;
            ASSERT_EQ(lstat((t / (dst + "/" + locked)).c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, 0u);
            chmod((t / (dst + "/" + locked)).c_str(), 0700);
            EXPECT_EQ(sh("ls -A " + shellWord(t / (dst + "/" + locked))), "");
            EXPECT_EQ(access((t / (dst + "/f")).c_str(), F_OK), 0);
        }
        chmod((t / ("src/" + locked)).c_str(), 0700);
    }
}

// A chain far deeper than the directories a job keeps open is copied whole, each level
// reopened by a checked step, and no descriptor stays behind.
TEST(TreeCopy, DeepChainIsCopiedWhole) {
    TempDir t;
    std::string seg = "d";
    for (int i = 1; i < 300; ++i) seg += "/d";
    ASSERT_EQ(sh("mkdir -p " + shellWord(t / ("src/" + seg)) + " && touch " + shellWord(t / ("src/" + seg + "/f")) + " " +
                 shellWord(t / ("src/d/d/g")) + " && echo ok"),
              "ok\n");
    for (std::size_t threads : {1, 4}) {
        const std::string dst = "dst" + std::to_string(threads);
        EXPECT_EQ(copyTree(t, dst, threads).failures, std::vector<std::string>());
        EXPECT_EQ(listing(t / dst, "%y %m %P"), listing(t / "src", "%y %m %P"));
    }
    EXPECT_EQ(openFds(t.path), 0);
}

// A file that got shorter since its record was taken (written over meanwhile) is copied as far
// as it goes, by either road, and is no failure.
TEST(TreeCopy, ASourceShorterThanItsRecordIsCopiedAsFarAsItGoes) {
    for (bool noRange : {false, true}) {
        TempDir t;
        sh("head -c 300000 /dev/urandom > " + shellWord(t / "src"));
        const fsutil::UniqueFd from(open((t / "src").c_str(), O_RDONLY | O_CLOEXEC));
        const fsutil::UniqueFd to(open((t / "dst").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        struct stat st;
        ASSERT_EQ(fstat(from.get(), &st), 0);
        st.st_size = 600000;  // the length it had when it was listed
        st.st_blocks = st.st_size / 512 + 8;
        fsutil::DataRoad road;
        road.noRange = noRange;
        EXPECT_EQ(fsutil::copyFileData(from.get(), to.get(), st, road, nullptr), 0) << noRange;
        EXPECT_EQ(sh("cmp " + shellWord(t / "src") + " " + shellWord(t / "dst") + " && echo same"), "same\n") << noRange;
    }
}
