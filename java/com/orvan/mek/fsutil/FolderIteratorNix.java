package com.orvan.mek.fsutil;

import java.io.IOException;
import java.lang.ref.Reference;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Iterator;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.Spliterator;
import java.util.Spliterators;
import java.util.function.Consumer;
import java.util.stream.Stream;
import java.util.stream.StreamSupport;

/**
 * Lists the entries of one directory in {@code readdir} order, one at a time. "." and "..",
 * device nodes, sockets and entries that vanish during the walk are left out; regular files,
 * directories, symbolic links (also dangling ones) and FIFOs are reported. A name whose bytes
 * are not valid in the platform charset is reported as its ISO-8859-1 reading, so that
 * {@code dir + "/" + name} names that very file again when passed back to this library: every
 * path given to it is resolved one component at a time (the platform-charset form of a
 * component when such an entry exists, else its ISO-8859-1 form when that exists).
 *
 * <p>{@link #next()} gives names; {@link #nextEntry()} gives the name with the entry's type,
 * which the walk learns anyway. Names are read from the directory in batches, one native call
 * per batch. Use with try-with-resources. A walk dropped without {@link #close()} is closed by
 * a {@link java.lang.ref.Cleaner} once the iterator is unreachable. {@link #close()} may be
 * called from any thread at any time. An instance is not meant to be shared, but threads that
 * share one get each name once.
 */
public final class FolderIteratorNix implements Iterator<String>, AutoCloseable {
    static {
        NativeLoader.load();
        Records.check();  // the natives write what this class reads, or nothing runs
    }

    /** The type of a reported entry, as {@code lstat} sees it (links are not followed). */
    public enum EntryType {
        /** A regular file. */
        FILE,
        /** A directory. */
        DIRECTORY,
        /** A symbolic link, dangling or not. */
        SYMLINK,
        /** A named pipe. */
        FIFO
    }

    /** A reported entry: its name and its type. */
    public static final class Entry {
        private final String name;
        private final EntryType type;
        private final byte[] bytes;

        Entry(String name, EntryType type, byte[] bytes) {
            this.name = name;
            this.type = type;
            this.bytes = bytes;
        }

        /** @return the name, read as {@link FolderIteratorNix#next()} reads it */
        public String name() { return name; }

        /** @return the entry's own type */
        public EntryType type() { return type; }

        /** @return the name's bytes as the directory gave them (a copy) */
        public byte[] nameBytes() { return bytes.clone(); }

        @Override
        public boolean equals(Object o) {
            return o instanceof Entry && ((Entry) o).name.equals(name) && ((Entry) o).type == type
                    && Arrays.equals(((Entry) o).bytes, bytes);
        }

        @Override
        public int hashCode() { return name.hashCode() * 31 + type.hashCode(); }

        @Override
        public String toString() { return type + " " + name; }
    }

    private final String dir;
    private final NativeHandle stream;
    /** Set by close() before it releases anything, so that no later hasNext() reports an entry. */
    private volatile boolean closed;
    /** Set by the caller's close() only (not by the end of the listing): nothing more is handed out. */
    private volatile boolean stopped;
    /** The current batch: records of type (1 byte), name length (2 bytes), name bytes. */
    private byte[] batch;
    private int pos;
    private int end;

    /**
     * Opens {@code dir}.
     *
     * @param dir the directory path
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public FolderIteratorNix(String dir) throws IOException {
        if (dir == null) throw new NullPointerException("dir");
        this.dir = dir;
        this.stream = new NativeHandle(this, NativeDispatcher.openBatch(dir), NativeDispatcher::closeBatch);
        this.batch = new byte[Records.LIST_BATCH];
    }

    /**
     * Opens {@code dir} by its own bytes (read from its URI, so a {@code Path} from
     * {@link java.nio.file.Files#list} reaches its directory even where {@code toString()} lost
     * bytes), with no charset and no probe. {@link #directory()} is then its {@code toString()}.
     *
     * @param dir the directory, a path of the default file system
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     * @throws java.nio.file.InvalidPathException when its bytes hold a NUL
     * @throws java.nio.file.ProviderMismatchException when it is not a path of the default file system
     */
    public FolderIteratorNix(Path dir) throws IOException {
        byte[] bytes = NioPaths.bytes(dir, "[FolderIteratorNix] ");
        this.dir = dir.toString();
        this.stream = new NativeHandle(this, NativeDispatcher.openBatchBytes(bytes), NativeDispatcher::closeBatch);
        this.batch = new byte[Records.LIST_BATCH];
    }

