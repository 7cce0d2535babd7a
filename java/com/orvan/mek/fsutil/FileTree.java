package com.orvan.mek.fsutil;

import java.io.IOException;
import java.io.InputStream;
import java.lang.ref.Reference;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.Charset;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.Iterator;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.Objects;
import java.util.Spliterator;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BiConsumer;
import java.util.function.Consumer;
import java.util.function.Predicate;
import java.util.stream.Stream;
import java.util.stream.StreamSupport;

/**
 * A whole tree, walked depth-first through open directory descriptors: every entry below the
 * root that {@link FolderIteratorNix} would report (no ".", "..", devices or sockets), at any
 * depth and whatever the bytes of the names. Each entry's {@link Entry#path()} is relative to the
 * root, and {@code root + "/" + path} reaches that very entry again when given to this library
 * (for example to {@link #newInputStream(String)}). By default a directory comes before its
 * contents, each directory's entries in {@code readdir} order, and links are not followed; a
 * {@link #walker(String)} changes that: depth, pruning, order, links.
 *
 * <p>A directory that cannot be opened or read does not end the walk: it goes to the error
 * handler with its path and the system's error text, and the walk goes on.
 */
public final class FileTree {
    static {
        NativeLoader.load();
    }

    private FileTree() {}

    /** The type of an entry, as {@code lstat} sees it (a link is not followed unless asked). */
    public enum Type {
        /** A regular file. */
        FILE,
        /** A directory. */
        DIRECTORY,
        /** A symbolic link. */
        SYMLINK,
        /** A named pipe. */
        FIFO
    }

    /** Options of a walk. */
    public enum Option {
        /** Each entry carries its {@code lstat} record (one {@code fstatat} on the open directory). */
        ATTRIBUTES,
        /** Directories on another device than the root's are reported but not entered, like {@code find -xdev}. */
        SAME_FILE_SYSTEM,
        /** Within each directory, entries in ascending order of their name bytes (unsigned). */
        SORTED,
        /** Each directory after everything below it (post-order, {@code find -depth}). */
        DIRECTORIES_LAST,
        /**
         * Links are followed, like {@code find -L}: an entry reached through a link has its target's
         * type and attributes, a link to a directory is entered, a dangling link stays
         * {@link Type#SYMLINK}. A link leading back to a directory on the current path is reported,
         * not entered, and goes to the error handler.
         */
        FOLLOW_LINKS
    }

    /**
     * The handler used when none is given: one {@link System.Logger} warning per failure, on the
     * logger named {@code com.orvan.mek.fsutil.FileTree}.
     */
    public static final BiConsumer<String, String> LOG_FAILURES = (path, error) ->
            System.getLogger(FileTree.class.getName()).log(System.Logger.Level.WARNING, "{0}: {1}", path, error);

    // The records of a batch: kind (1 byte), depth (4 bytes, big-endian), name length (2 bytes,
    // big-endian), the name's bytes; then, for an entry of a walk with ATTRIBUTES, ATTRIBUTE_COUNT
    // native-endian longs; for a failure, the text's length (2 bytes) and bytes. A LEAVE record
    // (post-order walks only) carries no name: it reports the directory of its depth.
    private static final Type[] TYPES = {null, Type.FILE, Type.DIRECTORY, Type.SYMLINK, Type.FIFO};
    private static final int DIRECTORY = 2;
    private static final int FAILURE = 5;
    private static final int LEAVE = 6;
    private static final int HEADER_BYTES = 7;
    private static final int BATCH_BYTES = 32768;
    private static final int ATTRIBUTE_COUNT = 14;

    static {
        // The natives write what this class reads: both sides must agree, or nothing runs.
        checkFormat(new int[] {1, DIRECTORY, 3, 4, FAILURE, LEAVE, HEADER_BYTES, ATTRIBUTE_COUNT, BATCH_BYTES});
    }
    private static final int CLOSED = -2;
    private static final int INTERRUPTED = -3;

    /** An entry of the tree. */
    public static final class Entry {
        private final Entry parent;
        private final String name;
        private final byte[] nameBytes;
        private final Type type;
        private final int depth;
        private final long[] attributes;
        private String path;
        /** The walk's root, for toPath(). */
        NioPaths.Root root;

        Entry(Entry parent, String name, byte[] nameBytes, Type type, int depth, long[] attributes) {
            this.parent = parent;
            this.name = name;
            this.nameBytes = nameBytes;
            this.type = type;
            this.depth = depth;
            this.attributes = attributes;
        }

        /** @return the directory holding this entry; null for the root's own entries */
        public Entry parent() { return parent; }

        /** @return the path below the root, its names joined with "/" */
        public String path() {
            if (path != null) return path;
            // Up to the nearest directory whose path is known, then down: no recursion, whatever the depth.
            ArrayDeque<Entry> up = new ArrayDeque<>();
            Entry e = this;
            for (; e != null && e.path == null; e = e.parent) up.push(e);
            String at = e == null ? null : e.path;
            for (Entry d : up) {
                d.path = at == null ? d.name : at + "/" + d.name;
                at = d.path;
            }
            return path;
        }

        /** @return the last name of the path, read as {@link FolderIteratorNix} reads names */
        public String name() { return name; }

        /** @return the entry's type (its target's, where a link was followed) */
        public Type type() { return type; }

        /** @return 1 for the root's own entries, 2 for theirs, and so on */
        public int depth() { return depth; }

        /** @return whether the walk ran with {@link Option#ATTRIBUTES}, which the getters below need */
        public boolean hasAttributes() { return attributes != null; }

        /**
         * @return {@code st_dev}, the device holding the entry
         * @throws IllegalStateException when walked without {@link Option#ATTRIBUTES}, as every getter below
         */
        public long device() { return attribute(0); }

        /** @return {@code st_ino} */
        public long inode() { return attribute(1); }

        /** @return {@code st_mode}: the file type and permission bits */
        public int mode() { return (int) attribute(2); }

        /** @return {@code st_nlink}, the number of hard links */
        public long links() { return attribute(3); }

        /** @return {@code st_uid}, the owner */
        public int uid() { return (int) attribute(4); }

        /** @return {@code st_gid}, the group */
        public int gid() { return (int) attribute(5); }

        /** @return the size in bytes; for a link, the length of its target */
        public long size() { return attribute(6); }

        /** @return the 512-byte blocks allocated */
        public long blocks() { return attribute(7); }

        /** @return the time of the last access ({@code st_atime}), to the nanosecond */
        public FileTime lastAccessTime() { return time(8); }

