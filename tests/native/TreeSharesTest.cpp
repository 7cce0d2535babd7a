// The job frame: whatever the number of threads, the job meets the top and every entry below
// it exactly once (top levels on the caller, shares on workers); with nothing below, it ends at once.
#include <mutex>

#include "Fixtures.h"

namespace {

// A job that only notes where it went, as paths below the top ("" for the top).
class Recorder final : public fsutil::TreeShares {
   public:
    Recorder() : TreeShares(fsutil::JobKind::usage, false) {}
    std::multiset<std::string> seen;

   private:
    std::mutex lock_;
    void note(const std::string& base, const char* rel, std::size_t len) {
        const std::string p = base.empty() ? std::string(rel, len) : len == 0 ? base : base + "/" + std::string(rel, len);
        const std::lock_guard<std::mutex> hold(lock_);
        seen.insert(p);
    }
    bool top(int, const char*, const struct stat&) override {
        note("", "", 0);
        return true;
    }
    void entry(Node& node, const char* name, fsutil::EntryType) override { note(node.path.get(), name, std::strlen(name)); }
    bool enter(Node&, const char*, const char* path, const struct stat&, bool) override {
        note(path, "", 0);
        return true;
    }
    bool share(int parentFd, const char* name, const char* path) override {
        note(path, "", 0);
        fsutil::UniqueFd fd(openat(parentFd, name, fsutil::kDirFlags));
        fsutil::WalkOptions everything;
        everything.everyType = true;
        const std::unique_ptr<fsutil::TreeWalk> walk = fsutil::TreeWalk::open(std::move(fd), everything);
        if (!walk) return false;
        fsutil::WalkPath at;
        fsutil::WalkItem item;
        std::size_t n = 0;
        while (walk->next(&item)) {
            if (item.event != fsutil::WalkEvent::entry) continue;
            const char* p = at.entry(item.depth, item.name, item.nameLen, &n);
            note(path, p, n);
            if (item.type == fsutil::EntryType::directory) at.enter(item.depth, item.name, item.nameLen);
        }
        return true;
    }
};

std::multiset<std::string> findPaths(const std::string& top) {
    std::multiset<std::string> out;
    const std::string text = sh("find -P " + shellWord(top) + " -printf '%P\\n'");
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        out.insert(text.substr(at, end - at));
    }
    return out;
}

}  // namespace

// A random tree, and a flat directory whose entries go to the workers in batches.
TEST(TreeShares, EveryEntryOnceOnAnyNumberOfThreads) {
    TempDir t;
    randomTree(t / "top", 77 + static_cast<unsigned>(getpid()) % 1000, 2500);
    ASSERT_EQ(sh("mkdir " + shellWord(t / "flat") + " && cd " + shellWord(t / "flat") +
                 " && seq 1 3000 | sed 's/^/f/' | xargs touch && mkdir d && touch d/g && echo ok"),
              "ok\n");
    for (const char* top : {"top", "flat"}) {
        const std::multiset<std::string> want = findPaths(t / top);
        for (std::size_t threads : {1, 3, 8}) {
            Recorder job;
            job.start(openDirectory(t.path), top, threads);
            EXPECT_EQ(takeFailures(job), std::vector<std::string>()) << threads;
            job.stop();
            EXPECT_EQ(job.seen, want) << top << ", " << threads << " threads";
        }
    }
    EXPECT_EQ(openFds(t.path), 0);
}

TEST(TreeShares, AnEmptyTopEndsAtOnceEvenWhenWaitingIsBounded) {
    TempDir t;
    Recorder job;
    fsutil::TreeFailure f;
    job.start(openDirectory(t.path), ".", 1);  // nothing below: done at once
    EXPECT_EQ(job.takeFailure(&f, 0), fsutil::TreeShares::Take::end);
}
