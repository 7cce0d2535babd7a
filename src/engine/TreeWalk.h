// Library-private: the tree walk engine. A depth-first walk of a whole tree
// through open directory descriptors (openat, O_NOFOLLOW unless links are
// followed), with a bounded number of them open at once, handed out as
// events: an entry, a directory left, a failure. What consumes the events
// (the Java batch encoder, a delete, a size sum) lives elsewhere. No JNI here.
#ifndef FSUTIL_TREEWALK_H
#define FSUTIL_TREEWALK_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/Grow.h"
#include "engine/DirChain.h"
#include "engine/DirEntries.h"

namespace fsutil {

struct WalkOptions {
    bool attributes = false;       // every entry with its stat record
    bool sameFileSystem = false;   // directories on another device or mount are reported, not entered
    bool sorted = false;           // a directory's entries in ascending order of their name bytes
    bool followLinks = false;      // links reported as their targets, links to directories entered
    bool everyType = false;        // devices and sockets reported too, as EntryType::other
    // A directory that may be read but not searched: its names reported, typed by d_type (as
    // find lists them), where no attributes are asked for; otherwise it is one failure.
    bool listUnsearchable = false;
    std::size_t maxDepth = static_cast<std::size_t>(-1);  // directories at this depth are not opened
    // A walk of a part of a larger one: the directories open above its top
    // (each a device and an inode, for loops) and the larger walk's device and mount.
    const DirId* above = nullptr;
    std::size_t aboveCount = 0;
    const dev_t* topDevice = nullptr;
    const std::uint64_t* topMount = nullptr;
    bool noMountsBelow = false;  // the larger walk found nothing mounted below its top
};

struct WalkItem;

// Where a split hands the entries it takes off a walk.
class WalkSink {
   public:
    virtual bool entry(const WalkItem& item) = 0;

   protected:
    ~WalkSink() = default;
};

enum class WalkEvent : unsigned char {
    entry,    // an entry; a directory is entered on the next call unless skip() is called first
    leave,    // a directory reported earlier is done with (entered or not), after all it holds
    failure,  // a directory (depth 0: the root) could not be opened or read to its end
};

// What one event says. Valid until the next call of next().
struct WalkItem {
    WalkEvent event = WalkEvent::entry;
    std::size_t depth = 0;  // 1 for the root's own entries
    const char* name = "";  // under its parent; "" for the root
    std::size_t nameLen = 0;
    EntryType type = EntryType::skip;  // entry and leave
    const struct stat* st = nullptr;   // entry, with attributes (the target's, where a link is followed)
    int err = 0;                       // failure: the reason, an errno or a Reason
    bool otherDevice = false;          // leave: not entered, being on another device (sameFileSystem)
};

class TreeWalk final : private DirChain::Closing {
   public:
    // Takes over rootFd, an open directory. Null when it cannot start (out of
    // memory or descriptors: errno says which).
    static std::unique_ptr<TreeWalk> open(UniqueFd rootFd, const WalkOptions& options);
    ~TreeWalk();
    TreeWalk(const TreeWalk&) = delete;
    TreeWalk& operator=(const TreeWalk&) = delete;

    // The next event into *item; false at the end of the walk.
    bool next(WalkItem* item);

    // The directory of the last entry event is not entered (it is still left).
    void skip() { skipPending_ = true; }

    // The open descriptor of the directory holding the entries of `depth` (0:
    // the root's parent is not known here), opened again if it was closed;
    // -1 and the reason in *why when it cannot be.
    int directoryFd(std::size_t depth, int* why);

    // Takes the unread entries of the shallowest directory that has any off
    // this walk and hands them to sink, in the order the walk would have
    // reported them; *fd gets a descriptor of that directory, *depth its depth, and path (a buffer of the caller's) the
    // directories from the top down to it, it included. In post-order those
    // directories are then not left by this walk any more: they come after
    // the entries taken. False when nothing is left to take (or it failed).
    bool split(WalkSink& sink, UniqueFd* fd, std::size_t* depth, Grow<DirId>* path);

    // The device of the walk's top (of the whole walk's, for a part).
    dev_t topDevice() const { return rootDev_; }

    // A walk that reports only that its top could not be walked (for reason err), or nothing (0).
    static std::unique_ptr<TreeWalk> failed(int err);

    // Whether the directory of the last entry event would be entered by the next call.
    bool wouldEnter() const { return pending_ && !skipPending_ && pendingDepth_ < options_.maxDepth; }

   private:
    struct Level;
    struct Current;
    // Walks below the directory open as anchor (-1: a walk that fails at once).
    explicit TreeWalk(int anchor);
    int push(UniqueFd fd, const struct stat& st, const char* name, bool viaLink);
    void pop();
    bool closing(std::size_t d) override;  // read to its end before the chain closes it
    const char* nameOf(std::size_t i);
    bool readNext(std::size_t i, Current* cur, struct stat* st);
    bool take(std::size_t i, Current* cur);
    bool fill(std::size_t i);
    bool descend(WalkItem* item);

    WalkOptions options_;
    ReadRules rules_;
    UniqueFd rootFd_;  // kept open for the whole walk: the chain's anchor, where reopening starts
    dev_t rootDev_ = 0;
    uid_t euid_ = static_cast<uid_t>(-1);  // whose search permission push() checks
    std::uint64_t rootMount_ = 0;  // with sameFileSystem: the mount of the walk's top (0: not known)
    bool mounts_ = true;  // something is mounted below the root: each directory's typing is checked
    Grow<Level> levels_;  // the last is being read; levels_.data[i] holds depth i + 1
    DirChain chain_;      // chain_.at(i): the descriptor of levels_.data[i]; its ids, for loops
    bool pending_ = false;   // the last entry was a directory, to enter on the next call
    bool skipPending_ = false;
    std::size_t pendingDepth_ = 0;
    bool pendingViaLink_ = false;
    char pendingName_[256] = {};
    std::size_t pendingLen_ = 0;
    bool leavePending_ = false;  // the pending directory, not entered, is left on the next call
    bool otherDevice_ = false;   // the pending directory was not entered for being on another device
    bool popPending_ = false;    // the top level was left: closed on the next call
    struct stat current_ = {};   // the stat record of the last entry read from an open stream
    int topWhy_ = 0;  // a walk that could not start: this failure, then the end
};

}  // namespace fsutil

#endif
