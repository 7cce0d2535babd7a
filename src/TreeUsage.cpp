// Summing a tree as du(1) does: every entry, the top included, each inode
// counted once (a file with several links is counted where it is met first),
// apparent sizes and allocated blocks. Each shared subtree is walked with
// attributes by the walk engine on a worker, with sums of its own, added to
// the job's once the subtree is done.
#include "TreeUsage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "TreeWalk.h"

namespace fsutil {

namespace {

struct Inode {
    dev_t dev;
    ino_t ino;
};

// The inodes with several links met so far: an open-addressing table, shared by the workers.
class InodeSet {
   public:
    InodeSet() = default;
    InodeSet(const InodeSet&) = delete;
    InodeSet& operator=(const InodeSet&) = delete;

    // Whether (dev, ino) was not met before; it is then. Out of memory, it counts again.
    bool add(dev_t dev, ino_t ino) {
        const std::lock_guard<std::mutex> hold(lock_);
        if ((used_ + 1) * 2 > cap_ && !grow()) return true;
        Inode* slot = find(slots_.get(), cap_, dev, ino);
        if (slot->ino != 0 || slot->dev != 0) return false;
        *slot = Inode{dev, ino};
        ++used_;
        return true;
    }

   private:
    static Inode* find(Inode* slots, std::size_t cap, dev_t dev, ino_t ino) {
        std::size_t i = (static_cast<std::size_t>(ino) * 0x9E3779B97F4A7C15ULL ^ static_cast<std::size_t>(dev)) & (cap - 1);
        while ((slots[i].ino != 0 || slots[i].dev != 0) && (slots[i].ino != ino || slots[i].dev != dev)) {
            i = (i + 1) & (cap - 1);
        }
        return &slots[i];
    }

    bool grow() {
        const std::size_t cap = cap_ ? cap_ * 2 : 1024;
        MallocPtr<Inode[]> slots(static_cast<Inode*>(std::calloc(cap, sizeof(Inode))));
        if (!slots) return false;
        for (std::size_t i = 0; i < cap_; ++i) {
            if (slots_[i].ino != 0 || slots_[i].dev != 0) *find(slots.get(), cap, slots_[i].dev, slots_[i].ino) = slots_[i];
        }
        slots_ = std::move(slots);
        cap_ = cap;
        return true;
    }

    std::mutex lock_;
    MallocPtr<Inode[]> slots_;  // all zero: free
    std::size_t cap_ = 0;
    std::size_t used_ = 0;
};

}  // namespace

class TreeUsage final : public TreeShares {
   public:
    explicit TreeUsage(bool sameFileSystem) : TreeShares(JobKind::usage), sameFileSystem_(sameFileSystem) {}

    UsageSums sums() {
        const std::lock_guard<std::mutex> hold(sumLock_);
        return sums_;
    }

   private:
    // Counts st into s, unless it is a further link to an inode already counted.
    void count(UsageSums& s, const struct stat& st) {
        if (!S_ISDIR(st.st_mode) && st.st_nlink > 1 && !inodes_.add(st.st_dev, st.st_ino)) return;
        ++s.entries;
        progressed(1, static_cast<std::uint64_t>(st.st_size));
        s.directories += S_ISDIR(st.st_mode) ? 1 : 0;
        s.files += S_ISREG(st.st_mode) ? 1 : 0;
        s.bytes += static_cast<std::uint64_t>(st.st_size);
        s.blocks += static_cast<std::uint64_t>(st.st_blocks);
    }

    void add(const UsageSums& s) {
        const std::lock_guard<std::mutex> hold(sumLock_);
        sums_.entries += s.entries;
        sums_.directories += s.directories;
        sums_.files += s.files;
        sums_.bytes += s.bytes;
        sums_.blocks += s.blocks;
    }

    void countOne(const struct stat& st) {
        UsageSums s;
        count(s, st);
        add(s);
    }

    bool top(int /*parentFd*/, const char* /*name*/, const struct stat& st) override {
        countOne(st);
        return true;
    }

    void entry(Node& node, const char* name, EntryType /*type*/) override {
        struct stat st;
        if (fstatat(node.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            countOne(st);
        } else if (errno != ENOENT) {  // gone since it was listed: nothing to count
            fail(node.path.get(), name, std::strlen(name), errno);
        }
    }

    // A directory that cannot be opened still counts itself, as du counts it.
    void unopened(int parentFd, const char* name, const char* /*path*/) override {
        struct stat st;
        if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            (!sameFileSystem_ || st.st_dev == dev_)) {
            countOne(st);
        }
    }

    bool enter(Node& /*parent*/, const char* /*name*/, const char* /*path*/, const struct stat& st) override {
        if (sameFileSystem_ && st.st_dev != dev_) return false;
        countOne(st);
        return true;
    }

    bool share(int parentFd, const char* name, const char* path) override {
        DirCheck check;
        check.device = sameFileSystem_ ? &dev_ : nullptr;
        struct stat st;
        UniqueFd fd;
        const DirOpen got = openDir(parentFd, name, check, &st, &fd);
        if (got == DirOpen::otherDevice) return true;
        if (got != DirOpen::opened) {
            const int why = openDirReason(got);
            unopened(parentFd, name, path);
            fail(path, "", 0, why);
            return false;
        }
        UsageSums s;
        count(s, st);
        WalkOptions options;
        options.attributes = true;
        options.everyType = true;
        options.sameFileSystem = sameFileSystem_;
        const std::unique_ptr<TreeWalk> walk = TreeWalk::open(std::move(fd), options);
        if (!walk) {
            const int err = errno;
            add(s);
            fail(path, "", 0, err);
            return false;
        }
        WalkPath at;
        WalkItem item;
        std::size_t n = 0;
        while (!cancelled() && walk->next(&item)) {
            if (item.event == WalkEvent::entry) {
                // A directory on another device is not counted either (du -x).
                if (!sameFileSystem_ || item.st->st_dev == dev_) count(s, *item.st);
                if (item.type == EntryType::directory) at.enter(item.depth, item.name, item.nameLen);
            } else if (item.event == WalkEvent::failure) {
                const char* p = at.of(item.depth, &n);
                fail(path, p, n, item.err);
            }
        }
        add(s);
        return true;
    }

    const bool sameFileSystem_;
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
