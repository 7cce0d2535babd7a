// Library-private: the tree watcher. One inotify instance watches every
// directory of a tree and keeps a model of the tree (names and types) that
// the changes it hands out describe: applied in order to the listing taken
// when the watch started, they give the tree as it stands. No JNI here.
#ifndef FSUTIL_TREEWATCH_H
#define FSUTIL_TREEWATCH_H

#include <sys/inotify.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/Grow.h"
#include "base/Owned.h"
#include "engine/DirEntries.h"

namespace fsutil {

// What happened to an entry, in the order of the jar's FileTree.ChangeKind (from 1).
enum class ChangeKind : unsigned char { created = 1, modified, attributes, removed, moved, overflow };

// How long a moved-from event waits for its moved-to before it counts as a move out of the tree.
constexpr int kPairMillis = 10;

struct WatchOptions {
    bool sameFileSystem = false;  // directories on another device are reported, not watched nor entered
    std::size_t readBytes = 65536;  // at most this much of the kernel's queue per read (tests split it)
    std::size_t threads = 0;        // for the first reading of the tree; 0: every core this thread may run on
};

// Where a watch hands its changes and failures. Paths are relative to the
// root ("" for the root itself), names joined with '/', as their bytes.
class ChangeSink {
   public:
    // from: for a move, the path it came from; else null.
    virtual void change(ChangeKind kind, EntryType type, const char* path, std::size_t len, const char* from,
                        std::size_t fromLen) = 0;
    // A directory that cannot be watched or read: the reason's code (an errno, or a context
    // with its errno: base/Reasons.h) and text.
    virtual void failure(const char* path, std::size_t len, int code, const char* text) = 0;

   protected:
    ~ChangeSink() = default;
};

class TreeWatch {
   public:
    // Watches the tree of rootFd (an open directory, taken over): every
    // directory watched before it is read. Failures below the root go to
    // sink; null with *err set when the root itself cannot be watched.
    static std::unique_ptr<TreeWatch> open(UniqueFd rootFd, const WatchOptions& options, ChangeSink& sink, int* err);
    ~TreeWatch();
    TreeWatch(const TreeWatch&) = delete;
    TreeWatch& operator=(const TreeWatch&) = delete;

    // The inotify descriptor: readable when the kernel holds events.
    int fd() const { return inotify_.get(); }

    // Whether process() has work that the descriptor does not announce (a recovery to run).
    bool due() const { return lost_ && !ended_; }

    // Reads what the kernel queued and hands the changes to sink, waiting at
    // most kPairMillis for the pair of a moved-from. False once the watch
    // has ended (the root removed or moved: REMOVED "" was its last change).
    bool process(ChangeSink& sink);

    // Changes were lost on the way to the consumer, or are about to be:
    // the next process() drops what the kernel queued, reports OVERFLOW and
    // reads the tree again, reporting the differences from the model.
    void overflow() { lost_ = true; }

    bool ended() const { return ended_; }

    // Whether the root's removal is told by the kernel (a watch on its parent); if not, check() is to be
    // called now and then. A removed directory tells nothing itself while a descriptor of it is open.
    bool rootTold() const { return parentWd_ >= 0; }

    // Ends the watch (REMOVED "" to sink) when the root has been removed.
    void check(ChangeSink& sink);

    // Directories watched now, and entries in the model.
    std::size_t watched() const { return watched_; }
    std::size_t entries() const { return live_; }

   private:
    struct Node;
    struct Pending;
    TreeWatch() = default;

