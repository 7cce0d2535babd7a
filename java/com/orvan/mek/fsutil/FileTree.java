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
 * handler with its path and the {@code java.nio.file} exception that fits, and the walk goes on.
 *
 * <p>Failures, of the handlers and of these calls alike, are the {@code java.nio.file} exceptions
 * the JDK throws: {@link java.nio.file.AccessDeniedException} (EACCES, EPERM),
 * {@link java.nio.file.NoSuchFileException} (ENOENT), {@link java.nio.file.NotDirectoryException}
 * (ENOTDIR), {@link java.nio.file.FileSystemLoopException} (a link leading back into the walk),
 * {@link java.nio.file.DirectoryNotEmptyException} (ENOTEMPTY), otherwise
 * {@link java.nio.file.FileSystemException}; {@code getFile()} is the path, {@code getReason()} the
 * system's error text.
 */
public final class FileTree {
    static {
        NativeLoader.load();
        Records.check();  // the natives write what this package reads, or nothing runs
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

    /** What happened to an entry: what a sync did to the target, or what a watch saw. */
    public enum ChangeKind {
        /** The entry is new (or took the place of one of another type, reported {@link #REMOVED} first). */
        CREATED,
        /** A file's data changed, or a name joined or left a group of hard links. */
        MODIFIED,
        /** Metadata alone changed (mode, owner, times, extended attributes, ACLs): the same inode, no data written. */
        ATTRIBUTES,
        /** The entry is gone, and with a directory everything below it. */
        REMOVED,
        /** The entry was renamed within the tree: {@link Change#fromPath()} is where it was, {@link Change#path()} where it is. */
        MOVED,
        /** Changes were lost and the tree was read again: the changes that follow bring the listing up to date. */
        OVERFLOW
    }

    /**
     * One change to an entry of a tree. Applied in order to a listing of the tree (paths and types),
     * the changes give the tree as it stands after them: {@link ChangeKind#CREATED} puts the path (an
     * existing one takes the new type), {@link ChangeKind#REMOVED} takes the path and everything below
     * it away, {@link ChangeKind#MOVED} takes {@link #fromPath()} and what is below it to {@link #path()}
     * (replacing what was there); {@link ChangeKind#MODIFIED}, {@link ChangeKind#ATTRIBUTES} and
     * {@link ChangeKind#OVERFLOW} change no path.
     */
    public static final class Change {
        private final ChangeKind kind;
        private final Type type;
        private final String path;
        private final byte[] root;
        private final byte[] pathBytes;
        private final String fromPath;
        private final byte[] fromBytes;

        Change(ChangeKind kind, Type type, byte[] root, byte[] pathBytes, byte[] fromBytes) {
            this.kind = kind;
            this.type = type;
            this.root = root;
            this.pathBytes = pathBytes;
            this.path = NameCodec.decodePath(pathBytes, 0, pathBytes.length);
            this.fromBytes = fromBytes;
            this.fromPath = fromBytes == null ? null : NameCodec.decodePath(fromBytes, 0, fromBytes.length);
        }

        /** @return what happened */
        public ChangeKind kind() { return kind; }

        /** @return the entry's type where it is known (after the change; before it for {@link ChangeKind#REMOVED}), else null */
        public Type type() { return type; }

        /** @return the entry's path below the root, its names joined with "/", as {@link Entry#path()} shows it; "" for the root */
        public String path() { return path; }

        /** @return the entry's path below the root as its bytes (a copy) */
        public byte[] pathBytes() { return pathBytes.clone(); }

        /** @return for {@link ChangeKind#MOVED}, the path below the root the entry had before; else null */
        public String fromPath() { return fromPath; }

        /** @return the entry itself, byte for byte, as {@link Entry#toPath()} names a listed entry */
        public Path toPath() { return NioPaths.path(root, NioPaths.names(pathBytes)); }

        /** @return for {@link ChangeKind#MOVED}, where the entry was, byte for byte; else null */
        public Path fromToPath() { return fromBytes == null ? null : NioPaths.path(root, NioPaths.names(fromBytes)); }

        @Override
        public String toString() {
            return kind + " " + (fromPath == null ? path : fromPath + " -> " + path);
        }
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
    public static final BiConsumer<String, IOException> LOG_FAILURES = (path, error) ->
            System.getLogger(FileTree.class.getName()).log(System.Logger.Level.WARNING, "{0}: {1}", path, reason(error));

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
        public long device() { return attribute(Records.DEV); }

        /** @return {@code st_ino} */
        public long inode() { return attribute(Records.INO); }

        /** @return {@code st_mode}: the file type and permission bits */
        public int mode() { return (int) attribute(Records.MODE); }

        /** @return {@code st_nlink}, the number of hard links */
        public long links() { return attribute(Records.NLINK); }

        /** @return {@code st_uid}, the owner */
        public int uid() { return (int) attribute(Records.UID); }

        /** @return {@code st_gid}, the group */
        public int gid() { return (int) attribute(Records.GID); }

        /** @return the size in bytes; for a link, the length of its target */
        public long size() { return attribute(Records.SIZE); }

        /** @return the 512-byte blocks allocated */
        public long blocks() { return attribute(Records.BLOCKS); }

        /** @return the time of the last access ({@code st_atime}), to the nanosecond */
        public FileTime lastAccessTime() { return time(Records.ATIME); }

        /** @return the time of the last modification ({@code st_mtime}), to the nanosecond */
        public FileTime lastModifiedTime() { return time(Records.MTIME); }

        /** @return the time of the last status change ({@code st_ctime}), to the nanosecond */
        public FileTime lastChangeTime() { return time(Records.CTIME); }

        /** @return the name's bytes as the directory gave them (a copy) */
        public byte[] nameBytes() { return nameBytes.clone(); }

        /** The name's bytes themselves, for this package's natives. */
        byte[] rawNameBytes() { return nameBytes; }

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
     * @throws java.nio.file.NoSuchFileException when the root does not exist
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
     * @throws java.nio.file.NoSuchFileException when the root does not exist
     * @throws IOException when the root cannot be opened as a directory
     */
    public static Stream<Entry> walk(String root, BiConsumer<String, IOException> onError, Option... options)
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
     * @throws java.nio.file.NoSuchFileException when the root does not exist
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
     * @throws java.nio.file.NoSuchFileException when the root does not exist
     * @throws IOException when the root cannot be opened as a directory
     */
    public static Stream<Entry> walk(Path root, BiConsumer<String, IOException> onError, Option... options)
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
        return NioPaths.path(NativeDispatcher.resolve(path));
    }

    /** A walk to configure; {@link #stream()} starts it. Not thread-safe; each stream() is a walk of its own. */
    public static final class Walker {
        private final String root;
        private final EnumSet<Option> options = EnumSet.noneOf(Option.class);
        private int maxDepth = Integer.MAX_VALUE;
        private Predicate<? super Entry> prune;
        private BiConsumer<String, IOException> onError = LOG_FAILURES;

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
         * Where failures go: the path (relative to the root; "" for the root) and the exception of
         * each directory that cannot be opened or read, or of a link that leads back into a loop
         * ({@link java.nio.file.FileSystemLoopException}), on the thread consuming the stream, at its
         * place in the walk. What it throws ends the walk. The default is {@link #LOG_FAILURES}.
         *
         * @param onError gets the path and the exception of each failure
         * @return this walk
         */
        public Walker onError(BiConsumer<String, IOException> onError) {
            this.onError = Objects.requireNonNull(onError, "onError");
            return this;
        }

        /**
         * Opens the root and returns the walk as a lazy stream; close it (try-with-resources) to
         * release the open directories, also when stopping early. The root itself is opened as
         * named (a link there is followed, like {@code find -H}).
         *
         * @return the entries below the root, to close after use
         * @throws java.nio.file.NoSuchFileException when the root does not exist
         * @throws java.nio.file.NotDirectoryException when the root is not a directory
         * @throws IOException when the root cannot be opened as a directory
         */
        public Stream<Entry> stream() throws IOException {
            boolean attributes = options.contains(Option.ATTRIBUTES), sameFs = options.contains(Option.SAME_FILE_SYSTEM);
            boolean sorted = options.contains(Option.SORTED), last = options.contains(Option.DIRECTORIES_LAST);
            boolean follow = options.contains(Option.FOLLOW_LINKS), stops = prune != null;
            long handle = rootBytes != null
                    ? NativeDispatcher.openTreeBytes(rootBytes, attributes, sameFs, sorted, last, follow, maxDepth, stops)
                    : NativeDispatcher.openTree(root, attributes, sameFs, sorted, last, follow, maxDepth, stops);
            WalkState shared = new WalkState(attributes, last, maxDepth, prune, onError, new NioPaths.Root(root, rootBytes));
            WalkSpliterator whole = new WalkSpliterator(shared, new WalkReader(handle, shared, null), Long.MAX_VALUE);
            return StreamSupport.stream(whole, false).onClose(shared::close);
        }
    }

    /**
     * Removes {@code path} and everything below it, like {@code rm -rf} but never outside it:
     * every removal is relative to the open parent directory, every directory is entered without
     * following links (a link, also one given as {@code path}, is removed itself), and nothing on
     * another file system is entered or removed. The subtrees are removed on as many threads as
     * the machine has cores. What cannot be removed goes to {@code onError} (its path relative to
     * {@code path}, "" for {@code path} itself, and the exception that fits) on the calling thread,
     * and the rest goes on; the directories holding such an entry stay. What the handler throws
     * stops the removal and reaches the caller.
     *
     * @param path the file or directory to remove
     * @param onError where each failure goes
     * @return the number of entries removed, {@code path} included
     * @throws java.nio.file.NoSuchFileException when {@code path} does not exist
     * @throws IOException when its directory cannot be opened, or for ".", ".." and "/"
     */
    public static long delete(String path, BiConsumer<String, IOException> onError) throws IOException {
        return delete(path, onError, null);
    }

    /**
     * {@link #delete(String, BiConsumer)}, watched while it runs.
     *
     * @param path the file or directory to remove
     * @param onError where each failure goes
     * @param progress told the entries removed so far (bytes are not counted), or null
     * @return the number of entries removed, {@code path} included
     * @throws java.nio.file.NoSuchFileException when {@code path} does not exist
     * @throws IOException when its directory cannot be opened, or for ".", ".." and "/"
     */
    public static long delete(String path, BiConsumer<String, IOException> onError, Progress progress) throws IOException {
        Objects.requireNonNull(onError, "onError");
        long job = NativeDispatcher.deleteOpen(path);
        long removed;
        try {
            TreeJob.failures(job, onError, progress);
        } finally {
            removed = NativeDispatcher.deleteClose(job);
        }
        return removed;
    }

    /**
     * {@link #delete(String, BiConsumer)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param path the file or directory to remove
     * @param onError where each failure goes
     * @return the number of entries removed, {@code path} included
     * @throws java.nio.file.NoSuchFileException when {@code path} does not exist
     * @throws IOException when its directory cannot be opened, or for ".", ".." and "/"
     */
    public static long delete(Path path, BiConsumer<String, IOException> onError) throws IOException {
        byte[] b = NioPaths.bytes(path, "[FileTree.delete] ");
        Objects.requireNonNull(onError, "onError");
        long job = NativeDispatcher.deleteOpenBytes(b);
        long removed;
        try {
            TreeJob.failures(job, onError, null);
        } finally {
            removed = NativeDispatcher.deleteClose(job);
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
            if (failures[0]++ == 0) first[0] = (p.isEmpty() ? path.toString() : path + "/" + p) + ": " + reason(e);
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
     * @throws java.nio.file.NoSuchFileException when root does not exist
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
     * @throws java.nio.file.NoSuchFileException when root does not exist
     * @throws IOException when its directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}, which a sum does not follow
     */
    public static Usage usage(Path root, BiConsumer<String, IOException> onError, Option... options) throws IOException {
        byte[] b = NioPaths.bytes(root, "[FileTree.usage] ");
        Objects.requireNonNull(onError, "onError");
        EnumSet<Option> set = EnumSet.noneOf(Option.class);
        for (Option o : options) set.add(Objects.requireNonNull(o, "option"));
        if (set.contains(Option.FOLLOW_LINKS)) throw new IllegalArgumentException("[FileTree.usage] FOLLOW_LINKS is not supported");
        long job = NativeDispatcher.usageOpenBytes(b, set.contains(Option.SAME_FILE_SYSTEM));
        long[] sums = new long[Records.USAGE_COUNT];
        try {
            TreeJob.failures(job, onError, null);
        } finally {
            NativeDispatcher.usageClose(job, sums);
        }
        return new Usage(sums);
    }

    /**
     * {@link #newInputStream(String)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param path the file
     * @return a stream of the file's bytes; close() from any thread ends a read that waits
     * @throws java.nio.file.NoSuchFileException when the file does not exist
     * @throws IOException when it cannot be opened or is a directory
     */
    public static InputStream newInputStream(Path path) throws IOException {
        return new FdInputStream(NativeDispatcher.openReadBytes(NioPaths.bytes(path, "[FileTree.newInputStream] ")));
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
    public static long copy(String source, String target, BiConsumer<String, IOException> onError, Option... options)
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
        return copyOrThrow(source, onError -> copy(source, target, onError, null, options));
    }

    /** A copy whose failures, counted, become one IOException naming the first (its path below source). */
    @FunctionalInterface
    private interface CountedCopy {
        long run(BiConsumer<String, IOException> onError) throws IOException;
    }

    private static long copyOrThrow(String source, CountedCopy copy) throws IOException {
        String[] first = {null};
        long[] failures = {0};
        long created = copy.run((p, e) -> {
            if (failures[0]++ == 0) first[0] = (p.isEmpty() ? source : source + "/" + p) + ": " + reason(e);
        });
        if (failures[0] > 0) {
            throw new IOException("[FileTree.copy] " + failures[0] + (failures[0] == 1 ? " entry" : " entries")
                    + " could not be copied, the first: " + first[0]);
        }
        return created;
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
     * itself, and the exception that fits) on the calling thread, and the rest goes on; a file whose data
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
     * @throws java.nio.file.NoSuchFileException when {@code source}, or the directory of {@code target}, does not exist
     * @throws java.nio.file.FileAlreadyExistsException when {@code target} exists
     * @throws IOException when {@code target} lies inside {@code source} (nothing is created), or a directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}: a copy never follows links
     * @throws NullPointerException for a null argument other than {@code progress}
     */
    public static long copy(String source, String target, BiConsumer<String, IOException> onError, Progress progress,
            Option... options) throws IOException {
        Objects.requireNonNull(source, "[FileTree.copy] source is null");
        Objects.requireNonNull(target, "[FileTree.copy] target is null");
        boolean sameFs = copyOptions(onError, options);
        return copyRun(NativeDispatcher.copyOpen(source, target, sameFs), onError, progress);
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
    public static long copy(Path source, Path target, BiConsumer<String, IOException> onError, Option... options)
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
        return copyOrThrow(String.valueOf(source), onError -> copy(source, target, onError, null, options));
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
    public static long copy(Path source, Path target, BiConsumer<String, IOException> onError, Progress progress,
            Option... options) throws IOException {
        byte[] from = NioPaths.bytes(Objects.requireNonNull(source, "[FileTree.copy] source is null"), "[FileTree.copy] ");
        byte[] to = NioPaths.bytes(Objects.requireNonNull(target, "[FileTree.copy] target is null"), "[FileTree.copy] ");
        boolean sameFs = copyOptions(onError, options);
        return copyRun(NativeDispatcher.copyOpenBytes(from, to, sameFs), onError, progress);
    }

    /** Checks copy's handler and options; whether SAME_FILE_SYSTEM is among them. */
    private static boolean copyOptions(BiConsumer<String, IOException> onError, Option... options) {
        Objects.requireNonNull(onError, "[FileTree.copy] onError is null");
        EnumSet<Option> set = EnumSet.noneOf(Option.class);
        for (Option o : Objects.requireNonNull(options, "[FileTree.copy] options is null")) {
            set.add(Objects.requireNonNull(o, "[FileTree.copy] option is null"));
        }
        if (set.contains(Option.FOLLOW_LINKS)) throw new IllegalArgumentException("[FileTree.copy] FOLLOW_LINKS is not supported");
        return set.contains(Option.SAME_FILE_SYSTEM);
    }

    /** Hands a started copy's failures and progress over until it is done; the entries it created. */
    private static long copyRun(long job, BiConsumer<String, IOException> onError, Progress progress) {
        long created;
        try {
            TreeJob.failures(job, onError, progress);
        } finally {
            created = NativeDispatcher.copyClose(job);
        }
        return created;
    }

    /**
     * Makes the directory {@code target} equal to {@code source} (creating it when missing), changing
     * only what differs: {@code syncer(source, target).with(options).run()}, failing once it is done
     * when anything could not be synced. See {@link Syncer} and docs/sync.md.
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @param options {@link Option#SAME_FILE_SYSTEM}, as {@link Syncer#with}
     * @return what was changed
     * @throws IOException of the first failure's type, naming it and the number of failures, once everything
     *     else was synced; or as {@link Syncer#run()}
     */
    public static SyncResult sync(String source, String target, Option... options) throws IOException {
        return syncOrThrow(syncer(source, target).with(options));
    }

    /**
     * {@link #sync(String, String, Option...)} of {@link Path}s, by their own bytes.
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @param options as the String form
     * @return what was changed
     * @throws IOException as the String form
     */
    public static SyncResult sync(Path source, Path target, Option... options) throws IOException {
        return syncOrThrow(syncer(source, target).with(options));
    }

    /**
     * A sync of {@code target} to {@code source}, to configure and {@link Syncer#run() run}.
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @return the sync
     */
    public static Syncer syncer(String source, String target) { return new Syncer(source, target); }

    /**
     * {@link #syncer(String, String)} of {@link Path}s, by their own bytes: names no charset can show are synced too.
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @return the sync
     */
    public static Syncer syncer(Path source, Path target) { return new Syncer(source, target); }

    private static SyncResult syncOrThrow(Syncer syncer) throws IOException {
        IOException[] first = {null};
        long[] failures = {0};
        SyncResult result = syncer.onError((p, e) -> {
            if (failures[0]++ == 0) first[0] = e;
        }).run();
        if (failures[0] > 0) throw Failures.counted("[FileTree.sync] ", first[0], failures[0], "synced");
        return result;
    }

    /** What a {@link #sync} changed in the target (in a dry run: would change), by kind of change. */
    public static final class SyncResult {
        private final long[] counts;

        SyncResult(long[] counts) { this.counts = counts; }

        /** @return the entries created, each entry below a new directory included */
        public long created() { return counts[Records.SYNC_CREATED]; }

        /** @return the files given new data, and the names that joined or left a group of hard links */
        public long modified() { return counts[Records.SYNC_MODIFIED]; }

        /** @return the entries whose metadata alone was set */
        public long attributes() { return counts[Records.SYNC_ATTRIBUTES]; }

        /** @return the entries removed (a directory once, what was below it not counted) */
        public long removed() { return counts[Records.SYNC_REMOVED]; }

        /** @return the entries found equal */
        public long unchanged() { return counts[Records.SYNC_COUNT - 2]; }

        /** @return the bytes of file data written */
        public long bytes() { return counts[Records.SYNC_COUNT - 1]; }

        @Override
        public String toString() {
            return "created " + created() + ", modified " + modified() + ", attributes " + attributes() + ", removed "
                    + removed() + ", unchanged " + unchanged() + ", bytes " + bytes();
        }
    }

    /** What {@link #usage} sums: every inode once (a file with several links where it is met first), the root included. */
    public static final class Usage {
        private final long[] sums;

        private Usage(long[] sums) { this.sums = sums; }

        /** @return the entries, devices and sockets too */
        public long entries() { return sums[Records.USAGE_ENTRIES]; }

        /** @return the directories, the root included */
        public long directories() { return sums[Records.USAGE_DIRECTORIES]; }

        /** @return the regular files */
        public long files() { return sums[Records.USAGE_FILES]; }

        /** @return the apparent sizes in bytes ({@code st_size}, as {@code du -sb}) */
        public long bytes() { return sums[Records.USAGE_BYTES]; }

        /** @return the 512-byte blocks allocated ({@code st_blocks}, as {@code du -s -B512}) */
        public long blocks() { return sums[Records.USAGE_BLOCKS]; }

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
     * @throws java.nio.file.NoSuchFileException when root does not exist
     * @throws IOException when its directory cannot be opened
     */
    public static Usage usage(String root, Option... options) throws IOException {
        return usage(root, LOG_FAILURES, options);
    }

    /**
     * Sums the tree below {@code root} as {@code du} does, natively, with no Java object per entry,
     * on as many threads as the machine has cores. A link is counted, not followed (the root too);
     * what cannot be read goes to {@code onError} (its path relative to root and the exception that fits) on
     * the calling thread, and the sum goes on. What the handler throws stops the sum.
     *
     * @param root the file or directory to sum
     * @param onError where each failure goes
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system
     *     ({@code du -x}); the others do not change a sum
     * @return the sums
     * @throws java.nio.file.NoSuchFileException when root does not exist
     * @throws IOException when its directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}, which a sum does not follow
     */
    public static Usage usage(String root, BiConsumer<String, IOException> onError, Option... options) throws IOException {
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
     * @throws java.nio.file.NoSuchFileException when root does not exist
     * @throws IOException when its directory cannot be opened
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}, which a sum does not follow
     */
    public static Usage usage(String root, BiConsumer<String, IOException> onError, Progress progress, Option... options)
            throws IOException {
        Objects.requireNonNull(onError, "onError");
        EnumSet<Option> set = EnumSet.noneOf(Option.class);
        for (Option o : options) set.add(Objects.requireNonNull(o, "option"));
        if (set.contains(Option.FOLLOW_LINKS)) throw new IllegalArgumentException("[FileTree.usage] FOLLOW_LINKS is not supported");
        long job = NativeDispatcher.usageOpen(root, set.contains(Option.SAME_FILE_SYSTEM));
        long[] sums = new long[Records.USAGE_COUNT];
        try {
            TreeJob.failures(job, onError, progress);
        } finally {
            NativeDispatcher.usageClose(job, sums);
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
            if (failures[0]++ == 0) first[0] = (p.isEmpty() ? path : path + "/" + p) + ": " + reason(e);
        });
        if (failures[0] > 0) {
            throw new IOException("[FileTree.delete] " + failures[0] + (failures[0] == 1 ? " entry" : " entries")
                    + " could not be removed, the first: " + first[0]);
        }
        return removed;
    }

    /**
     * Opens a file for reading, by any path this library reports. Opening never waits: a FIFO
     * without a writer reads as empty. Reads block as on any stream; close it after use.
     *
     * @param path the file, as this library reports paths
     * @return a stream of the file's bytes; close() from any thread ends a read that waits
     * @throws java.nio.file.NoSuchFileException when the file does not exist
     * @throws IOException when it cannot be opened or is a directory
     */
    public static InputStream newInputStream(String path) throws IOException {
        return new FdInputStream(NativeDispatcher.openRead(path));
    }

    /** The system's text of a failure handed to a handler. */
    private static String reason(IOException e) {
        return e instanceof java.nio.file.FileSystemException ? ((java.nio.file.FileSystemException) e).getReason() : e.getMessage();
    }
}
