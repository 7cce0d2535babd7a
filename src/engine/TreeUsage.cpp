// Summing a tree as du(1) does: every entry, the top included, each inode
// counted once (a file with several links is counted where it is met first),
// apparent sizes and allocated blocks. Each shared subtree is walked with
// attributes by the walk engine on a worker, with sums of its own, added to
// the job's once the subtree is done.
#include "engine/TreeUsage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "engine/EntryJob.h"
#include "engine/InodeTable.h"

namespace fsutil {

namespace {

WalkOptions usageWalk(bool sameFileSystem) {
    WalkOptions options;
    options.attributes = true;
    options.everyType = true;
    options.sameFileSystem = sameFileSystem;
    return options;
}

}  // namespace

class TreeUsage final : public EntryJob {
   public:
    explicit TreeUsage(bool sameFileSystem)
        : EntryJob(JobKind::usage, usageWalk(sameFileSystem)) {}

    UsageSums sums() {
        const std::lock_guard<std::mutex> hold(sumLock_);
        return sums_;
    }

   private:
    // A share's entries, summed apart and added to the job's once it is done.
    struct ShareSum final : EntryAct {
        explicit ShareSum(TreeUsage& j) : job(j) {}
        TreeUsage& job;
        UsageSums sums;
        int act(const JobEntry& e) override { return job.count(e, sums); }
    };

    // Counts an entry into s (once per inode), as du counts it.
    int count(const JobEntry& e, UsageSums& s) {
        if (e.leave) return e.otherDevice ? uncountMountPoint(e, s) : 0;
        struct stat own;
        const struct stat* st = e.st;
        if (!st) {
            int why = 0;
            const int dir = e.dirFd(&why);
            if (dir < 0) return why;
            if (fstatat(dir, e.name, &own, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;  // gone since listed: nothing to count
            if (e.type == EntryType::directory && !S_ISDIR(own.st_mode)) return 0;  // no longer the directory met
            st = &own;
        }
        // Nothing on another device counts either (du -x); a further link to an inode counted does not.
        if (sameFileSystem_ && st->st_dev != dev_) return 0;
        if (!S_ISDIR(st->st_mode) && st->st_nlink > 1 && !inodes_.add(st->st_dev, st->st_ino)) return 0;
        ++s.entries;
        progressed(1, static_cast<std::uint64_t>(st->st_size));
        s.directories += S_ISDIR(st->st_mode) ? 1 : 0;
        s.files += S_ISREG(st->st_mode) ? 1 : 0;
        s.bytes += static_cast<std::uint64_t>(st->st_size);
        s.blocks += static_cast<std::uint64_t>(st->st_blocks);
        return 0;
    }

    // A mount point of the top's device (a bind mount) was counted when met,
    // before the walk could tell it is one: du -x counts no mount point. The
    // sums wrap, so s may go below zero until it is added to the job's.
    int uncountMountPoint(const JobEntry& e, UsageSums& s) {
        int why = 0;
        const int dir = e.dirFd(&why);
        struct stat st;
        if (dir < 0 || fstatat(dir, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != dev_) {
            return 0;
        }
        s.entries -= 1;
        s.directories -= 1;
        s.bytes -= static_cast<std::uint64_t>(st.st_size);
        s.blocks -= static_cast<std::uint64_t>(st.st_blocks);
        return 0;
    }

    void add(const UsageSums& s) {
        const std::lock_guard<std::mutex> hold(sumLock_);
        sums_.entries += s.entries;
        sums_.directories += s.directories;
        sums_.files += s.files;
        sums_.bytes += s.bytes;
        sums_.blocks += s.blocks;
    }

    // An entry of the top levels.
    int act(const JobEntry& e) override {
        UsageSums s;
        const int why = count(e, s);
        add(s);
        return why;
    }

    bool share(int parentFd, const char* name, const char* path) override {
        ShareSum sum(*this);
        const bool whole = walkShare(sum, parentFd, name, path);
        add(sum.sums);
        return whole;
    }

    InodeSet inodes_;
    std::mutex sumLock_;
    UsageSums sums_;
};

std::unique_ptr<TreeShares> startUsage(UniqueFd parentFd, const char* name, bool sameFileSystem, std::size_t threads) {
    std::unique_ptr<TreeShares> job(new (std::nothrow) TreeUsage(sameFileSystem));
    if (job) job->start(std::move(parentFd), name, threads);
    return job;
}

UsageSums finishUsage(std::unique_ptr<TreeShares> shares) {
    if (!shares || shares->kind() != JobKind::usage) return UsageSums();
    auto& job = static_cast<TreeUsage&>(*shares);  // of that kind: see above
    job.stop();
    return job.sums();
}

}  // namespace fsutil
