// The first reading of a watched tree (see WatchScan.h). The top levels are
// read on the calling thread and the subtrees below them on the workers, as
// every whole-tree job is shared out. A directory of the top levels is
// watched by its name in its open parent when it is met; a share's top once it
// is open, through its own descriptor, so that the directory read is the one
// watched; a directory inside a share by its name in its open parent, before
// the walk enters it. Each thread writes what it finds into a buffer of its
// own: a group (the path of the directory below which the entries lie) and
// then the entries, each with its depth below that directory.
#include "engine/WatchScan.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "base/Reasons.h"
#include "engine/TreeShares.h"
#include "engine/TreeWalk.h"

namespace fsutil {

int addWatch(int inotifyFd, int fd, std::uint32_t mask, const char* name) {
    char proc[300];
    if (name) {
        (void)std::snprintf(proc, sizeof proc, "/proc/self/fd/%d/%s", fd, name);
        mask |= IN_DONT_FOLLOW;
    } else {
        (void)std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    }
    return inotify_add_watch(inotifyFd, proc, mask);
}

namespace {

// A record: its depth (0: a group), then for a group the path's length and
// bytes; for an entry its type, its watch, the name's length and bytes.
struct RecordHead {
    std::uint32_t depth;
    std::uint32_t len;
    std::int32_t wd;
    unsigned char type;
};

bool put(Grow<char>* to, const RecordHead& head, const char* bytes) {
    if (!to->reserve(sizeof head + head.len)) return false;
    std::memcpy(to->data + to->len, &head, sizeof head);
    std::memcpy(to->data + to->len + sizeof head, bytes, head.len);
    to->len += sizeof head + head.len;
    return true;
}

bool putGroup(Grow<char>* to, const char* path, std::size_t len) {
    return put(to, RecordHead{0, static_cast<std::uint32_t>(len), -1, 0}, path);
}

bool putEntry(Grow<char>* to, std::size_t depth, EntryType type, int wd, const char* name, std::size_t len) {
    return put(to, RecordHead{static_cast<std::uint32_t>(depth), static_cast<std::uint32_t>(len), wd,
                              static_cast<unsigned char>(type)},
               name);
}

// The directory a share's path lies in: its path up to the last '/' ("" for none).
std::size_t parentLen(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? static_cast<std::size_t>(slash - path) : 0;
}

bool gone(int err) { return err == ENOENT || err == ENOTDIR; }

class WatchScanJob final : public TreeShares {
   public:
    WatchScanJob(const ScanOptions& options, bool mountsBelow)
        : TreeShares(JobKind::watch, options.sameFileSystem), options_(options), mountsBelow_(mountsBelow) {}

    // What was found, to sink: the top levels first, then each share.
    void hand(ScanSink& sink) const {
        handOne(top_, sink);
        for (std::size_t i = 0; i < found_.len; ++i) handOne(found_.data[i], sink);
    }

   private:
    bool top(int /*parentFd*/, const char* /*name*/, const struct stat& /*st*/) override { return true; }

    // An entry of the top levels that is not a directory, on any thread.
    void entry(Node& node, const char* name, EntryType type) override {
        if (type == EntryType::other) return;
        const std::lock_guard<std::mutex> hold(recordLock_);
        (void)(inGroup(node.path.get()) && putEntry(&top_, 1, type, -1, name, std::strlen(name)));
    }

    // A directory of the top levels, open, read on the calling thread next.
    bool enter(Node& parent, const char* name, const char* path, const struct stat& /*st*/, bool otherFs) override {
        int wd = -1;
        const bool read = !otherFs && watch(parent.fd.get(), name, path, "", 0, &wd);
        const std::lock_guard<std::mutex> hold(recordLock_);
        (void)(inGroup(parent.path.get()) && putEntry(&top_, 1, EntryType::directory, wd, name, std::strlen(name)));
        return read;
    }

    void unopened(int /*parentFd*/, const char* name, const char* path) override {
        const std::lock_guard<std::mutex> hold(recordLock_);
        CharsPtr dir = copyChars(path, parentLen(path));
        (void)(dir && inGroup(dir.get()) && putEntry(&top_, 1, EntryType::directory, -1, name, std::strlen(name)));
    }

