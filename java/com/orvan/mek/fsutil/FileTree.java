package com.orvan.mek.fsutil;

import java.io.IOException;
import java.io.InputStream;
import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.Charset;
import java.nio.file.attribute.FileTime;
import java.util.Arrays;
import java.util.Iterator;
import java.util.NoSuchElementException;
import java.util.Objects;
import java.util.Spliterator;
import java.util.Spliterators;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;
import java.util.stream.Stream;
import java.util.stream.StreamSupport;

/**
 * A whole tree, walked depth-first in pre-order through open directory descriptors: every entry
 * below the root that {@link FolderIteratorNix} would report (no ".", "..", devices or sockets),
 * symbolic links never followed, at any depth and whatever the bytes of the names. Each entry's
 * {@link Entry#path()} is relative to the root, and {@code root + "/" + path} reaches that very
 * entry again when given to this library (for example to {@link #newInputStream(String)}).
 *
 * <p>A directory that cannot be opened or read does not end the walk: it goes to the error
 * handler with its path and the system's error text, and the walk goes on.
 */
public final class FileTree {
    static {
        NativeLoader.load();
    }

    private FileTree() {}

    /** The type of an entry, as {@code lstat} sees it (a link is not followed). */
    public enum Type { FILE, DIRECTORY, SYMLINK, FIFO }

    /** Options of {@link #walk}. */
    public enum Option {
        /** Each entry carries its {@code lstat} record (one {@code fstatat} on the open directory). */
        ATTRIBUTES,
        /** Directories on another device than the root's are reported but not entered, like {@code find -xdev}. */
        SAME_FILE_SYSTEM
    }

    /**
     * The handler used when none is given: one {@link System.Logger} warning per failure, on the
     * logger named {@code com.orvan.mek.fsutil.FileTree}.
     */
    public static final BiConsumer<String, String> LOG_FAILURES = (path, error) ->
            System.getLogger(FileTree.class.getName()).log(System.Logger.Level.WARNING, "{0}: {1}", path, error);

    private static final Cleaner CLEANER = Cleaner.create();
    private static final Type[] TYPES = {null, Type.FILE, Type.DIRECTORY, Type.SYMLINK, Type.FIFO};
    private static final int FAILURE = 5;
    private static final int BATCH_BYTES = 32768;
    private static final int ATTRIBUTE_COUNT = 14;

    /** An entry of the tree. */
    public static final class Entry {
        private final Entry parent;
        private final String name;
        private final byte[] nameBytes;
        private final Type type;
        private final int depth;
        private final long[] attributes;
        private String path;

        Entry(Entry parent, String name, byte[] nameBytes, Type type, int depth, long[] attributes) {
            this.parent = parent;
            this.name = name;
            this.nameBytes = nameBytes;
            this.type = type;
            this.depth = depth;
            this.attributes = attributes;
        }

        /** The path below the root, its names joined with "/". */
        public String path() {
            if (path == null) path = parent == null ? name : parent.path() + "/" + name;
            return path;
        }

        /** The last name of the path, read as {@link FolderIteratorNix} reads names. */
        public String name() { return name; }

        public Type type() { return type; }

        /** 1 for the root's own entries. */
        public int depth() { return depth; }

        /** Whether the walk ran with {@link Option#ATTRIBUTES}; the getters below need it. */
        public boolean hasAttributes() { return attributes != null; }

        public long device() { return attribute(0); }

        public long inode() { return attribute(1); }

        /** {@code st_mode}: the file type and permission bits. */
        public int mode() { return (int) attribute(2); }

        public long links() { return attribute(3); }

        public int uid() { return (int) attribute(4); }

        public int gid() { return (int) attribute(5); }

        /** Bytes; for a link, the length of its target. */
        public long size() { return attribute(6); }

        /** 512-byte blocks allocated. */
        public long blocks() { return attribute(7); }

        public FileTime lastAccessTime() { return time(8); }

        public FileTime lastModifiedTime() { return time(10); }

        /** The time of the last status change ({@code st_ctime}). */
        public FileTime lastChangeTime() { return time(12); }

        /** The name's bytes as the directory gave them (a copy). */
        public byte[] nameBytes() { return nameBytes.clone(); }

        private long attribute(int i) {
            if (attributes == null) throw new IllegalStateException("walked without Option.ATTRIBUTES");
            return attributes[i];
        }

        private FileTime time(int i) {
            return FileTime.from(attribute(i) * 1_000_000_000L + attribute(i + 1), TimeUnit.NANOSECONDS);
        }

        @Override
        public String toString() { return type + " " + path(); }
    }

    /** {@link #walk(String, BiConsumer, Option...)} with {@link #LOG_FAILURES}. */
    public static Stream<Entry> walk(String root, Option... options) throws IOException {
        return walk(root, LOG_FAILURES, options);
    }

