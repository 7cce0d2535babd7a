package com.orvan.mek.fsutil;

import java.io.IOException;
import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.util.ArrayList;
import java.util.Iterator;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.Spliterator;
import java.util.Spliterators;
import java.util.stream.Stream;
import java.util.stream.StreamSupport;

/**
 * Lists the entries of one directory in {@code readdir} order, one at a time. "." and "..",
 * device nodes, sockets and entries that vanish during the walk are left out; regular files,
 * directories, symbolic links (also dangling ones) and FIFOs are reported. A name whose bytes
 * are not valid in the platform charset is reported as its ISO-8859-1 reading, so that
 * {@code dir + "/" + name} names that very file again when passed back to this library.
 *
 * <p>Use with try-with-resources. A walk dropped without {@link #close()} is closed by a
 * {@link Cleaner} once the iterator is unreachable. An instance is not thread-safe.
 */
public final class FolderIteratorNix implements Iterator<String>, AutoCloseable {
    static {
        NativeLoader.load();
    }

    private static final Cleaner CLEANER = Cleaner.create();
    /** Receiver for closes run by the Cleaner; the natives never look at it. */
    private static final FolderIteratorNix CLOSER = new FolderIteratorNix();

    /** The directory stream of a walk; shared with the Cleaner, which must not see the iterator. */
    private static final class Walk implements Runnable {
        private long handle = -1;

        synchronized long get() { return handle; }

        synchronized void set(long h) { handle = h; }

        @Override
        public synchronized void run() {
            if (handle != -1) {
                CLOSER.closeFileHandle(handle);
                handle = -1;
            }
        }
    }

    private final String dir;
    private final Walk stream;
    private final Cleaner.Cleanable cleanable;
    private String next;

    private FolderIteratorNix() {
        dir = null;
        stream = null;
        cleanable = null;
    }

    /**
     * Opens {@code dir} and reads its first reportable entry.
     *
     * @param dir the directory path
     * @throws java.io.FileNotFoundException when the directory does not exist
     * @throws IOException when it cannot be opened (not a directory, no permission...)
     */
    public FolderIteratorNix(String dir) throws IOException {
        if (dir == null) throw new NullPointerException("dir");
        this.dir = dir;
        this.stream = new Walk();
        StringBuffer first = new StringBuffer();
        long h = getFirstFile(dir, first);
        if (h != -1) {
            stream.set(h);
            next = first.toString();
        }
        this.cleanable = CLEANER.register(this, stream);
    }

    /** Lists {@code dir} completely. */
    public static List<String> list(String dir) throws IOException {
        List<String> names = new ArrayList<>();
        try (FolderIteratorNix it = new FolderIteratorNix(dir)) {
            it.forEachRemaining(names::add);
        }
        return names;
    }

    /** A lazy stream of the names of {@code dir}; close it (try-with-resources) to stop early. */
    public static Stream<String> stream(String dir) throws IOException {
        FolderIteratorNix it = new FolderIteratorNix(dir);
        return StreamSupport.stream(Spliterators.spliteratorUnknownSize(it, Spliterator.NONNULL | Spliterator.DISTINCT),
                false).onClose(it::close);
    }

    /** The directory path this walk lists. */
    public String directory() { return dir; }

    /** @return whether another entry follows */
    @Override
    public boolean hasNext() {
        if (next != null) return true;
        long h = stream.get();
        if (h == -1) return false;
        try {
            String name = getNextFile(h, dir);
            if (name == null) {
                // The library closed the stream at the end; it must never be closed again.
                stream.set(-1);
            }
            next = name;
            return name != null;
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    @Override
    public String next() {
        if (!hasNext()) throw new NoSuchElementException();
        String name = next;
        next = null;
        return name;
    }

    /** Stops the walk and releases the directory stream; calling it again does nothing. */
    @Override
    public void close() {
        cleanable.clean();
        next = null;
    }

    private native long getFirstFile(String path, StringBuffer firstName) throws IOException;

    private native String getNextFile(long handle, String path);

    private native void closeFileHandle(long handle);
}
