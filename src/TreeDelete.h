// Library-private: removing a whole tree through descriptors, on several
// threads, never outside it and never across a mount point. It consumes the
// walk engine's events. No JNI here.
#ifndef FSUTIL_TREEDELETE_H
#define FSUTIL_TREEDELETE_H

#include <cstddef>
#include <cstdint>

namespace fsutil {

struct TreeDelete;

// What could not be removed: its path relative to the tree's top ("" for the
// top itself), malloc'd and owned by the taker, and the reason.
struct DeleteFailure {
    char* path;
    const char* text;
};

// The text of a failure where a directory below is on another file system.
constexpr char kDeleteMountPoint[] = "Mount point: not crossed";

// Starts removing `name` (a single component) of the directory open as
// parentFd (taken over), and everything below it when it is a directory (a
// link is removed itself), on up to `threads` threads. Null when out of memory
// (parentFd closed then).
TreeDelete* startDelete(int parentFd, const char* name, std::size_t threads);

// The next failure into *out, waiting for one while the work goes on; false
// once everything is done and every failure was taken.
bool takeFailure(TreeDelete* job, DeleteFailure* out);

// Stops what is still running, waits for its threads, frees everything and
// returns the number of entries removed.
std::uint64_t finishDelete(TreeDelete* job);

}  // namespace fsutil

#endif
