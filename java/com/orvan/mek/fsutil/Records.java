package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.Arrays;

/**
 * The binary records the natives write and this package reads, defined here once for the Java
 * side: entry type codes, the listing batch, the walk batch,
 * with its attribute order, and their decoding. The natives compare their own definition with
 * {@link #FORMAT} when this class loads: a library and a jar that disagree fail at once with an
 * InternalError, never with wrong entries.
 */
final class Records {
    private Records() {}

    // Entry type codes, shared by both batches; the walk adds two record kinds.
    static final int FILE = 1;
    static final int DIRECTORY = 2;
    static final int SYMLINK = 3;
    static final int FIFO = 4;
    static final int FAILURE = 5;
    static final int LEAVE = 6;

    // A listing record: code (1 byte), name length (2 bytes, big-endian), the name's bytes.
    static final int LIST_NAME_LENGTH_AT = 1;
    static final int LIST_HEADER = 3;
    /** Bytes per listing batch: a few hundred typical names, one native call. */
    static final int LIST_BATCH = 16384;

    // A walk record: kind (1 byte), depth (4 bytes, big-endian), name length (2 bytes, big-endian),
    // the name's bytes; then, for an entry of a walk with ATTRIBUTES, ATTRIBUTE_COUNT native-endian
    // longs in the order below; for a failure, a failure (below). A LEAVE record (post-order walks
    // only) carries no name: it reports the directory of its depth.
    static final int WALK_DEPTH_AT = 1;
    static final int WALK_NAME_LENGTH_AT = 5;
    static final int WALK_HEADER = 7;
    // A failure, the same in walk and job records: its errno (4 bytes, big-endian; 0 where its context
    // has none), its context (1 byte, a CONTEXT_ value), the text's length (2 bytes, big-endian) and
    // bytes (at most MAX_TEXT).
    static final int FAILURE_ERRNO_AT = 0;
    static final int FAILURE_CONTEXT_AT = 4;
    static final int FAILURE_TEXT_LENGTH_AT = 5;
    static final int FAILURE_HEADER = 7;
    static final int MAX_TEXT = 255;
    static final int WALK_BATCH = 32768;
    static final int ATTRIBUTE_COUNT = 14;
    static final int DEV = 0;
    static final int INO = 1;
    static final int MODE = 2;
    static final int NLINK = 3;
    static final int UID = 4;
    static final int GID = 5;
    static final int SIZE = 6;
    static final int BLOCKS = 7;
    static final int ATIME = 8;   // seconds, then nanoseconds
    static final int MTIME = 10;
    static final int CTIME = 12;

    // What a failure happened in, beyond its errno.
    static final int CONTEXT_NONE = 0;
    /** A directory met again below itself: a followed link or a bind mount leads back up. */
    static final int CONTEXT_LOOP = 1;
    static final int CONTEXT_MOVED = 2;
    static final int CONTEXT_MOUNT_POINT = 3;
    static final int CONTEXT_TARGET_MOVED = 4;
    static final int CONTEXT_XATTR = 5;
    // The errno values Failures tells apart, checked against the library's errno.h.
    static final int EPERM = 1;
    static final int ENOENT = 2;
    static final int EACCES = 13;
    static final int ENOTDIR = 20;
    static final int ENOTEMPTY = 39;
    static final int EEXIST = 17;

    // What an input stream's read returns besides counts and -1 (the end).
    static final int READ_CLOSED = -2;
    static final int READ_INTERRUPTED = -3;

    // A job failure record: a failure (above), then the path's bytes to the record's end. The counts
    // done: entries, bytes. The sums of a usage job, in this order.
    static final int JOB_DONE_COUNT = 2;
    static final int USAGE_ENTRIES = 0;
    static final int USAGE_DIRECTORIES = 1;
    static final int USAGE_FILES = 2;
    static final int USAGE_BYTES = 3;
    static final int USAGE_BLOCKS = 4;
    static final int USAGE_COUNT = 5;
    // A sync's change: a job failure record of context CONTEXT_SYNC_CHANGE whose errno field is
    // kind * SYNC_TYPES + type, kind one of SYNC_CREATED..SYNC_REMOVED, type an entry type code
    // (FILE..FIFO, else none). Its counts: created, modified, attributes, removed, unchanged, bytes.
    static final int CONTEXT_SYNC_CHANGE = 6;
    static final int SYNC_TYPES = 8;
    static final int SYNC_CREATED = 0;
    static final int SYNC_MODIFIED = 1;
    static final int SYNC_ATTRIBUTES = 2;
    static final int SYNC_REMOVED = 3;
    static final int SYNC_COUNT = 6;

