// The binary records the natives hand to Java, defined once on this side: the
// listing batch, the walk batch (field offsets, attribute order), the read
// codes of input streams, job failure records, usage sums and watch records. The
// jar's constants are generated from kFields at build time; checkFormat compares
// both when the jar loads, so that a jar and a library of different builds fail at once.
#ifndef FSUTIL_RECORDFORMAT_H
#define FSUTIL_RECORDFORMAT_H

#include <jni.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "engine/DirEntries.h"
#include "base/Reasons.h"
#include "engine/TreeSync.h"
#include "engine/TreeWalk.h"
#include "engine/TreeWatch.h"

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
// kAttrCount native-endian int64 in Attr order; for a failure, a failure
// (below). A leave record has no name: it reports the directory of its depth.
constexpr std::size_t kWalkDepthAt = 1;
constexpr std::size_t kWalkNameLengthAt = 5;
constexpr std::size_t kWalkHeader = 7;

// A failure, the same in a walk record and a job record: its errno (4 bytes,
// big-endian; 0 where its context has none), its context (1 byte, a Context
// of Reasons.h), the text's length (2 bytes, big-endian) and bytes (at most
// kMaxText): the context's text and the system's for the errno.
constexpr std::size_t kFailureErrnoAt = 0;
constexpr std::size_t kFailureContextAt = 4;
constexpr std::size_t kFailureTextLengthAt = 5;
constexpr std::size_t kFailureHeader = 7;
constexpr std::size_t kMaxText = 255;
// Bytes per batch, on the stack: several hundred entries for one JNI crossing.
constexpr std::size_t kWalkBatch = 32768;
enum Attr : std::size_t {
    kDev, kIno, kMode, kNlink, kUid, kGid, kSize, kBlocks,
    kAtimeSec, kAtimeNsec, kMtimeSec, kMtimeNsec, kCtimeSec, kCtimeNsec, kAttrCount
};
// What an input stream's read returns besides counts and -1 (the end).
constexpr jint kReadClosed = -2;
constexpr jint kReadInterrupted = -3;

// A job failure record: a failure (above), then the path's bytes to the
// record's end. The counts done: entries, bytes.
constexpr std::size_t kJobDoneCount = 2;
// A sync's change travels as a job failure record of context syncChange
// whose errno field holds kind * SYNC_TYPES + type (TreeSync.h). A sync's
// counts, in this order.
enum SyncCount : std::size_t {
    kSyncCreated, kSyncModified, kSyncAttributes, kSyncRemoved, kSyncUnchanged, kSyncBytes, kSyncCount
};
// What a sync is asked to do: flags, or-ed.
enum SyncFlag : jint {
    kSyncSameFileSystem = 1, kSyncDryRun = 2, kSyncKeepExtras = 4, kSyncDurable = 8, kSyncReportChanges = 16
};
// The sums of a usage job, in this order.
enum Usage : std::size_t { kUsageEntries, kUsageDirectories, kUsageFiles, kUsageBytes, kUsageBlocks, kUsageCount };

// A watch record: kind (1 byte: a ChangeKind, or kWatchFailure), type (1
// byte: an entry type, 0 where unknown; a failure's context), errno (4 bytes, big-endian: a
// failure's, 0 for a change), the path's length and the second part's length
// (4 bytes each, big-endian), the path's bytes (relative to the root), then
// the second part's: for MOVED the path it came from, for a failure its text.
constexpr std::size_t kWatchTypeAt = 1;
constexpr std::size_t kWatchErrnoAt = 2;
constexpr std::size_t kWatchPathLengthAt = 6;
constexpr std::size_t kWatchSecondLengthAt = 10;
constexpr std::size_t kWatchHeader = 14;
constexpr unsigned char kWatchFailure = 7;
// What a watch's read returns once the watch has ended (its root gone).
constexpr jint kWatchEnded = -1;

struct Field {
    const char* name;
    jint value;
};

