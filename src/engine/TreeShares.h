// Library-private: a whole-tree job on several threads. The calling thread
// reads the top levels of the tree until it holds enough directories to share
// out; worker threads then take whole subtrees off that list; what could not
// be done waits in a queue for the caller. What is done with each entry (a
// removal, a size sum) is the job's own. No JNI here.
#ifndef FSUTIL_TREESHARES_H
#define FSUTIL_TREESHARES_H

#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/DirEntries.h"
#include "base/Grow.h"
#include "base/Owned.h"

namespace fsutil {

class TreeWalk;

// What a job could not do: the path relative to the tree's top ("" for the
// top itself) and the reason (an errno or a Reason).
struct TreeFailure {
    CharsPtr path;
    int err = 0;
};

// What a job does, so that a job handed back is never taken for another kind.
enum class JobKind : unsigned char { remove, usage, copy, sync, watch };

class TreeShares {
   public:
    TreeShares(const TreeShares&) = delete;
    TreeShares& operator=(const TreeShares&) = delete;
    virtual ~TreeShares();

    // Works on the entry `name` of parentFd and, when that is a directory, on
    // everything below it, on up to `threads` threads.
    void start(UniqueFd parentFd, const char* name, std::size_t threads);

    // The next failure into *out, waiting for one while the work goes on;
    // false once everything is done and every failure was taken.
    bool takeFailure(TreeFailure* out);

    // What a wait for a failure ended with.
    enum class Take { failure, end, timeout };
    // takeFailure waiting at most waitMs milliseconds (negative: as long as it takes).
    Take takeFailure(TreeFailure* out, long waitMs);

    // Entries and bytes done so far, for watching a long job; any thread.
    std::uint64_t entriesDone() const { return entriesDone_.load(std::memory_order_relaxed); }
    std::uint64_t bytesDone() const { return bytesDone_.load(std::memory_order_relaxed); }

    // Stops what still runs and waits for the threads.
    void stop();

    JobKind kind() const { return kind_; }

   protected:
    // A directory of the top levels: read on the calling thread.
    struct Node {
        UniqueFd fd;
        std::size_t parent = 0;  // index of the node holding it
        CharsPtr name;
        CharsPtr path;         // relative to the top
        DirId id{};            // what it is recognised by, for loops
        bool failed = false;   // it holds something the job could not do (written under the lock)
    };

    // sameFileSystem: nothing on another device or mount is entered.
    TreeShares(JobKind kind, bool sameFileSystem) : sameFileSystem_(sameFileSystem), kind_(kind) {}

    // The top itself, before anything else; false: nothing below it is to be done.
    virtual bool top(int parentFd, const char* name, const struct stat& st) = 0;
    // An entry of a top level that is not a directory (devices and sockets:
    // EntryType::other); on any thread, several at once (a node that holds a
    // failure is marked with markFailed).
    virtual void entry(Node& node, const char* name, EntryType type) = 0;
    // A directory of a top level, open; false: it is not entered. otherFs: it
    // lies on another file system, where the job stays on the top's (it is
    // then not entered whatever the answer).
    virtual bool enter(Node& parent, const char* name, const char* path, const struct stat& st, bool otherFs) = 0;
    // A directory `name` of parentFd, at `path`, that could not be opened (its failure is reported apart).
    virtual void unopened(int /*parentFd*/, const char* /*name*/, const char* /*path*/) {}
    // On a worker: the directory `name` of parentFd and all below it; false when anything failed.
    virtual bool share(int parentFd, const char* name, const char* path) = 0;
    // On the caller's thread once every share is done.
    virtual void last() {}

    void fail(const char* base, const char* rel, std::size_t relLen, int err);
    void markFailed(std::size_t node);
    void progressed(std::uint64_t entries, std::uint64_t bytes) {
        if (entries) entriesDone_.fetch_add(entries, std::memory_order_relaxed);
        if (bytes) bytesDone_.fetch_add(bytes, std::memory_order_relaxed);
    }
    bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }

    std::size_t indexOf(const Node& node) const { return static_cast<std::size_t>(&node - nodes_.data); }
    // The node whose descriptor is fd (0 when none is).
    std::size_t nodeOf(int fd) const;
    // The directories the node at parentFd lies in, it included, for loops; false when out of memory.
    bool chainOf(int parentFd, Grow<DirId>* out) const;
    // Opens the directory `name` of parentFd as a share's top: checked for a
    // loop against the directories it lies in (*chain gets them), and where
    // the job stays on one file system, for a change of device or mount.
    DirOpen openShare(int parentFd, const char* name, Grow<DirId>* chain, struct stat* st, UniqueFd* fd) const;
    // The walk of every entry, with its record, below the share's top open as
    // fd (chain: what openShare gave, to outlive the walk); null when out of memory.
    std::unique_ptr<TreeWalk> walkShare(UniqueFd fd, const Grow<DirId>& chain) const;

    Grow<Node> nodes_;  // fixed once the workers start; nodes_[0] is the top's parent
    dev_t dev_ = 0;     // the top's device
    std::uint64_t mount_ = 0;  // the top's mount (0: not known)
    const bool sameFileSystem_;

   private:
    struct Share {
        std::size_t node = 0;  // where it lies
        CharsPtr name;
        CharsPtr path;
    };
    // Entries of a top-level directory that are not directories, handed to
    // entry() on a worker: each a type byte, then its name and a NUL.
    struct Batch {
        std::size_t node = 0;
        Grow<char> names;
        std::size_t count = 0;
    };
    bool addToBatch(std::size_t node, const DirEntry& e);
    bool split(std::size_t threads);
    void drainShares();
    static void* worker(void* arg);

    static constexpr std::size_t kMaxThreads = 64;
    const JobKind kind_;
    std::mutex lock_;
    std::condition_variable changed_;
    Grow<Share> shares_;
    std::atomic<std::size_t> next_{0};
    Grow<Batch> batches_;
    std::atomic<std::size_t> nextBatch_{0};
    std::atomic<bool> cancel_{false};
    std::atomic<std::uint64_t> entriesDone_{0};
    std::atomic<std::uint64_t> bytesDone_{0};
    pthread_t threads_[kMaxThreads] = {};
    std::size_t threadCount_ = 0;
    std::size_t running_ = 0;  // workers not done yet
    Grow<TreeFailure> failures_;
    std::size_t taken_ = 0;
    bool lastDone_ = false;
};

// The path below a walk's top of what the walk engine reports: the names of
// the directories entered, by depth.
class WalkPath {
   public:
    WalkPath() = default;
    WalkPath(const WalkPath&) = delete;
    WalkPath& operator=(const WalkPath&) = delete;
    // The directory `name` at depth d is reported: its path is the current one's at d - 1 and it.
    bool enter(std::size_t d, const char* name, std::size_t len);
    // The path of the directory at depth d (0: the top, ""), its length in *len.
    const char* of(std::size_t d, std::size_t* len) const;
    // The path of the entry `name` at depth d; valid until the next call.
    const char* entry(std::size_t d, const char* name, std::size_t nameLen, std::size_t* len);

   private:
    Grow<char> path_;
    Grow<std::size_t> ends_;  // ends_.data[d]: where the path of the directory at depth d ends
};

// The cores the calling thread may run on: a job's threads.
std::size_t usableCores();

// "a/b" from "a" and the first bLen bytes of b (either may be empty); null when out of memory.
CharsPtr joinPath(const char* a, const char* b, std::size_t bLen);

}  // namespace fsutil

#endif
