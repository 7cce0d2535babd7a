package com.orvan.mek.fsutil;

import java.nio.ByteBuffer;
import java.util.Arrays;

/**
 * The binary records the natives write and this package reads, defined here once for the Java
 * side: entry type codes, the listing batch (FolderIteratorNix), the walk batch (FileTree.walk),
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
    static final int LIST_HEADER = 3;
    /** Bytes per listing batch: a few hundred typical names, one native call. */
    static final int LIST_BATCH = 16384;

    // A walk record: kind (1 byte), depth (4 bytes, big-endian), name length (2 bytes, big-endian),
    // the name's bytes; then, for an entry of a walk with ATTRIBUTES, ATTRIBUTE_COUNT native-endian
    // longs in the order below; for a failure, the text's length (2 bytes) and bytes. A LEAVE record
    // (post-order walks only) carries no name: it reports the directory of its depth.
    static final int WALK_HEADER = 7;
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

    /** What the natives compare, in this order. */
    private static final int[] FORMAT = {FILE, DIRECTORY, SYMLINK, FIFO, FAILURE, LEAVE, WALK_HEADER, ATTRIBUTE_COUNT,
            WALK_BATCH};

    private static final FileTree.Type[] WALK_TYPES = new FileTree.Type[FIFO + 1];
    private static final FolderIteratorNix.EntryType[] LIST_TYPES = new FolderIteratorNix.EntryType[FIFO + 1];

    static {
        // Both enums list the types in code order.
        for (FileTree.Type t : FileTree.Type.values()) WALK_TYPES[FILE + t.ordinal()] = t;
        for (FolderIteratorNix.EntryType t : FolderIteratorNix.EntryType.values()) LIST_TYPES[FILE + t.ordinal()] = t;
        NativeDispatcher.checkFormat(FORMAT);
    }

    /** Loads this class: the format is checked before the first batch is read. */
    static void check() {}

    static int u16(byte[] b, int at) { return ((b[at] & 0xff) << 8) | (b[at + 1] & 0xff); }

    // ---- listing records

    static int listNameLength(byte[] b, int at) { return u16(b, at + 1); }

    /** The bytes of the listing record at `at`. */
    static int listLength(byte[] b, int at) { return LIST_HEADER + listNameLength(b, at); }

    static String listName(byte[] b, int at) { return NameCodec.decode(b, at + LIST_HEADER, listNameLength(b, at)); }

    static FolderIteratorNix.Entry listEntry(byte[] b, int at) {
        int len = listNameLength(b, at);
        int name = at + LIST_HEADER;
        return new FolderIteratorNix.Entry(NameCodec.decode(b, name, len), LIST_TYPES[b[at]],
                Arrays.copyOfRange(b, name, name + len));
    }

    // ---- walk records

    static int kind(byte[] b, int at) { return b[at]; }

    static int depth(byte[] b, int at) { return (u16(b, at + 1) << 16) | u16(b, at + 3); }

    static int nameLength(byte[] b, int at) { return u16(b, at + 5); }

    /** The bytes of an entry record whose name is nameLen bytes long. */
    static int entryLength(int nameLen, boolean attributes) {
        return WALK_HEADER + nameLen + (attributes ? 8 * ATTRIBUTE_COUNT : 0);
    }

    /** The bytes of a failure record whose name is nameLen bytes long. */
    static int failureLength(byte[] b, int at, int nameLen) {
        return WALK_HEADER + nameLen + 2 + u16(b, at + WALK_HEADER + nameLen);
    }

    /** The name of a walk record. */
    static String name(byte[] b, int at, int nameLen) { return NameCodec.decode(b, at + WALK_HEADER, nameLen); }

    /** The error text of a failure record. */
    static String failureText(byte[] b, int at, int nameLen) {
        int text = at + WALK_HEADER + nameLen;
        return NameCodec.text(b, text + 2, u16(b, text));
    }

    /** The entry record at `at` of b (v: b in native order); parent, depth and root as the reader knows them. */
    static FileTree.Entry walkEntry(byte[] b, ByteBuffer v, int at, boolean attributes, FileTree.Entry parent,
            int depth, NioPaths.Root root) {
        int len = nameLength(b, at);
        int name = at + WALK_HEADER;
        long[] attrs = null;
        if (attributes) {
            attrs = new long[ATTRIBUTE_COUNT];
            for (int i = 0; i < ATTRIBUTE_COUNT; i++) attrs[i] = v.getLong(name + len + 8 * i);
        }
        FileTree.Entry e = new FileTree.Entry(parent, NameCodec.decode(b, name, len),
                Arrays.copyOfRange(b, name, name + len), WALK_TYPES[b[at]], depth, attrs);
        e.root = root;
        return e;
    }
}
