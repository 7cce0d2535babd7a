// Library-private: the directories from a job's open top down to where it
// works, at most kTreeMaxOpen of them open at once (the shallowest closed
// first), each opened again only through a checked step: `..` of its open
// child when climbing back up, else name by name from its nearest open
// ancestor, every step O_NOFOLLOW and checked against the device and inode
// it had. Climbing costs one open per level, so a job is linear in depth.
// No JNI here.
#ifndef FSUTIL_DIRCHAIN_H
#define FSUTIL_DIRCHAIN_H

#include <sys/stat.h>

#include <cstddef>

#include "base/Grow.h"
#include "base/Owned.h"
#include "engine/DirEntries.h"

namespace fsutil {

class DirChain {
   public:
    // What a level carries besides its descriptor (a copy: the source's record).
    struct Level {
        UniqueFd own;          // opened here; level 0's descriptor is the caller's
        int fd = -1;           // own's, or the caller's; -1 when closed
        CharsPtr name;
        DirId id{};
        struct stat src = {};
        bool made = false;
    };

    // Level 0: the directory open as topFd (the caller's, never closed here), st its record.
    explicit DirChain(int topFd, const struct stat& st);
    DirChain(const DirChain&) = delete;
    DirChain& operator=(const DirChain&) = delete;

    std::size_t depth() const { return levels_.len; }  // levels held, the top included
    Level& at(std::size_t d) { return levels_.data[d]; }

    // Adds level depth(): `level` (its fd open, or -1), name its name under
    // the level above; false when out of memory (nothing added).
    bool push(Level level);

    // Drops the deepest level. Before it goes, the level above it is opened
    // again through its `..` where it was closed, so that climbing stays one
    // step per level.
    void pop();

    // The descriptor of level d, opened again if it was closed (checked);
    // -1 and *why (kReasonTargetMoved) when it is no longer the directory it was.
    int fd(std::size_t d, int* why);

   private:
    void bound();
    bool reopenFromChild(std::size_t d);

    Grow<Level> levels_;
    std::size_t open_ = 0;
};

}  // namespace fsutil

#endif