// The constants the jar shares, by their Java names, in the order checkFormat compares them.
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
    {"FAILURE_ERRNO_AT", kFailureErrnoAt},
    {"FAILURE_CONTEXT_AT", kFailureContextAt},
    {"FAILURE_TEXT_LENGTH_AT", kFailureTextLengthAt},
    {"FAILURE_HEADER", kFailureHeader},
    {"MAX_TEXT", kMaxText},
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
    {"CONTEXT_NONE", static_cast<jint>(Context::none)},
    {"CONTEXT_LOOP", static_cast<jint>(Context::loop)},
    {"CONTEXT_MOVED", static_cast<jint>(Context::moved)},
    {"CONTEXT_MOUNT_POINT", static_cast<jint>(Context::mountPoint)},
    {"CONTEXT_TARGET_MOVED", static_cast<jint>(Context::targetMoved)},
    {"CONTEXT_XATTR", static_cast<jint>(Context::xattr)},
    {"EPERM", EPERM},
    {"ENOENT", ENOENT},
    {"EACCES", EACCES},
    {"ENOTDIR", ENOTDIR},
    {"ENOTEMPTY", ENOTEMPTY},
    {"EEXIST", EEXIST},
    {"READ_CLOSED", kReadClosed},
    {"READ_INTERRUPTED", kReadInterrupted},
    {"JOB_DONE_COUNT", kJobDoneCount},
    {"USAGE_ENTRIES", kUsageEntries},
    {"USAGE_DIRECTORIES", kUsageDirectories},
    {"USAGE_FILES", kUsageFiles},
    {"USAGE_BYTES", kUsageBytes},
    {"USAGE_BLOCKS", kUsageBlocks},
    {"USAGE_COUNT", kUsageCount},
    {"CONTEXT_SYNC_CHANGE", static_cast<jint>(Context::syncChange)},
    {"SYNC_TYPES", kSyncTypes},
    {"SYNC_CREATED", static_cast<jint>(SyncKind::created)},
    {"SYNC_MODIFIED", static_cast<jint>(SyncKind::modified)},
    {"SYNC_ATTRIBUTES", static_cast<jint>(SyncKind::attributes)},
    {"SYNC_REMOVED", static_cast<jint>(SyncKind::removed)},
    {"SYNC_COUNT", kSyncCount},
    {"SYNC_FLAG_SAME_FILE_SYSTEM", kSyncSameFileSystem},
    {"SYNC_FLAG_DRY_RUN", kSyncDryRun},
    {"SYNC_FLAG_KEEP_EXTRAS", kSyncKeepExtras},
    {"SYNC_FLAG_DURABLE", kSyncDurable},
    {"SYNC_FLAG_REPORT_CHANGES", kSyncReportChanges},
    {"WATCH_CREATED", static_cast<jint>(ChangeKind::created)},
    {"WATCH_OVERFLOW", static_cast<jint>(ChangeKind::overflow)},
    {"WATCH_FAILURE", kWatchFailure},
    {"WATCH_TYPE_AT", kWatchTypeAt},
    {"WATCH_ERRNO_AT", kWatchErrnoAt},
    {"WATCH_PATH_LENGTH_AT", kWatchPathLengthAt},
    {"WATCH_SECOND_LENGTH_AT", kWatchSecondLengthAt},
    {"WATCH_HEADER", kWatchHeader},
    {"WATCH_ENDED", kWatchEnded},
};

// Writes the failure of an engine code (an errno, or a context with its
// errno) at out, which has room for kFailureHeader + kMaxText bytes; its length.
inline std::size_t putFailure(unsigned char* out, int code) {
    const auto err = static_cast<unsigned int>(errnoOf(code));
    out[kFailureErrnoAt] = static_cast<unsigned char>(err >> 24);
    out[kFailureErrnoAt + 1] = static_cast<unsigned char>(err >> 16);
    out[kFailureErrnoAt + 2] = static_cast<unsigned char>(err >> 8);
    out[kFailureErrnoAt + 3] = static_cast<unsigned char>(err);
    out[kFailureContextAt] = static_cast<unsigned char>(contextOf(code));
    char text[kMaxText + 1];
    const std::size_t len = failureText(code, text, sizeof text);
    out[kFailureTextLengthAt] = static_cast<unsigned char>(len >> 8);
    out[kFailureTextLengthAt + 1] = static_cast<unsigned char>(len);
    // Records carry lengths, not terminators.
    std::memcpy(out + kFailureHeader, text, len);  // NOLINT(bugprone-not-null-terminated-result)
    return kFailureHeader + len;
}

}  // namespace format
}  // namespace fsutil

#endif
