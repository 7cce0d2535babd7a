package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.Arrays;

/**
 * The binary records the natives write and this package reads: their decoding. Their constants
 * (entry type codes, offsets, batch sizes, attribute order, failure contexts) come from
 * {@link RecordFormat}, generated at build time from the library's own definition; the natives
 * compare that definition with the jar's when this class loads: a library and a jar of different
 * builds fail at once with an InternalError, never with wrong entries.
 */
final class Records implements RecordFormat {
    private Records() {}

    static {
        NativeDispatcher.checkFormat(RecordFormat.format());
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