    // A watch record: kind (1 byte: WATCH_CREATED..WATCH_OVERFLOW in the order of the change kinds, or WATCH_FAILURE), type (1 byte: an entry
    // type code, 0 where unknown), errno (4 bytes, big-endian: a failure's), the path's length and the
    // second part's length (4 bytes each, big-endian), the path's bytes (relative to the root), then the
    // second part's: for MOVED the path it came from, for a failure its text. A read of a watch returns
    // the bytes filled, 0 for none, WATCH_ENDED once the watch has ended, or minus the size a record needs.
    static final int WATCH_CREATED = 1;
    static final int WATCH_OVERFLOW = 6;
    static final int WATCH_FAILURE = 7;
    static final int WATCH_TYPE_AT = 1;
    static final int WATCH_ERRNO_AT = 2;
    static final int WATCH_PATH_LENGTH_AT = 6;
    static final int WATCH_SECOND_LENGTH_AT = 10;
    static final int WATCH_HEADER = 14;
    static final int WATCH_ENDED = -1;

    /** What the natives compare with their own definition, field by field, in this order. */
    private static final int[] FORMAT = {FILE, DIRECTORY, SYMLINK, FIFO, FAILURE, LEAVE,
        LIST_NAME_LENGTH_AT, LIST_HEADER, LIST_BATCH,
        WALK_DEPTH_AT, WALK_NAME_LENGTH_AT, WALK_HEADER,
        FAILURE_ERRNO_AT, FAILURE_CONTEXT_AT, FAILURE_TEXT_LENGTH_AT, FAILURE_HEADER, MAX_TEXT, WALK_BATCH,
        ATTRIBUTE_COUNT, DEV, INO, MODE, NLINK, UID, GID, SIZE, BLOCKS, ATIME, MTIME, CTIME,
        CONTEXT_NONE, CONTEXT_LOOP, CONTEXT_MOVED, CONTEXT_MOUNT_POINT, CONTEXT_TARGET_MOVED, CONTEXT_XATTR,
        EPERM, ENOENT, EACCES, ENOTDIR, ENOTEMPTY, EEXIST,
        READ_CLOSED, READ_INTERRUPTED,
        JOB_DONE_COUNT, USAGE_ENTRIES, USAGE_DIRECTORIES, USAGE_FILES, USAGE_BYTES, USAGE_BLOCKS, USAGE_COUNT,
        CONTEXT_SYNC_CHANGE, SYNC_TYPES, SYNC_CREATED, SYNC_MODIFIED, SYNC_ATTRIBUTES, SYNC_REMOVED, SYNC_COUNT,
        WATCH_CREATED, WATCH_OVERFLOW, WATCH_FAILURE, WATCH_TYPE_AT, WATCH_ERRNO_AT, WATCH_PATH_LENGTH_AT,
        WATCH_SECOND_LENGTH_AT, WATCH_HEADER, WATCH_ENDED};

    static {
        NativeDispatcher.checkFormat(FORMAT);
    }

    /** Loads this class: the format is checked before the first batch is read. */
    static void check() {}

    static int u16(byte[] b, int at) { return ((b[at] & 0xff) << 8) | (b[at + 1] & 0xff); }

    static int s32(byte[] b, int at) { return (u16(b, at) << 16) | u16(b, at + 2); }

    // ---- listing records

    static int listNameLength(byte[] b, int at) { return u16(b, at + LIST_NAME_LENGTH_AT); }

    /** The bytes of the listing record at `at`. */
    static int listLength(byte[] b, int at) { return LIST_HEADER + listNameLength(b, at); }

    static String listName(byte[] b, int at) { return NameCodec.decode(b, at + LIST_HEADER, listNameLength(b, at)); }

    /** The type code of the listing record at `at`. */
    static int listType(byte[] b, int at) { return b[at]; }

    /** The name's bytes of the listing record at `at` (a copy). */
    static byte[] listNameBytes(byte[] b, int at) {
        return Arrays.copyOfRange(b, at + LIST_HEADER, at + LIST_HEADER + listNameLength(b, at));
    }

