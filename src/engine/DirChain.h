// Library-private: the directories from a whole-tree job's top down to where
// it works, as a walk reads them or a copy or sync writes them, at most
// kTreeMaxOpen of them open at once (the shallowest closed first). A closed
// level is opened again only through checked steps: `..` of its open child
// when climbing back up, else name by name from its nearest open ancestor,
// every step O_NOFOLLOW (but for a level reached through a followed link) and
// checked against the device and inode it had. Climbing through `..` costs
// one open per level, so a copy or sync is linear in depth. No JNI here.
#ifndef FSUTIL_DIRCHAIN_H
#define FSUTIL_DIRCHAIN_H

#include <sys/stat.h>

#include <cstddef>

#include "base/Grow.h"
#include "base/Owned.h"
#include "engine/DirEntries.h"

namespace fsutil {

// Descriptors a chain holds at most at once, whatever the depth.
constexpr std::size_t kTreeMaxOpen = 48;

class DirChain {
   public:
    // A level's descriptor and how it is reached.
    struct Level {
        DirPtr stream;         // a stream reading it, which owns its descriptor
        UniqueFd own;          // or its own descriptor
        int fd = -1;           // the stream's or own's; the anchor's for a level borrowing it; -1 when closed
        CharsPtr name;         // under the level above; null for level 0
        bool viaLink = false;  // reached through a followed link: opened again without O_NOFOLLOW
        bool held = false;     // it had a descriptor when pushed: it may be opened again
    };

    // Asked before the bound closes level d (to read what it still holds, say);
    // false keeps it open, over the bound.
    class Closing {
       public:
        virtual bool closing(std::size_t d) = 0;

       protected:
        ~Closing() = default;
    };

    // anchor: level 0's directory, open as long as the chain (not owned here);
    // keepDeepest: how many of the deepest levels the bound never closes;
    // moved: the reason given when a level is not the directory it was.
    DirChain(int anchor, std::size_t keepDeepest, int moved, Closing* closing = nullptr)
        : anchor_(anchor), keepDeepest_(keepDeepest), moved_(moved), closing_(closing) {}
    DirChain(const DirChain&) = delete;
    DirChain& operator=(const DirChain&) = delete;

    std::size_t depth() const { return levels_.len; }  // the levels held
    Level& at(std::size_t d) { return levels_.data[d]; }
    const DirId* ids() const { return ids_.data; }  // ids()[d]: the directory of level d

    // Adds level depth(), the directory id, with its descriptor (or fd -1:
    // never opened, and never opened here); false when out of memory
    // (nothing added).
    bool push(Level level, const DirId& id);

    // Drops the deepest level. With climb, the level above it, where closed,
    // is opened first through its `..`, for a caller that goes on working in it.
    void pop(bool climb);

    // The descriptor of level d, opened again if it was closed; -1 and *why
    // (the `moved` reason, or errno) when it is not the directory it was,
    // or cannot be opened.
    int fd(std::size_t d, int* why);

   private:
    bool reopenFromChild(std::size_t d);
    void opened(Level& level, UniqueFd fd);
    void close(Level& level);
    void bound(std::size_t spare);  // spare: a level not closed (the one just opened)

    Grow<Level> levels_;
    Grow<DirId> ids_;
    std::size_t open_ = 0;  // levels whose descriptor is theirs and open
    const int anchor_;
    const std::size_t keepDeepest_;
    const int moved_;
    Closing* const closing_;
};

}  // namespace fsutil

#endif