    std::uint32_t child(std::uint32_t dir, const char* name, std::size_t len) const;
    std::uint32_t add(std::uint32_t dir, const char* name, std::size_t len, EntryType type);
    void drop(std::uint32_t id, bool report, ChangeSink& sink, bool keepWatches = false);
    std::uint32_t place(std::uint32_t dir, const char* name, std::size_t len, EntryType type, bool reportNew,
                        ChangeSink& sink);
    bool rename(std::uint32_t id, std::uint32_t dir, const char* name, std::size_t len);
    void unlink(std::uint32_t id);
    void link(std::uint32_t id);
    bool grow();
    const char* path(std::uint32_t id, std::size_t* len);
    bool watch(std::uint32_t id, int fd, bool report, ChangeSink& sink, const char* name = nullptr);
    bool adopt(std::uint32_t id, int wd, bool report, ChangeSink& sink);
    void unwatch(std::uint32_t id, bool keep = false);
    void releaseKept();
    void firstScan(ChangeSink& sink);
    int dirFd(std::uint32_t id);
    bool reaches(int fd, int wd);
    void forgetIno(int wd);
    UniqueFd reopenRoot() const;
    void scan(std::uint32_t top, UniqueFd fd, bool report, bool sweep, ChangeSink& sink);
    void seen(std::uint32_t id);
    std::uint32_t after(std::uint32_t at, std::uint32_t top) const;
    void sweep(ChangeSink& sink);
    void created(std::uint32_t dir, const char* name, bool isDir, ChangeSink& sink, bool retried = false);
    void moved(std::uint32_t id, std::uint32_t dir, const char* name, bool isDir, ChangeSink& sink);
    int exchanged(std::uint32_t id, std::uint32_t dir, const char* name, std::size_t len);
    const struct inotify_event* next(int i) const;
    const struct inotify_event* peek(int i);
    void exchange(std::uint32_t id, std::uint32_t other, ChangeSink& sink);
    void created(std::uint32_t top, ChangeSink& sink);
    void resolvePending(ChangeSink& sink);
    void event(const struct inotify_event& ev, ChangeSink& sink);
    void recover(ChangeSink& sink);
    void end(ChangeSink& sink);
    void report(ChangeKind kind, std::uint32_t id, ChangeSink& sink);

    WatchOptions options_;
    UniqueFd rootFd_;
    UniqueFd inotify_;
    dev_t rootDev_ = 0;
    std::uint64_t rootMount_ = 0;  // with sameFileSystem: the root's mount (0: not known)
    int parentWd_ = -1;           // the root's parent, watched for the root's removal
    Grow<Node> nodes_;            // node 0 is the root
    Grow<std::uint32_t> free_;    // ids of nodes dropped, for reuse
    Grow<std::uint32_t> table_;   // (parent, name) -> id, open addressing; kNone where empty
    Grow<std::uint32_t> byWd_;    // watch descriptor -> id
    Grow<ino_t> inoByWd_;         // watch descriptor -> its directory's inode once made sure of (0: not yet)
    Grow<int> kept_;              // watches of a stale part dropped, removed after the reading unless taken again
    Grow<char> path_;             // the last path built
    Grow<char> from_;             // a move's source path
    std::size_t live_ = 0;
    std::size_t watched_ = 0;
    std::uint32_t serial_ = 0;    // tells apart nodes that reuse an id
    std::uint32_t gen_ = 0;       // the current rescan's mark
    bool lost_ = false;
    bool ended_ = false;
    std::uint32_t lastTouched_ = UINT32_MAX;  // the node of the last MODIFIED/ATTRIBUTES, for coalescing
    ChangeKind lastKind_ = ChangeKind::overflow;
    std::unique_ptr<Pending> pending_;
    // The kernel's queue as read: one read of at most readBytes, then what peek() reads after it.
    alignas(struct inotify_event) char queue_[2 * 65536] = {};
    std::size_t queueLen_ = 0;
    const char* rest_ = nullptr;  // the events after the one being handled, in queue_
    std::size_t restLen_ = 0;
    int skip_ = 0;                // events of the buffer already handled with an earlier one
    struct CachedFd {
        std::uint32_t serial = 0;
        UniqueFd fd;
    };
    CachedFd cache_[8];
    struct Deferred {  // an entry created where its directory could not be reached by its path
        std::uint32_t dir = 0;
        std::uint32_t serial = 0;
        CharsPtr name;
        bool isDir = false;
    };
    Grow<Deferred> deferred_;
    std::size_t cacheNext_ = 0;
};

// The text of a directory that could not be watched for err (ENOSPC names the limit and its value).
void watchFailureText(int err, char* buf, std::size_t size);

}  // namespace fsutil

#endif