    /**
     * A lazy stream of the entries below {@code root}; close it (try-with-resources) to release
     * the open directories, also when stopping early. The root itself is opened as named (a link
     * there is followed, like {@code find -H}); nothing below it is followed.
     *
     * @param onError gets the path (relative to the root; "" for the root) and the system's error
     *     text of each directory that cannot be opened or read, on the thread consuming the
     *     stream; what it throws ends the walk
     * @throws java.io.FileNotFoundException when the root does not exist
     * @throws IOException when the root cannot be opened as a directory
     */
    public static Stream<Entry> walk(String root, BiConsumer<String, String> onError, Option... options)
            throws IOException {
        Objects.requireNonNull(onError, "onError");
        int flags = 0;
        for (Option o : options) flags |= 1 << o.ordinal();  // the natives' bits, in declaration order
        Walker walker = new Walker(openTree(root, flags), (flags & 1) != 0, onError);
        return StreamSupport.stream(Spliterators.spliteratorUnknownSize(walker,
                Spliterator.NONNULL | Spliterator.ORDERED), false).onClose(walker::close);
    }

    /**
     * Opens a file for reading, by any path this library reports. Opening never waits: a FIFO
     * without a writer reads as empty. Reads block as on any stream.
     *
     * @throws java.io.FileNotFoundException when the file does not exist
     * @throws IOException when it cannot be opened or is a directory
     */
    public static InputStream newInputStream(String path) throws IOException {
        return new FdInputStream(openRead(path));
    }

    /** Holds a native resource for a Cleaner, which must not see its user. */
    private static final class Resource implements Runnable {
        private final boolean tree;
        private long value;

        Resource(long value, boolean tree) {
            this.value = value;
            this.tree = tree;
        }

        synchronized long get() { return value; }

        @Override
        public synchronized void run() {
            if (value != -1) {
                if (tree) closeTree(value); else closeFd((int) value);
                value = -1;
            }
        }
    }

    private static final class Walker implements Iterator<Entry> {
        private final Resource tree;
        private final Cleaner.Cleanable cleanable;
        private final boolean attributes;
        private final BiConsumer<String, String> onError;
        private final byte[] batch = new byte[BATCH_BYTES];
        private final ByteBuffer view = ByteBuffer.wrap(batch).order(ByteOrder.nativeOrder());
        private Entry[] dirs = new Entry[16];  // dirs[d]: the directory at depth d being walked
        private int pos;
        private int end;
        private Entry next;

        Walker(long handle, boolean attributes, BiConsumer<String, String> onError) {
            this.tree = new Resource(handle, true);
            this.cleanable = CLEANER.register(this, tree);
            this.attributes = attributes;
            this.onError = onError;
        }

        @Override
        public boolean hasNext() {
            while (next == null) {
                if (pos == end && !fill()) return false;
                next = parse();
            }
            return true;
        }

        @Override
        public Entry next() {
            if (!hasNext()) throw new NoSuchElementException();
            Entry e = next;
            next = null;
            return e;
        }

        void close() {
            cleanable.clean();
            pos = 0;
            end = 0;
        }

        private boolean fill() {
            long h = tree.get();
            if (h == -1) return false;
            try {
                pos = 0;
                end = readTree(h, batch);
                if (end > 0) return true;
                close();
                return false;
            } finally {
                Reference.reachabilityFence(this);
            }
        }

        private int u16(int at) { return ((batch[at] & 0xff) << 8) | (batch[at + 1] & 0xff); }

        /** The record at pos as an entry; null for a failure, which goes to the handler. */
        private Entry parse() {
            int kind = batch[pos];
            int depth = (u16(pos + 1) << 16) | u16(pos + 3);
            int len = u16(pos + 5);
            int at = pos + 7;
            String name = FolderIteratorNix.decode(batch, at, len);
            Entry parent = depth > 1 ? dirs[depth - 1] : null;
            if (kind == FAILURE) {
                int textLen = u16(at + len);
                pos = at + len + 2 + textLen;
                String text = new String(batch, at + len + 2, textLen, Charset.defaultCharset());
                onError.accept(depth == 0 ? "" : parent == null ? name : parent.path() + "/" + name, text);
                return null;
            }
            long[] attrs = null;
            pos = at + len;
            if (attributes) {
                attrs = new long[ATTRIBUTE_COUNT];
                for (int i = 0; i < ATTRIBUTE_COUNT; i++) attrs[i] = view.getLong(pos + 8 * i);
                pos += 8 * ATTRIBUTE_COUNT;
            }
            Entry e = new Entry(parent, name, Arrays.copyOfRange(batch, at, at + len), TYPES[kind], depth, attrs);
            if (e.type == Type.DIRECTORY) {
                if (depth >= dirs.length) dirs = Arrays.copyOf(dirs, depth * 2);
                dirs[depth] = e;
            }
            return e;
        }
    }

    private static final class FdInputStream extends InputStream {
        private final Resource fd;
        private final Cleaner.Cleanable cleanable;

        FdInputStream(int fd) {
            this.fd = new Resource(fd, false);
            this.cleanable = CLEANER.register(this, this.fd);
        }

        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return read(one, 0, 1) == 1 ? one[0] & 0xff : -1;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            Objects.checkFromIndexSize(off, len, b.length);
            if (len == 0) return 0;
            long f = fd.get();
            if (f == -1) throw new IOException("Stream closed");
            try {
                return FileTree.read((int) f, b, off, len);
            } finally {
                Reference.reachabilityFence(this);
            }
        }

        @Override
        public void close() { cleanable.clean(); }
    }

    private static native long openTree(String root, int flags) throws IOException;

    private static native int readTree(long handle, byte[] batch);

    private static native void closeTree(long handle);

    private static native int openRead(String path) throws IOException;

    private static native int read(int fd, byte[] b, int off, int len) throws IOException;

    private static native void closeFd(int fd);
}