    /**
     * {@link #list(String)} of a {@link Path}, by its own bytes (see {@link #FolderIteratorNix(Path)}).
     *
     * @param dir the directory
     * @return its names, in readdir order
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public static List<String> list(Path dir) throws IOException {
        return namesOf(new FolderIteratorNix(dir));
    }

    /**
     * {@link #stream(String)} of a {@link Path}, by its own bytes (see {@link #FolderIteratorNix(Path)}).
     *
     * @param dir the directory
     * @return its names, in readdir order
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public static Stream<String> stream(Path dir) throws IOException {
        return streamOf(new FolderIteratorNix(dir));
    }

    /**
     * {@link #entries(String)} of a {@link Path}, by its own bytes (see {@link #FolderIteratorNix(Path)}).
     *
     * @param dir the directory
     * @return its entries, in readdir order
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public static Stream<Entry> entries(Path dir) throws IOException {
        return entriesOf(new FolderIteratorNix(dir));
    }

    /**
     * Lists {@code dir} completely.
     *
     * @param dir the directory path
     * @return its names, in readdir order
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public static List<String> list(String dir) throws IOException {
        return namesOf(new FolderIteratorNix(dir));
    }

    private static List<String> namesOf(FolderIteratorNix opened) {
        List<String> names = new ArrayList<>();
        try (FolderIteratorNix it = opened) {
            it.forEachRemaining(names::add);
        }
        return names;
    }

    /**
     * A lazy stream of the names of {@code dir}; close it (try-with-resources) to stop early.
     *
     * @param dir the directory path
     * @return its names, in readdir order
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public static Stream<String> stream(String dir) throws IOException {
        return streamOf(new FolderIteratorNix(dir));
    }

    private static Stream<String> streamOf(FolderIteratorNix it) {
        return StreamSupport.stream(Spliterators.spliteratorUnknownSize(it, Spliterator.NONNULL | Spliterator.DISTINCT),
                false).onClose(it::close);
    }

    /**
     * A lazy stream of the entries (name and type) of {@code dir}; close it to stop early.
     *
     * @param dir the directory path
     * @return its entries, in readdir order
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public static Stream<Entry> entries(String dir) throws IOException {
        return entriesOf(new FolderIteratorNix(dir));
    }

    private static Stream<Entry> entriesOf(FolderIteratorNix it) {
        Iterator<Entry> entries = new Iterator<Entry>() {
            @Override
            public boolean hasNext() { return it.hasNext(); }

            @Override
            public Entry next() { return it.nextEntry(); }

            @Override
            public void forEachRemaining(Consumer<? super Entry> action) { it.drain(action, true); }
        };
        return StreamSupport.stream(Spliterators.spliteratorUnknownSize(entries, Spliterator.NONNULL), false)
                .onClose(it::close);
    }

    /** @return the directory path this walk lists */
    public String directory() { return dir; }

    /** @return whether another entry follows */
    @Override
    public synchronized boolean hasNext() {
        if (stopped) return false;
        if (pos < end) return true;  // also after the end was read: what an action put back
        if (closed) return false;
        long h = stream.enter();
        if (h == -1) return false;
        try {
            pos = 0;
            end = NativeDispatcher.readBatch(h, batch);
        } finally {
            stream.leave();
            Reference.reachabilityFence(this);
        }
        if (end > 0 && !closed) return true;
        release();  // the end: nothing is kept open
        return false;
    }

    @Override
    public synchronized String next() {
        // What hasNext() promised before a close() from another thread is still handed out.
        if (pos >= end && !hasNext()) throw new NoSuchElementException();
        String name = Records.listName(batch, pos);
        pos += Records.listLength(batch, pos);  // only once the name exists: a failure leaves the entry to the next call
        return name;
    }

    /**
     * The next entry with its type; shares the position with {@link #next()}.
     *
     * @return the next entry
     * @throws NoSuchElementException at the end
     */
    public synchronized Entry nextEntry() {
        if (pos >= end && !hasNext()) throw new NoSuchElementException();
        return takeEntry();
    }

    private Entry takeEntry() {
        Entry e = Records.listEntry(batch, pos);
        pos += Records.listLength(batch, pos);
        return e;
    }

    /** Hands the rest to action a batch at a time: one lock per batch, not per name. */
    @Override
    public void forEachRemaining(Consumer<? super String> action) {
        drain(action, false);
    }

    /**
     * Hands the rest to action, a batch per lock. The names are decoded outside the lock; those not
     * yet handed when action throws go back, so the next call starts with them. Nothing is handed
     * once close() was called.
     */
    @SuppressWarnings("unchecked")
    private <T> void drain(Consumer<? super T> action, boolean entries) {
        byte[] chunk = new byte[Records.LIST_BATCH];
        for (int n; (n = take(chunk)) > 0;) {
            int at = 0;
            try {
                while (at < n && !stopped) {
                    Object o = entries ? Records.listEntry(chunk, at) : Records.listName(chunk, at);
                    at += Records.listLength(chunk, at);  // handed from here on, also when action throws
                    action.accept((T) o);
                }
            } finally {
                if (at < n && !stopped) putBack(chunk, at, n);
            }
            if (stopped) return;
        }
    }

    /** Moves the records left in the current batch (read first if none) into chunk; their length, 0 at the end. */
    private synchronized int take(byte[] chunk) {
        if (!hasNext()) return 0;
        int n = end - pos;
        System.arraycopy(batch, pos, chunk, 0, n);
        pos = end;
        return n;
    }

    /** Puts chunk[from, to) back before what is left of the batch. */
    private synchronized void putBack(byte[] chunk, int from, int to) {
        int rest = to - from;
        int left = end - pos;
        byte[] merged = new byte[Math.max(Records.LIST_BATCH, rest + left)];
        System.arraycopy(chunk, from, merged, 0, rest);
        System.arraycopy(batch, pos, merged, rest, left);
        batch = merged;
        pos = 0;
        end = rest + left;
    }

    /**
     * Stops the walk and releases the directory stream; calling it again does nothing. Any thread
     * may call it at any time: a batch being read meanwhile is dropped, and the stream is released
     * once that read has returned.
     */
    @Override
    public void close() {
        stopped = true;
        release();
    }

    private void release() {
        closed = true;
        stream.close();
    }

    // The library's walk natives by contract, for native and Java code that calls them directly.

    private native long getFirstFile(String path, StringBuffer firstName) throws IOException;

    private native String getNextFile(long handle, String path);

    private native void closeFileHandle(long handle);
}
