// Removing a tree: exactly the tree goes, links out of it are removed and never followed,
// whatever the number of threads; what cannot go is reported with its path and reason.
#include "Fixtures.h"
#include "engine/TreeDelete.h"

namespace {

struct Removed {
    std::uint64_t count;
    std::vector<std::string> failures;
};

Removed removeTree(const std::string& parent, const char* name, std::size_t threads) {
    std::unique_ptr<fsutil::TreeShares> job = fsutil::startDelete(openDirectory(parent), name, threads);
    EXPECT_TRUE(job);
    if (!job) return {};
    std::vector<std::string> failures = takeFailures(*job);
    return {fsutil::finishDelete(std::move(job)), failures};
}

}  // namespace

TEST(TreeDelete, RemovesExactlyTheTreeAndNothingItLinksTo) {
    for (std::size_t threads : {1, 4}) {
        TempDir t, outside;
        randomTree(outside / "kept", 5, 200);
        randomTree(t / "top", 900 + static_cast<unsigned>(threads), 3000, outside / "kept");
        close(creat((t / "sibling").c_str(), 0644));
        const std::string outsideBefore = sh("find " + shellWord(outside.path) + " -printf '%y %P %s\\n' | sort");
        const auto entries = static_cast<std::uint64_t>(std::stoull(sh("find " + shellWord(t / "top") + " | wc -l")));
        const Removed r = removeTree(t.path, "top", threads);
        EXPECT_EQ(r.failures, std::vector<std::string>());
        EXPECT_EQ(r.count, entries);
        EXPECT_EQ(sh("ls -A " + shellWord(t.path)), "sibling\n");
        EXPECT_EQ(sh("find " + shellWord(outside.path) + " -printf '%y %P %s\\n' | sort"), outsideBefore);
        EXPECT_EQ(openFds(t.path), 0);
    }
}

TEST(TreeDelete, ALinkToADirectoryGoesItself) {
    TempDir t, outside;
    close(creat((outside / "f").c_str(), 0644));
    ASSERT_EQ(symlink(outside.path.c_str(), (t / "link").c_str()), 0);
    EXPECT_EQ(removeTree(t.path, "link", 2).count, 1u);
    EXPECT_EQ(access((outside / "f").c_str(), F_OK), 0);
}

// Whoever may not write a directory cannot empty it: its entries are reported, it and
// its parents stay, the rest goes; shallow, the directory is read on the calling thread,
// deep, by a worker's walk.
TEST(TreeDelete, WhatCannotGoIsReportedAndKeepsItsParents) {
    if (geteuid() == 0) GTEST_SKIP() << "root may remove anything";
    for (const std::string locked : {"a/locked", "a/b/c/d/locked"}) {
        TempDir t;
        std::string kept = "top\n";
        mkdir((t / "top").c_str(), 0755);
        mkdir((t / "top/z").c_str(), 0755);
        for (std::size_t at = 0; at != std::string::npos; at = locked.find('/', at + 1)) {
            const std::string dir = "top/" + locked.substr(0, locked.find('/', at + 1));
            mkdir((t / dir).c_str(), 0755);
            kept += dir + "\n";
        }
        for (const std::string& f : {locked + "/f", std::string("z/f"), std::string("g")}) close(creat((t / "top/" + f).c_str(), 0644));
        chmod((t / "top/" + locked).c_str(), 0555);
        const Removed r = removeTree(t.path, "top", 2);
        chmod((t / "top/" + locked).c_str(), 0755);
        EXPECT_EQ(r.failures, std::vector<std::string>{locked + "/f: " + std::to_string(EACCES)});
        EXPECT_EQ(sh("cd " + shellWord(t.path) + " && find top | sort"), kept + "top/" + locked + "/f\n");
    }
}
