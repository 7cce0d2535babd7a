package com.orvan.mek.fsutil;

import java.io.IOException;
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

    /** A reported entry: its name and its type. */
    public static final class Entry {
        private final String name;
        private final FileTree.Type type;
        private final byte[] bytes;  // null where the name tells them
        private final int length;

        Entry(String name, FileTree.Type type, byte[] bytes, int length) {
            this.name = name;
            this.type = type;
            this.bytes = bytes;
            this.length = length;
        }

        /** @return the name, read as {@link FolderIteratorNix#next()} reads it */
        public String name() { return name; }

        /** @return the entry's own type, as {@code lstat} sees it (a link is not followed): a file, directory, link or FIFO */
        public FileTree.Type type() { return type; }

        /** @return the name's bytes as the directory gave them (a copy) */
        public byte[] nameBytes() { return bytes != null ? bytes.clone() : NameCodec.bytes(name, length); }

        @Override
        public boolean equals(Object o) {
            // Equal names of equal length are equal bytes where the bytes are not kept.
            return o instanceof Entry && ((Entry) o).name.equals(name) && ((Entry) o).type == type
                    && ((Entry) o).length == length && Arrays.equals(((Entry) o).bytes, bytes);
        }

        @Override
        public int hashCode() { return name.hashCode() * 31 + type.hashCode(); }

        @Override
        public String toString() { return type + " " + name; }
    }

    private final String dir;
    private final Listing cursor;

    /** The listing's batches: records of type (1 byte), name length (2 bytes), name bytes. */
    private static final class Listing extends BatchCursor<Entry> {
        Listing(FolderIteratorNix owner, long stream) {
            super(owner, stream, NativeDispatcher::closeBatch, Records.LIST_BATCH, Records.LIST_HEADER);
        }

        @Override
        int read(long stream) { return NativeDispatcher.readBatch(stream, batch); }

        @Override
        boolean everyRecordIsAnItem() { return true; }

        @Override
        Entry parse() {
            int len = Records.listNameLength(batch, pos);
            // The bytes are kept only where the name does not tell them.
            Entry e = new Entry(Records.listName(batch, pos), FileTree.Type.of(Records.listType(batch, pos)),
                    NameCodec.REVERSIBLE ? null : Records.listNameBytes(batch, pos), len);
            pos += Records.listLength(batch, pos);  // only once the entry exists: a failure leaves it to the next call
            return e;
        }

        /** The next name, decoded alone (one name at a time makes no Entry); the caller holds the lock. */
        String nextNameHeld() {
            Entry e = promised();
            if (e != null) return e.name();
            if (!nextRecord()) throw new NoSuchElementException();
            String name = Records.listName(batch, pos);
            pos += Records.listLength(batch, pos);
            return name;
        }
    }

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
        this.cursor = new Listing(this, NativeDispatcher.openBatch(dir));
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
        this.cursor = new Listing(this, NativeDispatcher.openBatchBytes(bytes));
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
        return StreamSupport.stream(Spliterators.spliteratorUnknownSize(it.cursor, Spliterator.NONNULL), false)
                .onClose(it::close);
    }

    /** @return the directory path this walk lists */
    public String directory() { return dir; }

    /** @return whether another entry follows */
    @Override
    public synchronized boolean hasNext() { return cursor.hasNextHeld(); }

    @Override
    public synchronized String next() { return cursor.nextNameHeld(); }

    /**
     * The next entry with its type; shares the position with {@link #next()}.
     *
     * @return the next entry
     * @throws NoSuchElementException at the end
     */
    public synchronized Entry nextEntry() { return cursor.nextHeld(); }

    /** Hands the rest to action a batch at a time: one lock per batch, not per name. */
    @Override
    public void forEachRemaining(Consumer<? super String> action) {
        cursor.forEachRemaining(e -> action.accept(e.name()));
    }

    /**
     * Stops the walk and releases the directory stream; calling it again does nothing. Any thread
     * may call it at any time: a batch being read meanwhile is dropped, and the stream is released
     * once that read has returned.
     */
    @Override
    public void close() { cursor.close(); }

    // The library's walk natives by contract, for native and Java code that calls them directly.

    private native long getFirstFile(String path, StringBuffer firstName) throws IOException;

    private native String getNextFile(long handle, String path);

    private native void closeFileHandle(long handle);
}
