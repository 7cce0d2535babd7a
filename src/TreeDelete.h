// Library-private: removing a whole tree through descriptors, on several
// threads, never outside it and never across a mount point. No JNI here.
#ifndef FSUTIL_TREEDELETE_H
#define FSUTIL_TREEDELETE_H

#include <cstddef>
#include <cstdint>

#include "TreeShares.h"

namespace fsutil {

class TreeDelete;

// The text of a failure where a directory below is on another file system.
constexpr char kDeleteMountPoint[] = "Mount point: not crossed";

// Starts removing `name` (a single component) of the directory open as
// parentFd (taken over), and everything below it when it is a directory (a
// link is removed itself), on up to `threads` threads. Null when out of memory.
TreeDelete* startDelete(int parentFd, const char* name, std::size_t threads);

// The next failure, waiting for one while the removal goes on; false at its end.
bool takeFailure(TreeDelete* job, TreeFailure* out);

// Stops what still runs, frees everything and returns the number of entries removed.
std::uint64_t finishDelete(TreeDelete* job);

}  // namespace fsutil

#endif