        /** @return the time of the last modification ({@code st_mtime}), to the nanosecond */
        public FileTime lastModifiedTime() { return time(10); }

        /** @return the time of the last status change ({@code st_ctime}), to the nanosecond */
        public FileTime lastChangeTime() { return time(12); }

        /** @return the name's bytes as the directory gave them (a copy) */
        public byte[] nameBytes() { return nameBytes.clone(); }

        /**
         * A {@link Path} naming this very entry, byte for byte: the root's bytes (a {@code Path}
         * root's own; a string root's as this library resolved it, see {@link FileTree#toPath(String)}),
         * then each name's bytes as the directory gave them. Every {@link java.nio.file.Files} call,
         * and every library built on {@code java.nio.file}, then acts on that entry, in any locale,
         * also where {@link #path()} could not show the name. Relative when the root was.
         *
         * @return the entry's path
         */
        public Path toPath() {
            byte[][] names = new byte[depth][];
            int i = depth;
            for (Entry e = this; e != null && i > 0; e = e.parent) names[--i] = e.nameBytes;
            return NioPaths.path(root.bytes(), names);
        }

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

    /**
     * {@link #walk(String, BiConsumer, Option...)} with {@link #LOG_FAILURES}.
     *
     * @param root the directory to walk
     * @param options how to walk it
     * @return the entries below root, to close after use
     * @throws java.io.FileNotFoundException when the root does not exist
     * @throws IOException when the root cannot be opened as a directory
     */
    public static Stream<Entry> walk(String root, Option... options) throws IOException {
        return walker(root).with(options).stream();
    }

    /**
     * A lazy stream of the entries below {@code root}: {@code walker(root).onError(onError)
     * .with(options).stream()}.
     *
     * @param root the directory to walk
     * @param onError where failures go, see {@link Walker#onError}
     * @param options how to walk it
     * @return the entries below root, to close after use
     *
     * @throws java.io.FileNotFoundException when the root does not exist
     * @throws IOException when the root cannot be opened as a directory
     */
    public static Stream<Entry> walk(String root, BiConsumer<String, String> onError, Option... options)
            throws IOException {
        return walker(root).onError(onError).with(options).stream();
    }

    /**
     * A walk of the tree below {@code root} to configure, then {@link Walker#stream()}.
     *
     * @param root the directory to walk
     * @return a walk with no option, every depth, nothing pruned, failures logged
     */
    public static Walker walker(String root) {
        return new Walker(root);
    }

    /**
     * {@link #walk(String, Option...)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the directory to walk
     * @param options how to walk it
     * @return the entries below root, to close after use
     * @throws java.io.FileNotFoundException when the root does not exist
     * @throws IOException when the root cannot be opened as a directory
     */
    public static Stream<Entry> walk(Path root, Option... options) throws IOException {
        return walker(root).with(options).stream();
    }

    /**
     * {@link #walk(String, BiConsumer, Option...)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the directory to walk
     * @param onError where failures go, see {@link Walker#onError}
     * @param options how to walk it
     * @return the entries below root, to close after use
     * @throws java.io.FileNotFoundException when the root does not exist
     * @throws IOException when the root cannot be opened as a directory
     */
    public static Stream<Entry> walk(Path root, BiConsumer<String, String> onError, Option... options)
            throws IOException {
        return walker(root).onError(onError).with(options).stream();
    }

    /**
     * {@link #walker(String)} of a {@link Path}: its own bytes (read from its URI, so a {@code Path}
     * from {@link java.nio.file.Files#list} reaches its entry even where {@code toString()} lost
     * bytes), opened as they are, with no charset and no probe. Failures name paths as strings,
     * relative to the root; {@link Entry#toPath()} gives each entry's exact {@code Path}.
     *
     * @param root the directory to walk, a path of the default file system
     * @return a walk with no option, every depth, nothing pruned, failures logged
     * @throws NullPointerException when root is null
     * @throws java.nio.file.InvalidPathException when its bytes hold a NUL
     * @throws java.nio.file.ProviderMismatchException when it is not a path of the default file system
     */
    public static Walker walker(Path root) {
        byte[] bytes = NioPaths.bytes(root, "[FileTree.walk] ");
        return new Walker(root.toString(), bytes);
    }

    /**
     * The {@link Path} of a path string as this library resolves it: each component in its
     * platform-charset form when such an entry exists, else its ISO-8859-1 form when that exists,
     * else the platform form. So {@code toPath(root + "/" + entry.path())} names that very entry
     * for {@code java.nio.file}, also for a name the platform charset cannot show.
     *
     * @param path a path as this library takes paths; it need not exist
     * @return its byte-exact {@code Path}, relative when {@code path} is
     * @throws NullPointerException when path is null
     */
    public static Path toPath(String path) {
        return NioPaths.path(NioPaths.resolve(path));
    }

    /** A walk to configure; {@link #stream()} starts it. Not thread-safe; each stream() is a walk of its own. */
    public static final class Walker {
        private final String root;
        private final EnumSet<Option> options = EnumSet.noneOf(Option.class);
        private int maxDepth = Integer.MAX_VALUE;
        private Predicate<? super Entry> prune;
        private BiConsumer<String, String> onError = LOG_FAILURES;

        /** A Path root's bytes; null for a string root. */
        private final byte[] rootBytes;

        private Walker(String root) { this(root, null); }

        private Walker(String shown, byte[] rootBytes) {
            this.root = shown;
            this.rootBytes = rootBytes;
        }

        /**
         * Entries deeper than {@code depth} are not reported, and a directory at that depth is never
         * opened. Depth 1 is the root's own entries; 0 reports nothing.
         *
         * @param depth the deepest level reported
         * @return this walk
         * @throws IllegalArgumentException when {@code depth} is negative
         */
        public Walker maxDepth(int depth) {
            if (depth < 0) throw new IllegalArgumentException("[FileTree.walker] maxDepth is negative: " + depth);
            maxDepth = depth;
            return this;
        }

        /**
         * Asked of each directory entry, on the thread consuming the stream, before anything below
         * it is read: where it holds, the directory is reported and never opened. What it throws
         * ends the walk and reaches the caller.
         *
         * @param prune holds for the directories not to open
         * @return this walk
         */
        public Walker prune(Predicate<? super Entry> prune) {
            this.prune = Objects.requireNonNull(prune, "prune");
            return this;
        }

