// The binary records the natives hand to Java, defined once on this side: the
// listing batch, the walk batch (field offsets, attribute order), the read
// codes of input streams, job failure records and usage sums. The jar's
// Records describes the same; checkFormat compares both when it loads.
#ifndef FSUTIL_RECORDFORMAT_H
#define FSUTIL_RECORDFORMAT_H

#include <jni.h>

#include <cerrno>
#include <cstddef>

#include "engine/DirEntries.h"
#include "base/Reasons.h"
#include "engine/TreeSync.h"
#include "engine/TreeWalk.h"

namespace fsutil {
namespace format {

// Walk record kinds beyond the entry types of DirEntries.h.
constexpr unsigned char kFailure = 5;
constexpr unsigned char kLeave = 6;

// A listing record: type (1 byte), name length (2 bytes, big-endian), the name's bytes.
constexpr std::size_t kListNameLengthAt = 1;
constexpr std::size_t kListHeader = 3;
constexpr std::size_t kListBatch = 16384;

// A walk record: kind (1 byte), depth (4 bytes, big-endian), name length (2
// bytes, big-endian), the name's bytes; then for an entry with attributes,
// kAttrCount native-endian int64 in Attr order; for a failure, its errno (4
// bytes, big-endian, signed: kLoopErrno for a loop, 0 for a reason that has
// none), the text's length (2 bytes, big-endian) and bytes (at most kMaxText).
// A leave record has no name: it reports the directory of its depth.
constexpr std::size_t kWalkDepthAt = 1;
constexpr std::size_t kWalkNameLengthAt = 5;
constexpr std::size_t kWalkHeader = 7;
constexpr std::size_t kErrnoBytes = 4;
constexpr std::size_t kMaxText = 255;
// Bytes per batch, on the stack: several hundred entries for one JNI crossing.
constexpr std::size_t kWalkBatch = 32768;
enum Attr : std::size_t {
    kDev, kIno, kMode, kNlink, kUid, kGid, kSize, kBlocks,
    kAtimeSec, kAtimeNsec, kMtimeSec, kMtimeNsec, kCtimeSec, kCtimeNsec, kAttrCount
};
// The errno a failure carries when a followed link leads back into the path.
constexpr jint kLoopErrno = -1;

// What an input stream's read returns besides counts and -1 (the end).
constexpr jint kReadClosed = -2;
constexpr jint kReadInterrupted = -3;

// A job failure record: its errno (4 bytes, big-endian, as above), the path's
// bytes, a NUL, the text's bytes. The counts done: entries, bytes.
constexpr std::size_t kJobDoneCount = 2;
// A sync's change travels as a failure record whose errno is
// SYNC_CHANGE - (kind * SYNC_TYPES + type) (TreeSync.h). Its counts, in this order.
enum SyncCount : std::size_t {
    kSyncCreated, kSyncModified, kSyncAttributes, kSyncRemoved, kSyncUnchanged, kSyncBytes, kSyncCount
};
// The sums of a usage job, in this order.
enum Usage : std::size_t { kUsageEntries, kUsageDirectories, kUsageFiles, kUsageBytes, kUsageBlocks, kUsageCount };

struct Field {
    const char* name;
    jint value;
};

// What checkFormat compares, in the order of the jar's Records.FORMAT.
constexpr Field kFields[] = {
    {"FILE", static_cast<jint>(EntryType::file)},
    {"DIRECTORY", static_cast<jint>(EntryType::directory)},
    {"SYMLINK", static_cast<jint>(EntryType::symlink)},
    {"FIFO", static_cast<jint>(EntryType::fifo)},
    {"FAILURE", kFailure},
    {"LEAVE", kLeave},
    {"LIST_NAME_LENGTH_AT", kListNameLengthAt},
    {"LIST_HEADER", kListHeader},
    {"LIST_BATCH", kListBatch},
    {"WALK_DEPTH_AT", kWalkDepthAt},
    {"WALK_NAME_LENGTH_AT", kWalkNameLengthAt},
    {"WALK_HEADER", kWalkHeader},
    {"ERRNO_BYTES", kErrnoBytes},
    {"WALK_BATCH", kWalkBatch},
    {"ATTRIBUTE_COUNT", kAttrCount},
    {"DEV", kDev},
    {"INO", kIno},
    {"MODE", kMode},
    {"NLINK", kNlink},
    {"UID", kUid},
    {"GID", kGid},
    {"SIZE", kSize},
    {"BLOCKS", kBlocks},
    {"ATIME", kAtimeSec},
    {"MTIME", kMtimeSec},
    {"CTIME", kCtimeSec},
    {"LOOP_ERRNO", kLoopErrno},
    {"EPERM", EPERM},
    {"ENOENT", ENOENT},
    {"EACCES", EACCES},
    {"ENOTDIR", ENOTDIR},
    {"ENOTEMPTY", ENOTEMPTY},
    {"READ_CLOSED", kReadClosed},
    {"READ_INTERRUPTED", kReadInterrupted},
    {"JOB_DONE_COUNT", kJobDoneCount},
    {"USAGE_ENTRIES", kUsageEntries},
    {"USAGE_DIRECTORIES", kUsageDirectories},
    {"USAGE_FILES", kUsageFiles},
    {"USAGE_BYTES", kUsageBytes},
    {"USAGE_BLOCKS", kUsageBlocks},
    {"USAGE_COUNT", kUsageCount},
    {"SYNC_CHANGE", kSyncChangeBase},
    {"SYNC_TYPES", kSyncTypes},
    {"SYNC_CREATED", static_cast<jint>(SyncKind::created)},
    {"SYNC_MODIFIED", static_cast<jint>(SyncKind::modified)},
    {"SYNC_ATTRIBUTES", static_cast<jint>(SyncKind::attributes)},
    {"SYNC_REMOVED", static_cast<jint>(SyncKind::removed)},
    {"SYNC_COUNT", kSyncCount},
};

// The errno a failure record carries for a reason of the engine: an errno
// itself, kLoopErrno for a loop, 0 for the other reasons of its own.
inline jint recordErrno(int reason) {
    if (reason == kReasonLoop) return kLoopErrno;
    if (isSyncChange(reason)) return reason;
    return reason > 0 ? reason : 0;
}

// Writes v as 4 bytes, big-endian.
inline void putErrno(unsigned char* out, jint v) {
    const auto u = static_cast<unsigned int>(v);
    out[0] = static_cast<unsigned char>(u >> 24);
    out[1] = static_cast<unsigned char>(u >> 16);
    out[2] = static_cast<unsigned char>(u >> 8);
    out[3] = static_cast<unsigned char>(u);
}

}  // namespace format
}  // namespace fsutil

#endif
