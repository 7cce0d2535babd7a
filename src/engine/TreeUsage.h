// Library-private: the disk usage of a whole tree, summed on several threads
// as du(1) sums it. No JNI here.
#ifndef FSUTIL_TREEUSAGE_H
#define FSUTIL_TREEUSAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/TreeShares.h"

namespace fsutil {

struct UsageSums {
    std::uint64_t entries = 0;      // every inode once, the top included
    std::uint64_t directories = 0;
    std::uint64_t files = 0;        // regular files
    std::uint64_t bytes = 0;        // apparent sizes (st_size)
    std::uint64_t blocks = 0;       // 512-byte blocks allocated (st_blocks)
};

// Starts summing `name` of the directory open as parentFd and all below it
// on up to `threads` threads; sameFileSystem: nothing on another device is
// counted or entered (du -x); its failures come from takeFailure. Null when
// out of memory.
std::unique_ptr<TreeShares> startUsage(UniqueFd parentFd, const char* name, bool sameFileSystem, std::size_t threads);

// Stops what still runs of a job of startUsage, frees it and returns the
// sums (none for a job of another kind).
UsageSums finishUsage(std::unique_ptr<TreeShares> job);

}  // namespace fsutil

#endif
