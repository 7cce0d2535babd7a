// Removing a tree. What is not a directory in the top levels goes on the
// calling thread; each shared subtree is emptied by the walk engine in
// post-order, on a worker: every removal is unlinkat relative to the open
// parent, every directory entered with O_NOFOLLOW and checked as the walk
// checks it, nothing on another device entered. The directories of the top
// levels go last, deepest first. A directory that holds a failure stays, and
// so do its parents.
#include "TreeDelete.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "TreeWalk.h"

namespace fsutil {

class TreeDelete final : public TreeShares {
   public:
    TreeDelete() : TreeShares(JobKind::remove) {}
    std::atomic<std::uint64_t> removed{0};

   private:
    // unlinkat; a failure is reported as the path base/rel.
    bool remove(int dirFd, const char* name, int flags, const char* base, const char* rel) {
        if (unlinkat(dirFd, name, flags) == 0) {
            removed.fetch_add(1, std::memory_order_relaxed);
            progressed(1, 0);
            return true;
        }
        fail(base, rel, std::strlen(rel), errno);
        return false;
    }

    bool top(int parentFd, const char* name, const struct stat& st) override {
        if (S_ISDIR(st.st_mode)) return true;
        remove(parentFd, name, 0, "", "");  // a link, also to a directory, goes itself
        return false;
    }

    void entry(Node& node, const char* name, EntryType /*type*/) override {
        if (!remove(node.fd.get(), name, 0, node.path.get(), name)) node.failed = true;
    }

    bool enter(Node& parent, const char* /*name*/, const char* path, const struct stat& st) override {
        if (st.st_dev == dev_) return true;
        fail(path, "", 0, kReasonMountPoint);
        parent.failed = true;
        return false;
    }

    bool share(int parentFd, const char* name, const char* path) override;
    bool emptyTree(TreeWalk& walk, const char* base);

    // The directories of the top levels, deepest first; one holding a failure stays.
    void last() override {
        for (std::size_t i = nodes_.len; i-- > 1 && !cancelled();) {
            Node& node = nodes_.data[i];
            if (node.failed || !remove(nodes_.data[node.parent].fd.get(), node.name.get(), AT_REMOVEDIR, node.path.get(), "")) {
                markFailed(node.parent);
            }
        }
    }
};

// Removes everything below the walk's top, in post-order; whether all of it went.
bool TreeDelete::emptyTree(TreeWalk& walk, const char* base) {
    WalkPath path;
    Grow<bool> holds;  // holds.data[d]: the directory at depth d holds a failure
    WalkItem item;
    std::size_t n = 0;
    while (!cancelled() && walk.next(&item)) {
        const std::size_t d = item.depth;
        if (!holds.ensure(d + 2)) break;
        for (; holds.len < d + 2; ++holds.len) holds.data[holds.len] = false;
        if (item.event == WalkEvent::failure) {
            holds.data[d] = true;
            const char* p = path.of(d, &n);
            fail(base, p, n, item.err);
            continue;
        }
        if (item.event == WalkEvent::entry && item.type == EntryType::directory) {
            // Removed when left; its path is needed for what is reported below it.
            if (!path.enter(d, item.name, item.nameLen)) break;
            holds.data[d] = false;
            continue;
        }
        const bool leave = item.event == WalkEvent::leave;
        int why = 0;
        if (leave && holds.data[d]) {
            holds.data[d - 1] = true;
            continue;
        }
        if (leave && item.otherDevice) {
            why = kReasonMountPoint;
        } else {
            const int dirFd = walk.directoryFd(d, &why);
            if (dirFd >= 0 && unlinkat(dirFd, item.name, leave ? AT_REMOVEDIR : 0) == 0) {
                removed.fetch_add(1, std::memory_order_relaxed);
                progressed(1, 0);
                continue;
            }
            if (why == 0) why = errno;
        }
        const char* p = leave ? path.of(d, &n) : path.entry(d, item.name, item.nameLen, &n);
        if (p) fail(base, p, n, why);
        holds.data[d - 1] = true;
    }
    return !cancelled() && (holds.len == 0 || !holds.data[0]);
}

// Removes the directory `name` of parentFd and all below it; whether it went.
bool TreeDelete::share(int parentFd, const char* name, const char* path) {
    DirCheck check;
    check.device = &dev_;
    struct stat st;
    UniqueFd fd;
    const DirOpen got = openDir(parentFd, name, check, &st, &fd);
    // No longer a directory (a link put in its place, say): removed itself, never followed.
    if (got == DirOpen::failed && (errno == ELOOP || errno == ENOTDIR)) return remove(parentFd, name, 0, path, "");
    if (got != DirOpen::opened) {
        fail(path, "", 0, got == DirOpen::otherDevice ? kReasonMountPoint : openDirReason(got));
        return false;
    }
    WalkOptions options;
    options.sameFileSystem = true;
    options.everyType = true;
    // Its names are tried and reported one by one, as rm does, wherever the directory lies.
    options.listUnsearchable = true;
    const std::unique_ptr<TreeWalk> walk = TreeWalk::open(std::move(fd), options);
    if (!walk) {
        fail(path, "", 0, errno);
        return false;
    }
    return emptyTree(*walk, path) && remove(parentFd, name, AT_REMOVEDIR, path, "");
}

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
