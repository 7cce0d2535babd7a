// Library-private: the copy job: a whole tree copied exactly (what cp -a
// keeps) through descriptors on both sides, on several threads, never
// creating anything outside the target. No JNI here.
#ifndef FSUTIL_TREECOPY_H
#define FSUTIL_TREECOPY_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/TreeShares.h"

namespace fsutil {

// Starts copying `srcName` of the directory open as srcParentFd to the new
// entry `dstName` of the directory open as dstParentFd, and everything below
// it when it is a directory, on up to `threads` threads; sameFileSystem: a
// directory on another device is created with its attributes but not
// entered (cp -x). Failures come from takeFailure, with their paths relative
// to the source. Null when out of memory.
std::unique_ptr<TreeShares> startCopy(UniqueFd srcParentFd, const char* srcName, UniqueFd dstParentFd,
                                      const char* dstName, bool sameFileSystem, std::size_t threads);

// Stops what still runs of a job of startCopy, frees it and returns the
// number of entries created (0 for a job of another kind).
std::uint64_t finishCopy(std::unique_ptr<TreeShares> job);

}  // namespace fsutil

#endif