    bool share(int parentFd, const char* name, const char* path) override {
        Grow<char> out;
        if (!putGroup(&out, path, parentLen(path))) return false;
        Grow<DirId> chain;
        struct stat st;
        UniqueFd fd;
        const DirOpen got = openShare(parentFd, name, &chain, &st, &fd);
        int wd = -1;
        bool read = false;
        switch (got) {
            case DirOpen::opened: {
                // Through its own descriptor: the directory about to be read is the one watched.
                wd = addWatch(options_.inotifyFd, fd.get(), options_.mask);
                const int err = wd < 0 ? errno : 0;
                if (gone(err)) return true;  // gone since: its directory's events tell
                if (err != 0) fail(path, "", 0, err);
                read = err != EACCES;
                break;
            }
            case DirOpen::otherDevice:
                break;  // listed, neither watched nor entered
            case DirOpen::failed: {
                const int err = errno;
                if (gone(err) || err == ELOOP) return true;  // gone, or a link now: its directory's events tell
                fail(path, "", 0, err);
                break;
            }
            default:
                fail(path, "", 0, openDirReason(got));
                break;
        }
        if (!read) fd.reset();
        bool whole = putEntry(&out, 1, EntryType::directory, wd, name, std::strlen(name));
        if (fd && whole) {
            WalkOptions options;
            options.sameFileSystem = sameFileSystem_;
            options.topDevice = &dev_;
            options.topMount = &mount_;
            options.above = chain.data;
            options.aboveCount = chain.len;
            options.noMountsBelow = !mountsBelow_;
            const std::unique_ptr<TreeWalk> walk = TreeWalk::open(std::move(fd), options);
            whole = walk ? walkBelow(*walk, path, &out) : (fail(path, "", 0, errno), false);
        }
        const std::lock_guard<std::mutex> hold(recordLock_);
        return found_.push(std::move(out)) && whole;
    }

    // Records what the walk of a share (at base) reports, watching each
    // directory before the walk enters it; false when out of memory.
    bool walkBelow(TreeWalk& walk, const char* base, Grow<char>* out) {
        WalkPath at;
        WalkItem item;
        std::size_t n = 0;
        while (!cancelled() && walk.next(&item)) {
            const std::size_t d = item.depth;
            if (item.event == WalkEvent::leave) continue;
            if (item.event == WalkEvent::failure) {
                // Gone or replaced since it was listed: the events of its directory tell.
                if (!gone(errnoOf(item.err))) fail(base, at.of(d, &n), n, item.err);
                continue;
            }
            if (item.type == EntryType::skip || item.type == EntryType::other) continue;
            int wd = -1;
            if (item.type == EntryType::directory) {
                if (!at.enter(d, item.name, item.nameLen)) return false;
                int why = 0;
                const int parentFd = walk.directoryFd(d, &why);
                if (parentFd < 0 || (sameFileSystem_ && onOtherMount(parentFd, item.name, dev_, mount_))) {
                    walk.skip();
                } else {
                    const char* p = at.of(d, &n);
                    if (!watch(parentFd, item.name, base, p, n, &wd)) walk.skip();
                }
            }
            if (!putEntry(out, d + 1, item.type, wd, item.name, item.nameLen)) return false;
        }
        return true;
    }

    // Watches the directory `name` of parentFd (at base/rel), reporting
    // what fails; whether it is to be read.
    bool watch(int parentFd, const char* name, const char* base, const char* rel, std::size_t relLen, int* wd) {
        *wd = addWatch(options_.inotifyFd, parentFd, options_.mask, name);
        if (*wd >= 0) return true;
        const int err = errno;
        if (gone(err)) return false;  // gone, or no directory by now: the events of its directory tell
        fail(base, rel, relLen, err);
        return err != EACCES;  // one that may not be watched may not be read either
    }

    // Starts a group for the entries of the directory at path, unless the last one is it; under recordLock_.
    bool inGroup(const char* path) {
        const std::size_t len = std::strlen(path);
        if (lastGroup_ && std::strcmp(lastGroup_.get(), path) == 0) return true;
        lastGroup_ = copyChars(path, len);
        return lastGroup_ && putGroup(&top_, path, len);
    }

    static void handOne(const Grow<char>& records, ScanSink& sink) {
        for (std::size_t at = 0; at + sizeof(RecordHead) <= records.len;) {
            RecordHead head;
            std::memcpy(&head, records.data + at, sizeof head);
            const char* bytes = records.data + at + sizeof head;
            at += sizeof head + head.len;
            if (head.depth == 0) {
                sink.group(bytes, head.len);
                continue;
            }
            ScanFound f;
            f.depth = head.depth;
            f.type = static_cast<EntryType>(head.type);
            f.wd = head.wd;
            f.name = bytes;
            f.nameLen = head.len;
            sink.found(f);
        }
    }

    const ScanOptions options_;
    const bool mountsBelow_;
    std::mutex recordLock_;
    Grow<char> top_;          // the top levels' records
    CharsPtr lastGroup_;      // the path of top_'s last group
    Grow<Grow<char>> found_;  // each share's records
};

}  // namespace

void scanTree(int topFd, const ScanOptions& options, ScanSink& sink) {
    UniqueFd top(dup(topFd));
    if (!top) {
        sink.failure("", 0, errno);
        return;
    }
    WatchScanJob job(options, mountsBelow(topFd));
    job.start(std::move(top), ".", options.threads);
    TreeFailure f;
    while (job.takeFailure(&f)) {
        if (!gone(errnoOf(f.err))) sink.failure(f.path.get(), std::strlen(f.path.get()), f.err);
    }
    job.stop();
    job.hand(sink);
}

}  // namespace fsutil
