// Library-private: making an existing tree equal to another (what a copy of
// it would make), touching only what differs, on several threads, never
// outside the target. No JNI here.
#ifndef FSUTIL_TREESYNC_H
#define FSUTIL_TREESYNC_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/Reasons.h"
#include "engine/TreeShares.h"

namespace fsutil {

// What a sync did to an entry of the target.
enum class SyncKind : int { created = 0, modified = 1, attributes = 2, removed = 3 };

// A change travels with the job's failures, as a code of its own context:
// the kind and the entry's type (EntryType) in the errno's place.
constexpr int kSyncTypes = 8;
inline int syncChangeCode(SyncKind kind, EntryType type) {
    return fault(Context::syncChange, static_cast<int>(kind) * kSyncTypes + static_cast<int>(type));
}
inline bool isSyncChange(int code) { return contextOf(code) == Context::syncChange; }

// How a sync runs.
struct SyncOptions {
    bool sameFileSystem = false;  // a source directory on another device: made, not entered (cp -x)
    bool dryRun = false;          // changes reported, none made
    bool keepExtras = false;      // what the source lacks stays in the target
    bool durable = false;         // each new file synced before its rename, each changed directory after
    bool reportChanges = false;   // each change also goes out with the failures
    bool namedTemporaries = false; // new contents made under a temporary name, as where O_TMPFILE is refused (for tests)
};

// What a sync counted, by kind of change, and the file data it wrote.
struct SyncCounts {
    std::uint64_t created = 0;
    std::uint64_t modified = 0;
    std::uint64_t attributes = 0;
    std::uint64_t removed = 0;
    std::uint64_t unchanged = 0;
    std::uint64_t bytes = 0;
};

// The prefix of the temporary names a sync gives new contents before they
// replace an entry, where a nameless file cannot be made; one left behind
// by a killed run is removed by the next.
constexpr char kSyncTempPrefix[] = ".fsutil-sync.";

// Starts making `dstName` of the directory open as dstParentFd equal to
// `srcName` of srcParentFd (creating it when missing, unless a dry run),
// on up to `threads` threads; failures and changes come from takeFailure,
// with their paths relative to the roots. The caller has checked that
// neither lies inside the other. Null when out of memory.
std::unique_ptr<TreeShares> startSync(UniqueFd srcParentFd, const char* srcName, UniqueFd dstParentFd,
                                      const char* dstName, const SyncOptions& options, std::size_t threads);

// Stops what still runs of a job of startSync, frees it and returns its
// counts (zeros for a job of another kind).
SyncCounts finishSync(std::unique_ptr<TreeShares> job);

}  // namespace fsutil

#endif