        /**
         * Adds options; every option combines with every other.
         *
         * @param options the options to add
         * @return this walk
         */
        public Walker with(Option... options) {
            for (Option o : options) this.options.add(Objects.requireNonNull(o, "option"));
            return this;
        }

        /**
         * Where failures go: the path (relative to the root; "" for the root) and the system's error
         * text of each directory that cannot be opened or read, or of a link that leads back into a
         * loop, on the thread consuming the stream, at its place in the walk. What it throws ends
         * the walk. The default is {@link #LOG_FAILURES}.
         *
         * @param onError gets the path and the error text of each failure
         * @return this walk
         */
        public Walker onError(BiConsumer<String, String> onError) {
            this.onError = Objects.requireNonNull(onError, "onError");
            return this;
        }

        /**
         * Opens the root and returns the walk as a lazy stream; close it (try-with-resources) to
         * release the open directories, also when stopping early. The root itself is opened as
         * named (a link there is followed, like {@code find -H}).
         *
         * @return the entries below the root, to close after use
         * @throws java.io.FileNotFoundException when the root does not exist
         * @throws java.nio.file.NotDirectoryException when the root is not a directory
         * @throws IOException when the root cannot be opened as a directory
         */
        public Stream<Entry> stream() throws IOException {
            boolean attributes = options.contains(Option.ATTRIBUTES), sameFs = options.contains(Option.SAME_FILE_SYSTEM);
            boolean sorted = options.contains(Option.SORTED), last = options.contains(Option.DIRECTORIES_LAST);
            boolean follow = options.contains(Option.FOLLOW_LINKS), stops = prune != null;
            long handle = rootBytes != null
                    ? openTreeBytes(rootBytes, attributes, sameFs, sorted, last, follow, maxDepth, stops)
                    : openTree(root, attributes, sameFs, sorted, last, follow, maxDepth, stops);
            Shared shared = new Shared(this);
            Part whole = new Part(shared, new Reader(handle, shared, null), Long.MAX_VALUE);
            return StreamSupport.stream(whole, false).onClose(shared::close);
        }
    }

    /**
     * Removes {@code path} and everything below it, like {@code rm -rf} but never outside it:
     * every removal is relative to the open parent directory, every directory is entered without
     * following links (a link, also one given as {@code path}, is removed itself), and nothing on
     * another file system is entered or removed. The subtrees are removed on as many threads as
     * the machine has cores. What cannot be removed goes to {@code onError} (its path relative to
     * {@code path}, "" for {@code path} itself, and the system's error text) on the calling thread,
     * and the rest goes on; the directories holding such an entry stay. What the handler throws
     * stops the removal and reaches the caller.
     *
     * @param path the file or directory to remove
     * @param onError where each failure goes
     * @return the number of entries removed, {@code path} included
     * @throws java.io.FileNotFoundException when {@code path} does not exist
     * @throws IOException when its directory cannot be opened, or for ".", ".." and "/"
     */
    public static long delete(String path, BiConsumer<String, String> onError) throws IOException {
        return delete(path, onError, null);
    }

    /**
     * {@link #delete(String, BiConsumer)}, watched while it runs.
     *
     * @param path the file or directory to remove
     * @param onError where each failure goes
     * @param progress told the entries removed so far (bytes are not counted), or null
     * @return the number of entries removed, {@code path} included
     * @throws java.io.FileNotFoundException when {@code path} does not exist
     * @throws IOException when its directory cannot be opened, or for ".", ".." and "/"
     */
    public static long delete(String path, BiConsumer<String, String> onError, Progress progress) throws IOException {
        Objects.requireNonNull(onError, "onError");
        long job = deleteOpen(path);
        long removed;
        try {
            failures(job, onError, progress);
        } finally {
            removed = deleteClose(job);
        }
        return removed;
    }

    /**
     * {@link #delete(String, BiConsumer)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param path the file or directory to remove
     * @param onError where each failure goes
     * @return the number of entries removed, {@code path} included
     * @throws java.io.FileNotFoundException when {@code path} does not exist
     * @throws IOException when its directory cannot be opened, or for ".", ".." and "/"
     */
    public static long delete(Path path, BiConsumer<String, String> onError) throws IOException {
        byte[] b = NioPaths.bytes(path, "[FileTree.delete] ");
        Objects.requireNonNull(onError, "onError");
        long job = deleteOpenBytes(b);
        long removed;
        try {
            failures(job, onError, null);
        } finally {
            removed = deleteClose(job);
        }
        return removed;
    }

    /**
     * {@link #delete(String)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param path the file or directory to remove
     * @return the number of entries removed, {@code path} included
     * @throws IOException naming the first failure and the number of failures, once everything else was removed
     */
    public static long delete(Path path) throws IOException {
        NioPaths.bytes(path, "[FileTree.delete] ");
        String[] first = {null};
        long[] failures = {0};
        long removed = delete(path, (p, e) -> {
            if (failures[0]++ == 0) first[0] = (p.isEmpty() ? path.toString() : path + "/" + p) + ": " + e;
        });
        if (failures[0] > 0) {
            throw new IOException("[FileTree.delete] " + failures[0] + (failures[0] == 1 ? " entry" : " entries")
                    + " could not be removed, the first: " + first[0]);
        }
        return removed;
    }

    /**
     * {@link #usage(String, Option...)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the file or directory to sum
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system ({@code du -x})
     * @return the sums
     * @throws java.io.FileNotFoundException when root does not exist
     * @throws IOException when its directory cannot be opened
     */
    public static Usage usage(Path root, Option... options) throws IOException {
        return usage(root, LOG_FAILURES, options);
    }

    /**
     * {@link #usage(String, BiConsumer, Option...)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the file or directory to sum
     * @param onError where each failure goes
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system ({@code du -x})
     * @return the sums
     * @throws java.io.FileNotFoundException when root does not exist
     * @throws IOException when its directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}, which a sum does not follow
     */
    public static Usage usage(Path root, BiConsumer<String, String> onError, Option... options) throws IOException {
        byte[] b = NioPaths.bytes(root, "[FileTree.usage] ");
        Objects.requireNonNull(onError, "onError");
        EnumSet<Option> set = EnumSet.noneOf(Option.class);
        for (Option o : options) set.add(Objects.requireNonNull(o, "option"));
        if (set.contains(Option.FOLLOW_LINKS)) throw new IllegalArgumentException("[FileTree.usage] FOLLOW_LINKS is not supported");
        long job = usageOpenBytes(b, set.contains(Option.SAME_FILE_SYSTEM));
        long[] sums = new long[5];
        try {
            failures(job, onError, null);
        } finally {
            usageClose(job, sums);
        }
        return new Usage(sums);
    }

