// Removing a tree: every entry goes with unlinkat relative to its open
// directory, a directory when it is left, after its contents; the frame walks
// the tree (every directory entered with O_NOFOLLOW and checked as the walk
// checks it, nothing on another device entered). A directory that holds a
// failure stays, and so do its parents; one on another device is reported.
#include "engine/TreeDelete.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "engine/EntryJob.h"

namespace fsutil {

namespace {

WalkOptions deleteWalk() {
    WalkOptions options;
    options.sameFileSystem = true;
    options.everyType = true;
    // Its names are tried and reported one by one, as rm does, wherever the directory lies.
    options.listUnsearchable = true;
    return options;
}

}  // namespace

class TreeDelete final : public EntryJob {
   public:
    TreeDelete() : EntryJob(JobKind::remove, deleteWalk()) {}
    std::atomic<std::uint64_t> removed{0};

   private:
    int act(const JobEntry& e) override {
        if (!e.leave && e.type == EntryType::directory) return 0;  // removed when left
        if (e.otherDevice) return kReasonMountPoint;
        int why = 0;
        const int dir = e.dirFd(&why);
        if (dir < 0) return why;
        // A link, also to a directory, goes itself; a file bind-mounted stays, as a mount point.
        if (unlinkat(dir, e.name, e.leave ? AT_REMOVEDIR : 0) != 0) return errno == EBUSY ? kReasonMountPoint : errno;
        removed.fetch_add(1, std::memory_order_relaxed);
        progressed(1, 0);
        return 0;
    }
};

std::unique_ptr<TreeShares> startDelete(UniqueFd parentFd, const char* name, std::size_t threads) {
    std::unique_ptr<TreeShares> job(new (std::nothrow) TreeDelete);
    if (job) job->start(std::move(parentFd), name, threads);
    return job;
}

std::uint64_t finishDelete(std::unique_ptr<TreeShares> shares) {
    if (!shares || shares->kind() != JobKind::remove) return 0;
    auto& job = static_cast<TreeDelete&>(*shares);  // of that kind: see above
    job.stop();
    return job.removed.load();
}

}  // namespace fsutil
