// Library-private: removing a whole tree through descriptors, on several
// threads, never outside it and never across a mount point. No JNI here.
#ifndef FSUTIL_TREEDELETE_H
#define FSUTIL_TREEDELETE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/TreeShares.h"

namespace fsutil {

// Starts removing `name` (a single component) of the directory open as
// parentFd, and everything below it when it is a directory (a link is
// removed itself), on up to `threads` threads; its failures come from
// takeFailure. Null when out of memory.
std::unique_ptr<TreeShares> startDelete(UniqueFd parentFd, const char* name, std::size_t threads);

// Stops what still runs of a job of startDelete, frees it and returns the
// number of entries removed (0 for a job of another kind).
std::uint64_t finishDelete(std::unique_ptr<TreeShares> job);

}  // namespace fsutil

#endif