    /**
     * {@link #newInputStream(String)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param path the file
     * @return a stream of the file's bytes; close() from any thread ends a read that waits
     * @throws java.io.FileNotFoundException when the file does not exist
     * @throws IOException when it cannot be opened or is a directory
     */
    public static InputStream newInputStream(Path path) throws IOException {
        return new FdInputStream(openReadBytes(NioPaths.bytes(path, "[FileTree.newInputStream] ")));
    }

    /**
     * Watches a long {@link #copy copy}, {@link #delete delete} or {@link #usage usage}: told the
     * entries and bytes done so far, on the calling thread, every 250 ms while the job runs and once
     * more with the final counts when it is done. What it throws stops the job and reaches the caller.
     */
    @FunctionalInterface
    public interface Progress {
        /**
         * @param entries the entries done so far (created, removed or counted)
         * @param bytes the bytes done so far (file data copied as it is written, holes not counted; apparent
         *     sizes summed; 0 for a delete)
         */
        void update(long entries, long bytes);
    }

    private static final int PROGRESS_MILLIS = 250;

    /** Hands a job's failures to onError as they come and, every PROGRESS_MILLIS, its counts to progress, until it is done. */
    private static void failures(long job, BiConsumer<String, String> onError, Progress progress) {
        long[] done = new long[2];
        long next = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PROGRESS_MILLIS);
        for (;;) {
            long left = next - System.nanoTime();
            byte[] f = jobNext(job, progress == null ? -1 : (int) Math.max(1, TimeUnit.NANOSECONDS.toMillis(left)), done);
            if (f == null) break;
            if (progress != null && next - System.nanoTime() <= 0) {
                progress.update(done[0], done[1]);
                next = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PROGRESS_MILLIS);
            }
            if (f.length == 0) continue;
            int nul = 0;
            while (f[nul] != 0) nul++;
            onError.accept(decodePath(f, nul), new String(f, nul + 1, f.length - nul - 1, Charset.defaultCharset()));
        }
        if (progress != null) progress.update(done[0], done[1]);
    }

    /**
     * {@link #copy(String, String, BiConsumer, Progress, Option...)} without progress.
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param onError where each failure goes
     * @param options {@link Option#SAME_FILE_SYSTEM} ({@code cp -x}); see the full form for the others
     * @return the number of entries created, {@code target} included
     * @throws IOException as the full form
     */
    public static long copy(String source, String target, BiConsumer<String, String> onError, Option... options)
            throws IOException {
        return copy(source, target, onError, null, options);
    }

    /**
     * {@link #copy(String, String, BiConsumer, Progress, Option...)}, failing when anything could not be copied.
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param options {@link Option#SAME_FILE_SYSTEM} ({@code cp -x}); see the full form for the others
     * @return the number of entries created, {@code target} included
     * @throws IOException naming the first failure and the number of failures, once everything else was copied;
     *     or as the full form
     */
    public static long copy(String source, String target, Option... options) throws IOException {
        return throwFirst(source, failures -> copy(source, target, failures, null, options));
    }

    /**
     * Copies {@code source} to the new path {@code target} exactly, as {@code cp -a} does, on as many
     * threads as the machine has cores: every entry's name bytes and type (file, directory, link with
     * its target's bytes, FIFO, socket, device), its mode with the set-ID and sticky bits, owner and
     * group where this process may set them (else the copier's, and then the set-ID bits are not
     * kept), access and modification times in nanoseconds (a directory's set after its contents, a
     * link's own), extended attributes (ACLs included), hard links among the copied entries (one
     * inode, several names) and holes of sparse files. Data never leaves the kernel: a reflink clone,
     * else {@code copy_file_range}, else read/write. Links are never followed, {@code source} itself
     * included; nothing is created outside {@code target}, whatever is swapped into it meanwhile.
     * What cannot be copied goes to {@code onError} (its path relative to {@code source}, "" for
     * itself, and the error text) on the calling thread, and the rest goes on; a file whose data
     * could not be copied whole (a full disk) is removed and reported. What a handler throws stops
     * the copy and reaches the caller.
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param onError where each failure goes
     * @param progress told the entries created and file bytes copied so far, or null
     * @param options {@link Option#SAME_FILE_SYSTEM}: a directory on another file system than
     *     {@code source} is created with its attributes but not entered ({@code cp -x});
     *     {@link Option#ATTRIBUTES}, {@link Option#SORTED} and {@link Option#DIRECTORIES_LAST} change
     *     only what a walk reports and are ignored
     * @return the number of entries created, {@code target} included
     * @throws java.io.FileNotFoundException when {@code source}, or the directory of {@code target}, does not exist
     * @throws java.nio.file.FileAlreadyExistsException when {@code target} exists
     * @throws IOException when {@code target} lies inside {@code source} (nothing is created), or a directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}: a copy never follows links
     * @throws NullPointerException for a null argument other than {@code progress}
     */
    public static long copy(String source, String target, BiConsumer<String, String> onError, Progress progress,
            Option... options) throws IOException {
        Objects.requireNonNull(source, "[FileTree.copy] source is null");
        Objects.requireNonNull(target, "[FileTree.copy] target is null");
        boolean sameFs = copyOptions(onError, options);
        return copyRun(copyOpen(source, target, sameFs), onError, progress);
    }

    /**
     * {@link #copy(String, String, BiConsumer, Option...)} of {@link Path}s, by their own bytes (see {@link #walker(Path)}).
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param onError where each failure goes
     * @param options as the full form
     * @return the number of entries created, {@code target} included
     * @throws IOException as the full form
     */
    public static long copy(Path source, Path target, BiConsumer<String, String> onError, Option... options)
            throws IOException {
        return copy(source, target, onError, null, options);
    }

    /**
     * {@link #copy(String, String, Option...)} of {@link Path}s, by their own bytes (see {@link #walker(Path)}).
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param options as the full form
     * @return the number of entries created, {@code target} included
     * @throws IOException naming the first failure and the number of failures, once everything else was copied;
     *     or as the full form
     */
    public static long copy(Path source, Path target, Option... options) throws IOException {
        return throwFirst(String.valueOf(source), failures -> copy(source, target, failures, null, options));
    }

    /**
     * {@link #copy(String, String, BiConsumer, Progress, Option...)} of {@link Path}s, by their own bytes
     * (see {@link #walker(Path)}): names no charset can show are copied too.
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param onError where each failure goes (paths relative to {@code source}, as strings)
     * @param progress told the entries created and file bytes copied so far, or null
     * @param options as the full form
     * @return the number of entries created, {@code target} included
     * @throws IOException as the full form
     */
    public static long copy(Path source, Path target, BiConsumer<String, String> onError, Progress progress,
            Option... options) throws IOException {
        byte[] from = NioPaths.bytes(Objects.requireNonNull(source, "[FileTree.copy] source is null"), "[FileTree.copy] ");
        byte[] to = NioPaths.bytes(Objects.requireNonNull(target, "[FileTree.copy] target is null"), "[FileTree.copy] ");
        boolean sameFs = copyOptions(onError, options);
        return copyRun(copyOpenBytes(from, to, sameFs), onError, progress);
    }

    /** Checks copy's handler and options; whether SAME_FILE_SYSTEM is among them. */
    private static boolean copyOptions(BiConsumer<String, String> onError, Option... options) {
        Objects.requireNonNull(onError, "[FileTree.copy] onError is null");
        EnumSet<Option> set = EnumSet.noneOf(Option.class);
        for (Option o : Objects.requireNonNull(options, "[FileTree.copy] options is null")) {
            set.add(Objects.requireNonNull(o, "[FileTree.copy] option is null"));
        }
        if (set.contains(Option.FOLLOW_LINKS)) throw new IllegalArgumentException("[FileTree.copy] FOLLOW_LINKS is not supported");
        return set.contains(Option.SAME_FILE_SYSTEM);
    }

    /** Hands a started copy's failures and progress over until it is done; the entries it created. */
    private static long copyRun(long job, BiConsumer<String, String> onError, Progress progress) {
        long created;
        try {
            failures(job, onError, progress);
        } finally {
            created = copyClose(job);
        }
        return created;
    }

    /** A copy whose failures, counted, become one IOException naming the first (its path below source). */
    @FunctionalInterface
    private interface Counted {
        long run(BiConsumer<String, String> onError) throws IOException;
    }

    private static long throwFirst(String source, Counted copy) throws IOException {
        String[] first = {null};
        long[] failures = {0};
        long created = copy.run((p, e) -> {
            if (failures[0]++ == 0) first[0] = (p.isEmpty() ? source : source + "/" + p) + ": " + e;
        });
        if (failures[0] > 0) {
            throw new IOException("[FileTree.copy] " + failures[0] + (failures[0] == 1 ? " entry" : " entries")
                    + " could not be copied, the first: " + first[0]);
        }
        return created;
    }

    /** What {@link #usage} sums: every inode once (a file with several links where it is met first), the root included. */
    public static final class Usage {
        private final long[] sums;

        private Usage(long[] sums) { this.sums = sums; }

        /** @return the entries, devices and sockets too */
        public long entries() { return sums[0]; }

        /** @return the directories, the root included */
        public long directories() { return sums[1]; }

        /** @return the regular files */
        public long files() { return sums[2]; }

        /** @return the apparent sizes in bytes ({@code st_size}, as {@code du -sb}) */
        public long bytes() { return sums[3]; }

        /** @return the 512-byte blocks allocated ({@code st_blocks}, as {@code du -s -B512}) */
        public long blocks() { return sums[4]; }

        @Override
        public String toString() {
            return entries() + " entries (" + directories() + " directories, " + files() + " files), " + bytes()
                    + " bytes, " + blocks() + " blocks";
        }
    }

    /**
     * {@link #usage(String, BiConsumer, Option...)} with {@link #LOG_FAILURES}.
     *
     * @param root the file or directory to sum
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system ({@code du -x})
     * @return the sums
     * @throws java.io.FileNotFoundException when root does not exist
     * @throws IOException when its directory cannot be opened
     */
    public static Usage usage(String root, Option... options) throws IOException {
        return usage(root, LOG_FAILURES, options);
    }

    /**
     * Sums the tree below {@code root} as {@code du} does, natively, with no Java object per entry,
     * on as many threads as the machine has cores. A link is counted, not followed (the root too);
     * what cannot be read goes to {@code onError} (its path relative to root and the error text) on
     * the calling thread, and the sum goes on. What the handler throws stops the sum.
     *
     * @param root the file or directory to sum
     * @param onError where each failure goes
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system
     *     ({@code du -x}); the others do not change a sum
     * @return the sums
     * @throws java.io.FileNotFoundException when root does not exist
     * @throws IOException when its directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}, which a sum does not follow
     */
    public static Usage usage(String root, BiConsumer<String, String> onError, Option... options) throws IOException {
        return usage(root, onError, null, options);
    }

    /**
     * {@link #usage(String, BiConsumer, Option...)}, watched while it runs.
     *
     * @param root the file or directory to sum
     * @param onError where each failure goes
     * @param progress told the entries counted and their apparent bytes so far, or null
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system
     * @return the sums
     * @throws java.io.FileNotFoundException when root does not exist
     * @throws IOException when its directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}, which a sum does not follow
     */
    public static Usage usage(String root, BiConsumer<String, String> onError, Progress progress, Option... options)
            throws IOException {
        Objects.requireNonNull(onError, "onError");
        EnumSet<Option> set = EnumSet.noneOf(Option.class);
        for (Option o : options) set.add(Objects.requireNonNull(o, "option"));
        if (set.contains(Option.FOLLOW_LINKS)) throw new IllegalArgumentException("[FileTree.usage] FOLLOW_LINKS is not supported");
        long job = usageOpen(root, set.contains(Option.SAME_FILE_SYSTEM));
        long[] sums = new long[5];
        try {
            failures(job, onError, progress);
        } finally {
            usageClose(job, sums);
        }
        return new Usage(sums);
    }

    /**
     * {@link #delete(String, BiConsumer)}, failing when anything could not be removed.
     *
     * @param path the file or directory to remove
     * @return the number of entries removed, {@code path} included
     * @throws IOException naming the first failure and the number of failures, once everything else was removed
     */
    public static long delete(String path) throws IOException {
        String[] first = {null};
        long[] failures = {0};
        long removed = delete(path, (p, e) -> {
            if (failures[0]++ == 0) first[0] = (p.isEmpty() ? path : path + "/" + p) + ": " + e;
        });
        if (failures[0] > 0) {
            throw new IOException("[FileTree.delete] " + failures[0] + (failures[0] == 1 ? " entry" : " entries")
                    + " could not be removed, the first: " + first[0]);
        }
        return removed;
    }

    /** A path's bytes, each name read as the walk reads names. */
    private static String decodePath(byte[] b, int len) {
        StringBuilder path = new StringBuilder();
        for (int start = 0, end; start < len; start = end + 1) {
            for (end = start; end < len && b[end] != '/'; end++) { /* to the next name */ }
            if (start > 0) path.append('/');
            path.append(FolderIteratorNix.decode(b, start, end - start));
        }
        return path.toString();
    }

    /**
     * Opens a file for reading, by any path this library reports. Opening never waits: a FIFO
     * without a writer reads as empty. Reads block as on any stream; close it after use.
     *
     * @param path the file, as this library reports paths
     * @return a stream of the file's bytes; close() from any thread ends a read that waits
     * @throws java.io.FileNotFoundException when the file does not exist
     * @throws IOException when it cannot be opened or is a directory
     */
    public static InputStream newInputStream(String path) throws IOException {
        return new FdInputStream(openRead(path));
    }

    /** What every part of one walk shares: its configuration and what a close() must release. */
    private static final class Shared {
        final boolean attributes;
        final boolean postOrder;
        final int maxDepth;
        final Predicate<? super Entry> prune;
        final BiConsumer<String, String> onError;
        final NioPaths.Root root;
        private final List<NativeHandle> open = new ArrayList<>();
        volatile boolean closed;

        Shared(Walker w) {
            attributes = w.options.contains(Option.ATTRIBUTES);
            postOrder = w.options.contains(Option.DIRECTORIES_LAST);
            maxDepth = w.maxDepth;
            prune = w.prune;
            onError = w.onError;
            root = new NioPaths.Root(w.root, w.rootBytes);
        }

        /** Keeps h for close(); false (h closed) when the walk is closed already. */
        synchronized boolean add(NativeHandle h) {
            if (!closed) return open.add(h);
            h.close();
            return false;
        }

        synchronized void remove(NativeHandle h) { open.remove(h); }


        /** Any thread, any time: releases what every part of the walk holds. */
        void close() {
            List<NativeHandle> all;
            synchronized (this) {
                closed = true;
                all = new ArrayList<>(open);
                open.clear();
            }
            for (NativeHandle h : all) h.close();
        }
    }

    /** Entries split off a walk: one directory's unread entries, and what walks them. */
    private static final class Group {
        final NativeHandle dir;
        final Entry[] items;
        final AtomicInteger users = new AtomicInteger(1);  // the parts that still walk some of them

        Group(long handle, Entry[] items) {
            this.dir = new NativeHandle(this, handle, FileTree::closeGroup);
            this.items = items;
        }

        void release(Shared shared) {
            if (users.decrementAndGet() > 0) return;
            shared.remove(dir);
            dir.close();
        }
    }

    /**
     * A part of a walk: first a native walk, then groups of split-off entries (each directory
     * among them walked by a native walk of its own when reached) and, in post-order, the
     * directories whose report comes after those entries. trySplit gives away a prefix: the part
     * keeps what comes last, so that forEachOrdered sees the sequential order.
     */
    private static final class Part implements Spliterator<Entry> {
        private final Shared shared;
        private Reader current;
        private final ArrayDeque<Object> rest = new ArrayDeque<>();  // Slice, or Entry (a directory to report)
        private long estimate;

        /** Some of a group's entries, [next, end). */
        private static final class Slice {
            final Group group;
            int next;
            final int end;

            Slice(Group group, int next, int end) {
                this.group = group;
                this.next = next;
                this.end = end;
            }
        }

        Part(Shared shared, Reader current, long estimate) {
            this.shared = shared;
            this.current = current;
            this.estimate = estimate;
        }

        @Override
        public boolean tryAdvance(Consumer<? super Entry> action) {
            for (;;) {
                if (shared.closed) return false;  // nothing more once close() was called, on any thread
                if (current != null) {
                    if (current.hasNext()) {
                        action.accept(current.next());
                        return true;
                    }
                    current = null;
                    continue;
                }
                Object o = rest.pollFirst();
                if (o == null) return false;
                if (o instanceof Entry) {
                    action.accept((Entry) o);
                    return true;
                }
                Slice s = (Slice) o;
                if (s.next == s.end) {
                    s.group.release(shared);
                    continue;
                }
                Entry e = s.group.items[s.next++];
                rest.addFirst(s);
                boolean dir = e.type == Type.DIRECTORY;
                if (dir && shared.postOrder) rest.addFirst(e);  // reported after what lies below it
                if (dir && e.depth < shared.maxDepth && (shared.prune == null || !shared.prune.test(e))) {
                    current = open(s.group, e);
                }
                if (!dir || !shared.postOrder) {
                    action.accept(e);
                    return true;
                }
            }
        }

        /** The native walk of the directory e of group g. */
        private Reader open(Group g, Entry e) {
            long h = g.dir.enter();
            if (h == -1 || shared.closed) {
                if (h != -1) g.dir.leave();
                return null;
            }
            try {
                return new Reader(openPart(h, e.nameBytes, shared.maxDepth - e.depth), shared, e);
            } finally {
                g.dir.leave();
            }
        }

        @Override
        public void forEachRemaining(Consumer<? super Entry> action) {
            do {
                if (current != null) current.forEachRemaining(action);  // a batch at a time
                current = null;
            } while (tryAdvance(action));
        }

        @Override
        public Spliterator<Entry> trySplit() {
            Part prefix = null;
            if (current != null) {
                Object[] split = current.split();
                if (split != null) {
                    // This part keeps the entries taken off and, in post-order, the directories left after them.
                    for (int i = split.length - 1; i >= 1; i--) rest.addFirst(split[i]);
                    Group g = (Group) split[0];
                    if (g.items.length == 0) {
                        g.release(shared);
                    } else {
                        rest.addFirst(new Slice(g, 0, g.items.length));
                    }
                    prefix = new Part(shared, current, 0);
                } else if (!rest.isEmpty()) {
                    prefix = new Part(shared, current, 0);
                }
                if (prefix != null) current = null;
            } else if (rest.peekFirst() instanceof Slice && ((Slice) rest.peekFirst()).end - ((Slice) rest.peekFirst()).next >= 2) {
                Slice s = (Slice) rest.peekFirst();
                int mid = (s.next + s.end) >>> 1;
                s.group.users.incrementAndGet();
                prefix = new Part(shared, null, 0);
                prefix.rest.add(new Slice(s.group, s.next, mid));
                s.next = mid;
            } else if (rest.size() >= 2) {
                prefix = new Part(shared, null, 0);
                prefix.rest.add(rest.pollFirst());
            }
            if (prefix == null) return null;
            estimate = prefix.estimate = estimate / 2;
            return prefix;
        }

        @Override
        public long estimateSize() { return estimate; }

        @Override
        public int characteristics() { return Spliterator.NONNULL | Spliterator.ORDERED; }
    }

    private static final class Reader implements Iterator<Entry> {
        private final NativeHandle tree;
        private final Shared shared;
        private final boolean attributes;
        private final boolean postOrder;
        private final Predicate<? super Entry> prune;
        private final BiConsumer<String, String> onError;
        private final Entry base;  // the directory this walk starts in; null for the root
        private final int offset;  // base's depth
        private final byte[] batch = new byte[BATCH_BYTES];
        private final ByteBuffer view = ByteBuffer.wrap(batch).order(ByteOrder.nativeOrder());
        private Entry[] dirs = new Entry[16];  // dirs[d]: the directory at this walk's depth d being walked
        private int pos;
        private int end;
        private Entry next;
        /** Entries an action did not take before it threw, handed out before the batch goes on. */
        private final ArrayDeque<Entry> returned = new ArrayDeque<>();
        /** Set by close() before it releases anything, so that no later hasNext() reports an entry. */
        private volatile boolean closed;

        /** The walk asks not to enter the directory that ended the last batch. */
        private boolean skip;

        Reader(long handle, Shared shared, Entry base) {
            this.tree = new NativeHandle(this, handle, FileTree::closeTree);
            this.shared = shared;
            this.attributes = shared.attributes;
            this.postOrder = shared.postOrder;
            this.prune = shared.prune;
            this.onError = shared.onError;
            this.base = base;
            this.offset = base == null ? 0 : base.depth;
            if (!shared.add(tree)) closed = true;
        }

        /**
         * Takes the unread entries of the shallowest directory that has any off this walk: a Group,
         * then in post-order the directories on the path down to it, deepest first, whose report
         * comes after those entries. Null when there is nothing to take.
         */
        synchronized Object[] split() {
            if (closed) return null;
            long h = tree.enter();
            if (h == -1) return null;
            long g;
            try {
                g = splitTree(h);
            } finally {
                tree.leave();
            }
            if (g == 0) return null;
            int level = groupDepth(g);
            byte[] records = groupRecords(g);
            ByteBuffer v = ByteBuffer.wrap(records).order(ByteOrder.nativeOrder());
            Entry parent = level == 0 ? base : dirs[level];
            List<Entry> items = new ArrayList<>();
            for (int at = 0; at < records.length;) {
                int len = ((records[at + 5] & 0xff) << 8) | (records[at + 6] & 0xff);
                items.add(entry(records, v, at, len, parent, offset + level + 1));
                at += entryLength(len);
            }
            Group group = new Group(g, items.toArray(new Entry[0]));
            if (!shared.add(group.dir)) return null;  // closed meanwhile: nothing more is reported anyway
            Object[] out = new Object[1 + (postOrder ? level : 0)];
            out[0] = group;
            for (int d = level, i = 1; postOrder && d >= 1; d--) out[i++] = dirs[d];
            return out;
        }

        /** The bytes of an entry record whose name is nameLen bytes long. */
        private int entryLength(int nameLen) { return HEADER_BYTES + nameLen + (attributes ? 8 * ATTRIBUTE_COUNT : 0); }

        /** The entry record at `at` of b (its name `len` bytes long). */
        private Entry entry(byte[] b, ByteBuffer v, int at, int len, Entry parent, int depth) {
            int name = at + HEADER_BYTES;
            long[] attrs = null;
            if (attributes) {
                attrs = new long[ATTRIBUTE_COUNT];
                for (int i = 0; i < ATTRIBUTE_COUNT; i++) attrs[i] = v.getLong(name + len + 8 * i);
            }
            Entry e = new Entry(parent, FolderIteratorNix.decode(b, name, len), Arrays.copyOfRange(b, name, name + len),
                    TYPES[b[at]], depth, attrs);
            e.root = shared.root;
            return e;
        }

        @Override
        public synchronized boolean hasNext() {
            if (next == null && shared.closed) return false;  // nothing more once close() returned
            if (next == null && !returned.isEmpty()) next = returned.poll();  // also after the end was read
            if (next == null && closed) return false;
            while (next == null) {
                if (pos == end && !fill()) return false;
                next = parse();
            }
            return true;
        }

        @Override
        public synchronized Entry next() {
            // What hasNext() promised before a close() from another thread is still handed out.
            if (next == null && !hasNext()) throw new NoSuchElementException();
            Entry e = next;
            next = null;
            return e;
        }

        /**
         * Hands the rest to action a batch at a time: one lock per batch, not per entry. Entries not
         * yet handed when action throws go back, so the next call starts with them; none is handed
         * once close() was called.
         */
        @Override
        public void forEachRemaining(Consumer<? super Entry> action) {
            Entry[] taken = new Entry[BATCH_BYTES / HEADER_BYTES + 1];
            for (int n; (n = take(taken)) > 0;) {
                int i = 0;
                try {
                    // Only the caller's close() stops the handing out: the walk's own end (closed) does not.
                    while (i < n && !shared.closed) action.accept(taken[i++]);
                } finally {
                    if (i < n) putBack(taken, i, n);
                }
                if (shared.closed) return;
            }
        }

        /**
         * Moves the entries left in the current batch (read first if none) into out; 0 at the end.
         * It stops before a failure, so that the handler hears of it after the entries before it,
         * and at the end of the batch: a take never reads a second one.
         */
        private synchronized int take(Entry[] out) {
            int n = 0;
            while (n < out.length) {
                if (next == null && !returned.isEmpty()) next = returned.poll();
                while (next == null && pos < end && !closed) next = parse();
                if (next == null && (n > 0 || !hasNext())) break;
                out[n++] = next;
                next = null;
                if (returned.isEmpty() && (pos == end || failureNext())) break;
            }
            return n;
        }

        /** Puts taken[from, to) back, first in line. */
        private synchronized void putBack(Entry[] taken, int from, int to) {
            if (next != null) returned.addFirst(next);
            for (int i = to - 1; i > from; i--) returned.addFirst(taken[i]);
            next = taken[from];
        }

        /** Whether a failure comes before the next entry to report in the batch. */
        private boolean failureNext() {
            for (int p = pos; p < end; p += entryLength(u16(p + 5))) {
                if (batch[p] == FAILURE) return true;
                if (!postOrder || batch[p] != DIRECTORY) return false;  // only a directory's first record reports nothing
            }
            return false;
        }

        /** Any thread, any time: a batch being read meanwhile is dropped, the walk released after it. */
        void close() {
            closed = true;
            shared.remove(tree);
            tree.close();
        }

        private boolean fill() {
            if (closed) return false;
            long h = tree.enter();
            if (h == -1) return false;
            try {
                pos = 0;
                end = readTree(h, batch, skip);
                skip = false;
            } finally {
                tree.leave();
                Reference.reachabilityFence(this);
            }
            if (end > 0 && !closed) return true;
            end = 0;
            close();
            return false;
        }

        private int u16(int at) { return ((batch[at] & 0xff) << 8) | (batch[at + 1] & 0xff); }

        /**
         * The record at pos as the entry to report; null for a failure, which goes to the handler,
         * and for a directory whose report comes later (post-order).
         */
        private Entry parse() {
            int kind = batch[pos];
            int depth = (u16(pos + 1) << 16) | u16(pos + 3);
            int len = u16(pos + 5);
            int at = pos + HEADER_BYTES;
            if (kind == LEAVE) {
                pos = at;
                return dirs[depth];
            }
            Entry parent = depth > 1 ? dirs[depth - 1] : base;
            if (kind == FAILURE) {
                String name = FolderIteratorNix.decode(batch, at, len);
                int textLen = u16(at + len);
                pos = at + len + 2 + textLen;
                String text = new String(batch, at + len + 2, textLen, Charset.defaultCharset());
                String dir = depth == 0 ? (base == null ? "" : base.path()) : parent == null ? name : parent.path() + "/" + name;
                onError.accept(dir, text);
                return null;
            }
            Entry e = entry(batch, view, pos, len, parent, offset + depth);
            pos += entryLength(len);
            if (e.type != Type.DIRECTORY) return e;
            if (depth >= dirs.length) dirs = Arrays.copyOf(dirs, depth * 2);
            dirs[depth] = e;
            // The walk stops a batch after a directory it would enter, so that this answer comes first.
            if (prune != null && prune.test(e) && pos == end) skip = true;
            return postOrder ? null : e;
        }
    }

    /**
     * Reads through the library's own natives, which wait in poll() on the file and on a wake-up
     * descriptor, so that close() from another thread ends a blocked read at once (as a
     * FileChannel's asynchronous close does); the descriptor is closed only once no read uses it.
     */
    private static final class FdInputStream extends InputStream {
        private final NativeHandle fd;

        FdInputStream(long fd) {
            this.fd = new NativeHandle(this, fd, new NativeHandle.Natives() {
                @Override
                public void release(long value) { closeFd(value); }

                @Override
                public void wake(long value) { wakeFd(value); }
            });
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
            long f = fd.enter();
            if (f == -1) throw new IOException("Stream closed");
            try {
                int n;
                // A signal ends the native read early: go on unless the stream was closed meanwhile.
                while ((n = FileTree.read(f, b, off, len)) == INTERRUPTED) {
                    if (fd.isClosed()) break;
                }
                if (n == CLOSED || n == INTERRUPTED) throw new IOException("Stream closed");
                return n;
            } finally {
                fd.leave();
                Reference.reachabilityFence(this);
            }
        }

        /** Any thread, any time: a read blocked meanwhile ends with IOException("Stream closed"). */
        @Override
        public void close() { fd.close(); }
    }

    private static native void checkFormat(int[] format);

    private static native long openTreeBytes(byte[] root, boolean attributes, boolean sameFileSystem, boolean sorted,
            boolean directoriesLast, boolean followLinks, int maxDepth, boolean stopAtDirectories) throws IOException;

    private static native long deleteOpenBytes(byte[] path) throws IOException;

    private static native long usageOpenBytes(byte[] path, boolean sameFileSystem) throws IOException;

    private static native long openReadBytes(byte[] path) throws IOException;

    private static native long openTree(String root, boolean attributes, boolean sameFileSystem, boolean sorted,
            boolean directoriesLast, boolean followLinks, int maxDepth, boolean stopAtDirectories) throws IOException;

    /** Fills batch with whole records; 0 at the end. skip: the directory that ended the last batch is not entered. */
    private static native int readTree(long handle, byte[] batch, boolean skip);

    private static native void closeTree(long handle);

    /** Takes the unread entries of the shallowest directory that has any off the walk; 0 when none. */
    private static native long splitTree(long handle);

    /** The records of a group's entries. */
    private static native byte[] groupRecords(long group);

    /** The depth of a group's directory in the walk it came from (0: that walk's top). */
    private static native int groupDepth(long group);

    /** A walk of the directory `name` of a group, as the whole walk would have walked it. */
    private static native long openPart(long group, byte[] name, int maxDepth);

    private static native void closeGroup(long group);

    private static native long deleteOpen(String path) throws IOException;

    private static native long usageOpen(String root, boolean sameFileSystem) throws IOException;

    /**
     * The next failure of a job (the path's bytes, a NUL, the text's bytes), waiting while it goes on
     * (at most waitMillis unless negative: then an empty array); null at its end. done gets the
     * entries and bytes done so far.
     */
    private static native byte[] jobNext(long job, int waitMillis, long[] done);

    private static native long copyOpen(String source, String target, boolean sameFileSystem) throws IOException;

    /** {@link #copyOpen} of the paths' own bytes, opened as they are. */
    private static native long copyOpenBytes(byte[] source, byte[] target, boolean sameFileSystem) throws IOException;

    /** Stops what runs of a copy, frees it; the number of entries created. */
    private static native long copyClose(long job);

    /** Stops what still runs and frees the job; the number of entries removed. */
    private static native long deleteClose(long job);

    /** Stops what still runs and frees the job; its sums into sums (entries, directories, files, bytes, blocks). */
    private static native void usageClose(long job, long[] sums);

    /** The descriptor and, for what may block (not a regular file), a wake-up eventfd, in one long. */
    private static native long openRead(String path) throws IOException;

    /** Bytes read, -1 at the end, CLOSED once woken by close(), INTERRUPTED after a signal. */
    private static native int read(long fd, byte[] b, int off, int len) throws IOException;

    private static native void wakeFd(long fd);

    private static native void closeFd(long fd);
}