    // ---- walk records

    static int kind(byte[] b, int at) { return b[at]; }

    static int depth(byte[] b, int at) { return s32(b, at + WALK_DEPTH_AT); }

    static int nameLength(byte[] b, int at) { return u16(b, at + WALK_NAME_LENGTH_AT); }

    /** The bytes of an entry record whose name is nameLen bytes long. */
    static int entryLength(int nameLen, boolean attributes) {
        return WALK_HEADER + nameLen + (attributes ? 8 * ATTRIBUTE_COUNT : 0);
    }

    /** The bytes of a failure record whose name is nameLen bytes long. */
    static int failureLength(byte[] b, int at, int nameLen) {
        return WALK_HEADER + nameLen + FAILURE_HEADER + u16(b, at + WALK_HEADER + nameLen + FAILURE_TEXT_LENGTH_AT);
    }

    /** The failure of the walk failure record at `at` whose name is nameLen bytes long, on path. */
    static IOException walkFailure(byte[] b, int at, int nameLen, String path) {
        return failure(b, at + WALK_HEADER + nameLen, path);
    }

    /** The name of a walk record. */
    static String name(byte[] b, int at, int nameLen) { return NameCodec.decode(b, at + WALK_HEADER, nameLen); }

    /** The failure at `at` of b (in a walk or a job record) as the exception that fits, on path. */
    static IOException failure(byte[] b, int at, String path) {
        String text = NameCodec.text(b, at + FAILURE_HEADER, u16(b, at + FAILURE_TEXT_LENGTH_AT));
        return Failures.of(path, s32(b, at + FAILURE_ERRNO_AT), b[at + FAILURE_CONTEXT_AT], text);
    }

    /** The name's bytes of the walk record at `at` whose name is nameLen bytes long (a copy). */
    static byte[] nameBytes(byte[] b, int at, int nameLen) {
        return Arrays.copyOfRange(b, at + WALK_HEADER, at + WALK_HEADER + nameLen);
    }

    /** The attributes of the entry record at `at` of b (v: b in native order) whose name is nameLen bytes long. */
    static long[] attributes(ByteBuffer v, int at, int nameLen) {
        long[] attrs = new long[ATTRIBUTE_COUNT];
        for (int i = 0; i < ATTRIBUTE_COUNT; i++) attrs[i] = v.getLong(at + WALK_HEADER + nameLen + 8 * i);
        return attrs;
    }

    // ---- watch records

    static int watchPathLength(byte[] b, int at) { return s32(b, at + WATCH_PATH_LENGTH_AT); }

    static int watchSecondLength(byte[] b, int at) { return s32(b, at + WATCH_SECOND_LENGTH_AT); }

    /** The bytes of the watch record at `at`. */
    static int watchLength(byte[] b, int at) { return WATCH_HEADER + watchPathLength(b, at) + watchSecondLength(b, at); }

    /** The entry type code of a watch record; 0 where it is not known. */
    static int watchType(byte[] b, int at) { return b[at + WATCH_TYPE_AT]; }

    // ---- job failure records

    /** Where a job failure's path starts: after its failure. */
    private static int jobPathAt(byte[] f) { return FAILURE_HEADER + u16(f, FAILURE_TEXT_LENGTH_AT); }

    static String jobPath(byte[] f) { return NameCodec.decodePath(f, jobPathAt(f), f.length - jobPathAt(f)); }

    /** Whether a job record is a sync's change rather than a failure. */
    static boolean isChange(byte[] f) { return f[FAILURE_CONTEXT_AT] == CONTEXT_SYNC_CHANGE; }

    /** The kind of a sync's change record: SYNC_CREATED..SYNC_REMOVED. */
    static int changeKind(byte[] f) { return s32(f, FAILURE_ERRNO_AT) / SYNC_TYPES; }

    /** The entry type code of a sync's change record: FILE..FIFO, else none. */
    static int changeType(byte[] f) { return s32(f, FAILURE_ERRNO_AT) % SYNC_TYPES; }

    /** The path's bytes of a sync's change record, below the target (a copy). */
    static byte[] changePath(byte[] f) { return Arrays.copyOfRange(f, jobPathAt(f), f.length); }
}
