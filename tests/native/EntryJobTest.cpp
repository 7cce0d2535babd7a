// The frame of a per-entry job: on any number of threads, in the top levels and deep in the
// shared subtrees alike, what the job could not do is reported once with its exact path and
// its errno, and a directory holding such a failure is not left, nor are the ones above it.
#include <mutex>

#include "engine/EntryJob.h"
#include "Fixtures.h"

namespace {

// Fails (EACCES) on every entry named "no*"; notes the names of the directories it leaves.
class Refuser final : public fsutil::EntryJob {
   public:
    Refuser() : EntryJob(fsutil::JobKind::usage, fsutil::WalkOptions()) {}
    std::set<std::string> left;

   private:
    std::mutex lock_;
    int act(const fsutil::JobEntry& e) override {
        if (std::strncmp(e.name, "no", 2) == 0 && !e.leave) return EACCES;
        if (e.leave) {
            const std::lock_guard<std::mutex> hold(lock_);
            left.insert(e.name);
        }
        return 0;
    }
};

}  // namespace

TEST(EntryJob, FailuresComeWithTheirPathAndErrnoAndKeepTheDirectoriesAboveThem) {
    TempDir t;
    // Eight directories a level, four deep: one thread gets the first level as shares, four threads
    // the third, so the failures lie in the top levels and in shares.
    mkdir((t / "top").c_str(), 0755);
    std::set<std::string> dirs;
    for (const std::string a : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
        std::string d = "top";
        for (const std::string& level : {a, "x" + a, "y" + a, "z" + a}) {
            d += "/" + level;
            mkdir((t / d).c_str(), 0755);
            dirs.insert(level);
        }
    }
    for (const char* f : {"top/no1", "top/b/xb/yb/zb/no2", "top/c/no3"}) close(creat((t / f).c_str(), 0644));
    for (std::size_t threads : {1, 4}) {
        Refuser job;
        job.start(openDirectory(t.path), "top", threads);
        std::vector<std::string> failures = takeFailures(job);
        job.stop();
        std::sort(failures.begin(), failures.end());
        const std::string denied = ": " + std::to_string(EACCES);
        EXPECT_EQ(failures, (std::vector<std::string>{"b/xb/yb/zb/no2" + denied, "c/no3" + denied, "no1" + denied}));
        std::set<std::string> want = dirs;
        for (const char* kept : {"b", "xb", "yb", "zb", "c"}) want.erase(kept);
        EXPECT_EQ(job.left, want) << threads << " threads";
    }
    EXPECT_EQ(openFds(t.path), 0);
}
