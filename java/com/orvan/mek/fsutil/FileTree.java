package com.orvan.mek.fsutil;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.FileSystemException;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.util.EnumSet;
import java.util.Objects;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;
import java.util.function.Consumer;
import java.util.function.Predicate;
import java.util.stream.Stream;
import java.util.stream.StreamSupport;

/**
 * Whole trees: walked, deleted, summed and copied natively, through open directory descriptors,
 * at any depth and whatever the bytes of the names; the jobs on every core.
 *
 * <p>Each operation has one builder and short static forms: {@link #walker(String)} and
 * {@link #walk(String, Option...)}, {@link #deleter(String)} and {@link #delete(String)},
 * {@link #measurer(String)} and {@link #usage(String, Option...)}, {@link #copier(String, String)} and
 * {@link #copy(String, String, Option...)}; each takes a {@code String} or a {@link Path}. A builder
 * takes {@code onError}, {@code progress} and {@code with(Option...)}, then runs.
 *
 * <p>A failure on one entry does not stop a walk or a job: it goes to the handler with its path
 * (relative to the root; "" for the root itself) and the {@code java.nio.file} exception that
 * fits, on the calling thread, and the rest goes on; what the handler throws stops the call and
 * reaches the caller. A walk given no handler logs each failure ({@link #LOG_FAILURES}); a job given
 * none throws, once it is done, the first failure (of the class the handler would have got, its
 * path joined to the root, its message naming how many failed, the others attached as suppressed,
 * up to a hundred).
 *
 * <p>Failures, of the handlers and of these calls alike, are the {@code java.nio.file} exceptions
 * the JDK throws: {@link java.nio.file.AccessDeniedException} (EACCES, EPERM),
 * {@link java.nio.file.NoSuchFileException} (ENOENT), {@link java.nio.file.NotDirectoryException}
 * (ENOTDIR), {@link java.nio.file.FileSystemLoopException} (a link leading back into the walk),
 * {@link java.nio.file.DirectoryNotEmptyException} (ENOTEMPTY), otherwise
 * {@link java.nio.file.FileSystemException}; {@code getFile()} is the path, {@code getReason()} the
 * system's error text.
 *
 * <p>A path {@code String} reaches the entry a listing reads as it, name by name; where a name could
 * mean two existing entries (in UTF-8, "é" is both C3 A9 and the reading of a lone E9), every call
 * refuses it with a {@link java.nio.file.FileSystemException} whose reason begins "Ambiguous name",
 * touching nothing: the {@link Path} forms ({@link Entry#toPath()}) name such entries.
 */
public final class FileTree {
    static {
        NativeLoader.load();
        Records.check();  // the natives write what this package reads, or nothing runs
    }

    private FileTree() {}

    /**
     * The type of an entry, as {@code lstat} sees it (a link is not followed unless asked). A walk
     * and a listing report the first four; a copy, a sync and a watch meet the others too.
     */
    public enum Type {
        /** A regular file. */
        FILE,
        /** A directory. */
        DIRECTORY,
        /** A symbolic link, dangling or not. */
        SYMLINK,
        /** A named pipe. */
        FIFO,
        /** A character device. */
        CHARACTER_DEVICE,
        /** A block device. */
        BLOCK_DEVICE,
        /** A socket. */
        SOCKET;

        private static final Type[] BY_CODE = new Type[Records.FIFO + 1];

        static {
            BY_CODE[Records.FILE] = FILE;
            BY_CODE[Records.DIRECTORY] = DIRECTORY;
            BY_CODE[Records.SYMLINK] = SYMLINK;
            BY_CODE[Records.FIFO] = FIFO;
        }

        /** The type of a record's type code; null for a code the records leave unknown. */
        static Type of(int code) { return code > 0 && code < BY_CODE.length ? BY_CODE[code] : null; }
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
        OVERFLOW;

        /** The kind of a sync's change code (Records.SYNC_CREATED..SYNC_REMOVED). */
        static ChangeKind ofSync(int code) {
            switch (code) {
                case Records.SYNC_CREATED: return CREATED;
                case Records.SYNC_MODIFIED: return MODIFIED;
                case Records.SYNC_ATTRIBUTES: return ATTRIBUTES;
                case Records.SYNC_REMOVED: return REMOVED;
                default: throw new IllegalStateException("sync change code " + code);
            }
        }

        /** The kind of a watch record's kind code (Records.WATCH_CREATED..WATCH_OVERFLOW, in this order). */
        static ChangeKind ofWatch(int code) { return values()[code - Records.WATCH_CREATED]; }
    }

    /**
     * One change to an entry of a tree. Applied in order to a listing of the tree (paths and types),
     * the changes give the tree as it stands after them: {@link ChangeKind#CREATED} puts the path (an
     * existing one takes the new type), {@link ChangeKind#REMOVED} takes the path and everything below
     * it away (a missing one: nothing), {@link ChangeKind#MOVED} takes {@link #fromPath()} and what is
     * below it to {@link #path()} (replacing what was there); {@link ChangeKind#MODIFIED},
     * {@link ChangeKind#ATTRIBUTES} and {@link ChangeKind#OVERFLOW} change no path.
     *
     * <p>For a {@link Watch} this holds in every case, overflow included: applied in order to the
     * listing {@link #walk} gives of the root when {@link #watch} returned (paths and types), the
     * changes taken give the tree as it stands once activity stops and every change has been taken.
     * After an {@link ChangeKind#OVERFLOW} (the root's path, "") the watch has read the tree again, and
     * the changes that follow it are the differences from what it had reported before.
     */
    public static final class Change {
        private final ChangeKind kind;
        private final Type type;
        private final String path;
        private final byte[] root;
        private final byte[] pathBytes;
        private final String fromPath;
        private final byte[] fromBytes;

        private Change(ChangeKind kind, Type type, byte[] root, byte[] pathBytes, byte[] fromBytes) {
            this.kind = kind;
            this.type = type;
            this.root = root;
            this.pathBytes = pathBytes;
            this.path = NameCodec.decodePath(pathBytes, 0, pathBytes.length);
            this.fromBytes = fromBytes;
            this.fromPath = fromBytes == null ? null : NameCodec.decodePath(fromBytes, 0, fromBytes.length);
        }

        /**
         * The change a watch record tells of: the helpers read plain codes, the facade names them.
         *
         * @param kind a watch record's kind code
         * @param type an entry type code, 0 where unknown
         * @param root the watched root's bytes
         * @param pathBytes the path's bytes below the root
         * @param fromBytes for a move, the path's bytes it came from; else null
         */
        static Change ofWatch(int kind, int type, byte[] root, byte[] pathBytes, byte[] fromBytes) {
            ChangeKind k = ChangeKind.ofWatch(kind);
            return new Change(k, Type.of(type), root, pathBytes, k == ChangeKind.MOVED ? fromBytes : null);
        }

        /** @return what happened */
        public ChangeKind kind() { return kind; }

        /** @return the entry's type where it is known (after the change; before it for {@link ChangeKind#REMOVED}), else null */
        public Type type() { return type; }

        /** @return the entry's path below the root, its names joined with "/", as {@link Entry#path()} shows it; "" for the root */
        public String path() { return path; }

        /** @return the entry's path below the root as its bytes (a copy) */
        public byte[] pathBytes() { return pathBytes.clone(); }

        /** @return for {@link ChangeKind#MOVED}, the path below the root the entry had before, as its bytes (a copy); else null */
        public byte[] fromPathBytes() { return fromBytes == null ? null : fromBytes.clone(); }

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

    /**
     * A watch of a whole tree, from {@link #watch(String, BiConsumer, Option...)}: its changes in the
     * order they happened, taken as from a {@link java.nio.file.WatchService}. Close it after use.
     */
    public interface Watch extends AutoCloseable {
        /**
         * @return the next change, waiting for one; failures met meanwhile go to the handler first
         * @throws InterruptedException when interrupted while waiting
         * @throws java.nio.file.ClosedWatchServiceException once closed, or once the root's {@link ChangeKind#REMOVED} was taken
         */
        Change take() throws InterruptedException;

        /**
         * @return the next change, or null when none is waiting
         * @throws java.nio.file.ClosedWatchServiceException as {@link #take()}
         */
        Change poll();

        /**
         * @param timeout how long to wait at most
         * @param unit its unit
         * @return the next change, or null when none came in time
         * @throws InterruptedException when interrupted while waiting
         * @throws java.nio.file.ClosedWatchServiceException as {@link #take()}
         */
        Change poll(long timeout, TimeUnit unit) throws InterruptedException;

        /** Stops the watch from any thread, waking a blocked {@link #take()}; releases its descriptor, kernel watches and thread. */
        @Override
        void close();
    }

    /**
     * {@link #watch(String, BiConsumer, Option...)} with {@link #LOG_FAILURES}.
     *
     * @param root the directory to watch
     * @param options {@link Option#SAME_FILE_SYSTEM}: other file systems are not watched
     * @return the watch, every directory of the tree watched
     * @throws IOException when the root cannot be opened or watched
     */
    public static Watch watch(String root, Option... options) throws IOException {
        return watch(root, LOG_FAILURES, options);
    }

    /**
     * Watches every directory of the tree below {@code root} (docs/watch.md): when it returns, each is
     * watched, and every change after that is reported, also in directories created or moved in later
     * (what they already held reported {@link ChangeKind#CREATED}), renames within the tree as one
     * {@link ChangeKind#MOVED}, and after a lost kernel event queue an {@link ChangeKind#OVERFLOW}
     * followed by the differences found by reading the tree again (see {@link Change}). Links are not
     * followed. A directory that cannot be watched (the limit {@code fs.inotify.max_user_watches}
     * reached, a permission refused) goes to {@code onError} with its path and a
     * {@link java.nio.file.FileSystemException} saying why, on the calling thread during this call and
     * on the thread taking changes after; the rest is watched. The root removed or moved away: its
     * {@link ChangeKind#REMOVED} is the last change. A watch dropped unclosed is released by a Cleaner.
     *
     * @param root the directory to watch
     * @param onError where each directory that cannot be watched or read goes
     * @param options {@link Option#SAME_FILE_SYSTEM}: directories on another file system are reported, not
     *     watched nor entered; {@link Option#ATTRIBUTES}, {@link Option#SORTED} and
     *     {@link Option#DIRECTORIES_LAST} are ignored
     * @return the watch, every directory of the tree watched
     * @throws java.nio.file.NoSuchFileException when the root does not exist
     * @throws IOException when the root cannot be opened or watched (the reason names the limit reached)
     * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}: a watch never follows links
     */
    public static Watch watch(String root, BiConsumer<String, IOException> onError, Option... options) throws IOException {
        Objects.requireNonNull(onError, "[FileTree.watch] onError is null");
        boolean sameFs = jobOptions("[FileTree.watch] ", options).contains(Option.SAME_FILE_SYSTEM);
        return new TreeWatch(TreeWatcher.open(root, null, onError, TreeWatcher.queueSize(), sameFs, Change.class, Change::ofWatch));
    }

    /**
     * {@link #watch(String, Option...)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the directory to watch
     * @param options as the full form
     * @return the watch
     * @throws IOException as the full form
     */
    public static Watch watch(Path root, Option... options) throws IOException {
        return watch(root, LOG_FAILURES, options);
    }

    /**
     * {@link #watch(String, BiConsumer, Option...)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the directory to watch
     * @param onError where each directory that cannot be watched or read goes
     * @param options as the full form
     * @return the watch
     * @throws IOException as the full form
     */
    public static Watch watch(Path root, BiConsumer<String, IOException> onError, Option... options) throws IOException {
        return watch(root, onError, TreeWatcher.queueSize(), options);
    }

    /** {@link #watch(Path, BiConsumer, Option...)} with a queue of queueSize changes. */
    static Watch watch(Path root, BiConsumer<String, IOException> onError, int queueSize, Option... options) throws IOException {
        Objects.requireNonNull(onError, "[FileTree.watch] onError is null");
        boolean sameFs = jobOptions("[FileTree.watch] ", options).contains(Option.SAME_FILE_SYSTEM);
        return new TreeWatch(TreeWatcher.open(root, onError, queueSize, sameFs, Change.class, Change::ofWatch));
    }

    /** The facade's face of a {@link TreeWatcher}: its changes made {@link Change}s by {@link Change#ofWatch}. */
    private static final class TreeWatch implements Watch {
        private final TreeWatcher<Change> watcher;

        TreeWatch(TreeWatcher<Change> watcher) { this.watcher = watcher; }

        @Override
        public Change take() throws InterruptedException { return watcher.take(); }

        @Override
        public Change poll() { return watcher.poll(); }

        @Override
        public Change poll(long timeout, TimeUnit unit) throws InterruptedException { return watcher.poll(timeout, unit); }

        @Override
        public void close() { watcher.close(); }

        @Override
        public String toString() { return watcher.toString(); }
    }

    /** Options of a walk or a job; each says which calls it changes. */
    public enum Option {
        /** A walk's entries carry their {@code lstat} record (one {@code fstatat} on the open directory). Jobs ignore it. */
        ATTRIBUTES,
        /**
         * Nothing on another file system than the root's is entered: a walk reports such a directory
         * ({@code find -xdev}), a usage does not count it ({@code du -x}), a copy makes it empty
         * ({@code cp -x}); a delete never crosses a mount point anyway.
         */
        SAME_FILE_SYSTEM,
        /** Within each directory, a walk's entries in ascending order of their name bytes (unsigned). Jobs ignore it. */
        SORTED,
        /** A walk reports each directory after everything below it (post-order, {@code find -depth}). Jobs ignore it. */
        DIRECTORIES_LAST,
        /**
         * A walk follows links, like {@code find -L}: an entry reached through a link has its target's
         * type and attributes, a link to a directory is entered, a dangling link stays
         * {@link Type#SYMLINK}. A link leading back to a directory on the current path is reported,
         * not entered, and goes to the error handler. The jobs refuse it: they act on links themselves.
         */
        FOLLOW_LINKS
    }

    /**
     * Watches a long job (copy, delete, usage): told the entries and bytes done so far, on the
     * calling thread, every 250 ms while the job runs and once more with the final counts when it
     * is done. What it throws stops the job and reaches the caller.
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
     * The handler of a walk given none: one {@link System.Logger} warning per failure, on the
     * logger named {@code com.orvan.mek.fsutil.FileTree}, "PATH: reason". Given to a call of this
     * class, PATH is the whole path (the root's own for a failure of the root itself); called
     * directly, the path it is handed.
     */
    public static final BiConsumer<String, IOException> LOG_FAILURES = (path, error) ->
            System.getLogger(FileTree.class.getName()).log(System.Logger.Level.WARNING, "{0}: {1}", path, reason(error));

    /** The handler a call hands its failures to: {@link #LOG_FAILURES} logs each by its whole path, the root's for the root itself. */
    private static BiConsumer<String, IOException> named(BiConsumer<String, IOException> onError, String root) {
        if (onError != LOG_FAILURES) return onError;
        return (path, error) -> LOG_FAILURES.accept(path.isEmpty() ? root : root + "/" + path, error);
    }

    /** An entry of a walked tree. */
    public static final class Entry extends WalkNode {
        Entry(WalkNode parent, String name, byte[] nameBytes, int type, int depth, long[] attributes, NioPaths.Root root) {
            super(parent, name, nameBytes, type, depth, attributes, root);
        }

        /** @return the directory holding this entry; null for the root's own entries */
        public Entry parent() { return (Entry) parent; }

        /** @return the path below the root, its names joined with "/" */
        public String path() { return relativePath(); }

        /** @return the last name of the path, read as the listing reads names */
        public String name() { return name; }

        /** @return the entry's type (its target's, where a link was followed) */
        public Type type() { return Type.of(type); }

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

        /**
         * A {@link Path} naming this very entry, byte for byte: the root's bytes (a {@code Path}
         * root's own; a string root's as this library resolved it, see {@link FileTree#toPath(String)}),
         * then each name's bytes as the directory gave them. Every {@link java.nio.file.Files} call,
         * and every library built on {@code java.nio.file}, then acts on that entry, in any locale,
         * also where {@link #path()} could not show the name. Relative when the root was.
         *
         * @return the entry's path
         */
        public Path toPath() { return exactPath(); }

        private long attribute(int i) {
            if (attributes == null) throw new IllegalStateException("walked without Option.ATTRIBUTES");
            return attributes[i];
        }

        private FileTime time(int i) {
            return FileTime.from(attribute(i) * 1_000_000_000L + attribute(i + 1), TimeUnit.NANOSECONDS);
        }

        @Override
        public String toString() { return type() + " " + path(); }
    }

    /**
     * The {@link Path} of a path string as this library resolves it, name by name: the bytes a
     * listing reads as that name (its platform-charset bytes where the charset maps it exactly,
     * else its ISO-8859-1 bytes); where both read as it and both exist, the string is ambiguous.
     * So {@code toPath(root + "/" + entry.path())} names that very entry for {@code java.nio.file},
     * also for a name the platform charset cannot show.
     *
     * @param path a path as this library takes paths; it need not exist
     * @return its byte-exact {@code Path}, relative when {@code path} is
     * @throws NullPointerException when path is null
     * @throws java.nio.file.InvalidPathException when a name could mean two existing entries
     *     (reason "Ambiguous name: ..."), has no bytes any listing reads as it, or holds a NUL
     */
    public static Path toPath(String path) {
        return NioPaths.path(NativeDispatcher.resolve(path));
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

    /**
     * {@link #newInputStream(String)} of a {@link Path}, by its own bytes (read from its URI, so a
     * {@code Path} from {@link java.nio.file.Files#list} reaches its entry even where
     * {@code toString()} lost bytes), opened as they are, with no charset and no probe.
     *
     * @param path the file
     * @return a stream of the file's bytes; close() from any thread ends a read that waits
     * @throws java.nio.file.NoSuchFileException when the file does not exist
     * @throws IOException when it cannot be opened or is a directory
     */
    public static InputStream newInputStream(Path path) throws IOException {
        return new FdInputStream(NativeDispatcher.openReadBytes(NioPaths.bytes(path, "[FileTree.newInputStream] ")));
    }

    // ---- walk

    /**
     * {@code walker(root).with(options).stream()}: the entries below {@code root}, failures logged.
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
     * {@link #walk(String, Option...)} of a {@link Path}, by its own bytes.
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
     * A walk of the tree below {@code root} to configure, then {@link Walker#stream()}.
     *
     * @param root the directory to walk
     * @return a walk with no option, every depth, nothing pruned, failures logged
     * @throws NullPointerException when root is null
     */
    public static Walker walker(String root) {
        return new Walker(Objects.requireNonNull(root, "[FileTree.walk] path is null"), null);
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

    /** A walk to configure; {@link #stream()} starts it. Not thread-safe; each stream() is a walk of its own. */
    public static final class Walker {
        private final String root;
        private final byte[] rootBytes;  // a Path root's bytes; null for a string root
        private final EnumSet<Option> options = EnumSet.noneOf(Option.class);
        private int maxDepth = Integer.MAX_VALUE;
        private Predicate<? super Entry> prune;
        private BiConsumer<String, IOException> onError = LOG_FAILURES;

        private Walker(String root, byte[] rootBytes) {
            this.root = root;
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
            for (Option o : Objects.requireNonNull(options, "[FileTree.walk] options is null")) {
                this.options.add(Objects.requireNonNull(o, "[FileTree.walk] option is null"));
            }
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
        @SuppressWarnings("unchecked")  // every node of this walk is made by Entry::new
        public Stream<Entry> stream() throws IOException {
            boolean attributes = options.contains(Option.ATTRIBUTES), sameFs = options.contains(Option.SAME_FILE_SYSTEM);
            boolean sorted = options.contains(Option.SORTED), last = options.contains(Option.DIRECTORIES_LAST);
            boolean follow = options.contains(Option.FOLLOW_LINKS), stops = prune != null;
            long handle = rootBytes != null
                    ? NativeDispatcher.openTreeBytes(rootBytes, attributes, sameFs, sorted, last, follow, maxDepth, stops)
                    : NativeDispatcher.openTree(root, attributes, sameFs, sorted, last, follow, maxDepth, stops);
            Predicate<? super Entry> p = prune;
            WalkState shared = new WalkState(attributes, last, maxDepth, p == null ? null : node -> p.test((Entry) node),
                    named(onError, root), new NioPaths.Root(root, rootBytes), Entry::new);
            WalkSpliterator whole = new WalkSpliterator(shared, new WalkReader(handle, shared, null), Long.MAX_VALUE);
            return (Stream<Entry>) (Stream<?>) StreamSupport.stream(whole, false).onClose(shared::close);
        }
    }

    // ---- delete

    /**
     * {@code deleter(path).run()}: removes {@code path} and everything below it, and throws the
     * first failure once everything else was removed.
     *
     * @param path the file or directory to remove
     * @return the number of entries removed, {@code path} included
     * @throws IOException the first failure, the others suppressed; or as {@link Deleter#run()}
     */
    public static long delete(String path) throws IOException {
        return deleter(path).run();
    }

    /**
     * {@link #delete(String)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param path the file or directory to remove
     * @return the number of entries removed, {@code path} included
     * @throws IOException the first failure, the others suppressed; or as {@link Deleter#run()}
     */
    public static long delete(Path path) throws IOException {
        return deleter(path).run();
    }

    /**
     * A removal of {@code path} and everything below it to configure, then {@link Deleter#run()}.
     *
     * @param path the file or directory to remove
     * @return a removal whose failures are thrown when it is done
     * @throws NullPointerException when path is null
     */
    public static Deleter deleter(String path) {
        return new Deleter(Objects.requireNonNull(path, "[FileTree.delete] path is null"), null);
    }

    /**
     * {@link #deleter(String)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param path the file or directory to remove
     * @return a removal whose failures are thrown when it is done
     * @throws NullPointerException when path is null
     */
    public static Deleter deleter(Path path) {
        byte[] bytes = NioPaths.bytes(path, "[FileTree.delete] ");
        return new Deleter(path.toString(), bytes);
    }

    /**
     * Removes a path and everything below it, like {@code rm -rf} but never outside it: every
     * removal is relative to the open parent directory, every directory is entered without
     * following links (a link, also one given as the path, is removed itself), and nothing on
     * another file system is entered or removed. Subtrees are removed on as many threads as the
     * machine has cores. The directories holding an entry that could not be removed stay.
     */
    public static final class Deleter {
        private final String path;
        private final byte[] bytes;
        private BiConsumer<String, IOException> onError;
        private Progress progress;

        private Deleter(String path, byte[] bytes) {
            this.path = path;
            this.bytes = bytes;
        }

        /**
         * @param onError gets the path (relative to the removed path, "" for itself) and the exception
         *     of each entry that cannot be removed; the rest goes on
         * @return this removal
         */
        public Deleter onError(BiConsumer<String, IOException> onError) {
            this.onError = Objects.requireNonNull(onError, "[FileTree.delete] onError is null");
            return this;
        }

        /**
         * @param progress told the entries removed so far (bytes are not counted)
         * @return this removal
         */
        public Deleter progress(Progress progress) {
            this.progress = Objects.requireNonNull(progress, "[FileTree.delete] progress is null");
            return this;
        }

        /**
         * @param options none changes a removal, which never crosses a mount point; {@link Option#FOLLOW_LINKS} is refused
         * @return this removal
         * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}
         */
        public Deleter with(Option... options) {
            jobOptions("[FileTree.delete] ", options);
            return this;
        }

        /**
         * Removes the path and everything below it.
         *
         * @return the number of entries removed, the path included
         * @throws java.nio.file.NoSuchFileException when the path does not exist
         * @throws IOException when its directory cannot be opened, for ".", ".." and "/", or, without
         *     a handler, the first failure once everything else was removed
         */
        public long run() throws IOException {
            return runJob("[FileTree.delete] ", path, "removed", onError, progress,
                    () -> bytes != null ? NativeDispatcher.deleteOpenBytes(bytes) : NativeDispatcher.deleteOpen(path),
                    NativeDispatcher::deleteClose);
        }
    }

    // ---- sync

    /**
     * Makes the directory {@code target} equal to {@code source} (creating it when missing), changing
     * only what differs: {@code syncer(source, target).with(options).run()}, and throws the first
     * failure once everything else was synced. See {@link Syncer} and docs/sync.md.
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @param options {@link Option#SAME_FILE_SYSTEM}, as {@link Syncer#with}
     * @return what was changed
     * @throws IOException the first failure, its path joined to the target, the others suppressed; or as
     *     {@link Syncer#run()}
     */
    public static SyncResult sync(String source, String target, Option... options) throws IOException {
        return syncer(source, target).with(options).run();
    }

    /**
     * {@link #sync(String, String, Option...)} of {@link Path}s, by their own bytes (see {@link #walker(Path)}).
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @param options as the String form
     * @return what was changed
     * @throws IOException as the String form
     */
    public static SyncResult sync(Path source, Path target, Option... options) throws IOException {
        return syncer(source, target).with(options).run();
    }

    /**
     * A sync of {@code target} to {@code source}, to configure, then {@link Syncer#run()}.
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @return a sync that throws its first failure once done, unless given a handler
     * @throws NullPointerException when source or target is null
     */
    public static Syncer syncer(String source, String target) {
        Objects.requireNonNull(source, "[FileTree.sync] source is null");
        Objects.requireNonNull(target, "[FileTree.sync] target is null");
        return new Syncer(source, target, null, null);
    }

    /**
     * {@link #syncer(String, String)} of {@link Path}s, by their own bytes (see {@link #walker(Path)}):
     * names no charset can show are synced too.
     *
     * @param source the tree to copy from
     * @param target the directory to make equal to it
     * @return a sync that throws its first failure once done, unless given a handler
     * @throws NullPointerException when source or target is null
     */
    public static Syncer syncer(Path source, Path target) {
        byte[] from = NioPaths.bytes(Objects.requireNonNull(source, "[FileTree.sync] source is null"), "[FileTree.sync] ");
        byte[] to = NioPaths.bytes(Objects.requireNonNull(target, "[FileTree.sync] target is null"), "[FileTree.sync] ");
        return new Syncer(source.toString(), target.toString(), from, to);
    }

    /**
     * A sync to configure: afterwards {@code target} is what {@link FileTree#copy(String, String, Option...) copy}
     * would have made of {@code source}, as {@code rsync -aHAX --delete --modify-window=-1 SRC/ DST/}
     * intends, and only what differed was touched: see docs/sync.md. Not thread-safe; each
     * {@link #run()} is a sync of its own.
     */
    public static final class Syncer {
        // The flags the natives take.
        private static final int SAME_FILE_SYSTEM = RecordFormat.SYNC_FLAG_SAME_FILE_SYSTEM;
        private static final int DRY_RUN = RecordFormat.SYNC_FLAG_DRY_RUN;
        private static final int KEEP_EXTRAS = RecordFormat.SYNC_FLAG_KEEP_EXTRAS;
        private static final int DURABLE = RecordFormat.SYNC_FLAG_DURABLE;
        private static final int REPORT_CHANGES = RecordFormat.SYNC_FLAG_REPORT_CHANGES;

        private final String source;
        private final String target;
        private final byte[] sourceBytes;  // null for string paths
        private final byte[] targetBytes;
        private BiConsumer<String, IOException> onError;  // null: thrown once done
        private Progress progress;
        private Consumer<Change> onChange;
        private int flags;

        private Syncer(String source, String target, byte[] sourceBytes, byte[] targetBytes) {
            this.source = source;
            this.target = target;
            this.sourceBytes = sourceBytes;
            this.targetBytes = targetBytes;
        }

        /**
         * Where each failure goes, on the calling thread: its path relative to the roots ("" for the
         * roots themselves) and the exception that fits; the sync goes on. What it throws stops the
         * sync and reaches the caller. Without one, {@link #run()} throws the first failure once
         * everything else was synced, as {@link FileTree#sync(String, String, Option...)} does.
         *
         * @param handler the failure handler
         * @return this sync
         */
        public Syncer onError(BiConsumer<String, IOException> handler) {
            onError = Objects.requireNonNull(handler, "[FileTree.sync] onError is null");
            return this;
        }

        /**
         * Told the entries done and the file bytes written so far, as for a copy.
         *
         * @param listener the progress listener, or null for none
         * @return this sync
         */
        public Syncer progress(Progress listener) {
            progress = listener;
            return this;
        }

        /**
         * @param options {@link Option#SAME_FILE_SYSTEM}: a source directory on another file system
         *     is made with its attributes, not entered, and its target counterpart keeps what it holds;
         *     {@link Option#ATTRIBUTES}, {@link Option#SORTED} and {@link Option#DIRECTORIES_LAST} are ignored
         * @return this sync
         * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}: a sync never follows links
         */
        public Syncer with(Option... options) {
            if (jobOptions("[FileTree.sync] ", options).contains(Option.SAME_FILE_SYSTEM)) flags |= SAME_FILE_SYSTEM;
            return this;
        }

        /**
         * Nothing is changed: the changes the sync would make go to {@link #onChange}, and the counts
         * of the result are theirs ({@link SyncResult#bytes()}: the bytes that would be written).
         *
         * @return this sync
         */
        public Syncer dryRun() {
            flags |= DRY_RUN;
            return this;
        }

        /**
         * Nothing is removed from the target, not even what the source lacks.
         *
         * @return this sync
         */
        public Syncer keepExtras() {
            flags |= KEEP_EXTRAS;
            return this;
        }

        /**
         * Each new file's data reaches the disk ({@code fsync}) before it takes its name, and each
         * changed directory is synced once done: a crash leaves the old file or the new, never a short one.
         *
         * @return this sync
         */
        public Syncer durable() {
            flags |= DURABLE;
            return this;
        }

        /**
         * Told each change to the target, once per entry, on the calling thread, as it is made. What
         * it throws stops the sync and reaches the caller.
         *
         * @param listener the change listener
         * @return this sync
         */
        public Syncer onChange(Consumer<Change> listener) {
            onChange = Objects.requireNonNull(listener, "[FileTree.sync] onChange is null");
            return this;
        }

        /**
         * Runs the sync on as many threads as the machine has cores.
         *
         * @return what was changed (in a dry run: what would be)
         * @throws java.nio.file.NoSuchFileException when {@code source}, or the directory of {@code target}, does not exist
         * @throws IOException before anything changes, when {@code target} exists and is not a directory (a
         *     link to one included), when either lies inside the other or they are the same, or when
         *     {@code source} is not a directory and {@code target} exists
         */
        public SyncResult run() throws IOException {
            int f = flags | (onChange != null ? REPORT_CHANGES : 0);
            Consumer<Change> listener = onChange;
            byte[][] root = {targetBytes};  // a string target's bytes resolved once the sync made it
            JobRunner.Changes changes = listener == null ? null : (kind, type, path) -> {
                if (root[0] == null) root[0] = NativeDispatcher.resolve(target);
                listener.accept(new Change(ChangeKind.ofSync(kind), Type.of(type), root[0], path, null));
            };
            return runJob("[FileTree.sync] ", target, "synced", onError, progress, changes,
                    () -> sourceBytes != null ? NativeDispatcher.syncOpenBytes(sourceBytes, targetBytes, f)
                            : NativeDispatcher.syncOpen(source, target, f),
                    job -> {
                        long[] counts = new long[Records.SYNC_COUNT];
                        NativeDispatcher.syncClose(job, counts);
                        return new SyncResult(counts);
                    });
        }
    }

    /** What a {@link #sync} changed in the target (in a dry run: would change), by kind of change. */
    public static final class SyncResult {
        private final long[] counts;

        private SyncResult(long[] counts) { this.counts = counts; }

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
    // ---- usage

    /** What a usage sums: every inode once (a file with several links where it is met first), the root included. */
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
     * {@code measurer(root).with(options).run()}: sums the tree below {@code root}, and throws the
     * first failure once everything else was counted.
     *
     * @param root the file or directory to sum
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system ({@code du -x})
     * @return the sums
     * @throws IOException the first failure, the others suppressed; or as {@link Measurer#run()}
     */
    public static Usage usage(String root, Option... options) throws IOException {
        return measurer(root).with(options).run();
    }

    /**
     * {@link #usage(String, Option...)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the file or directory to sum
     * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system ({@code du -x})
     * @return the sums
     * @throws IOException the first failure, the others suppressed; or as {@link Measurer#run()}
     */
    public static Usage usage(Path root, Option... options) throws IOException {
        return measurer(root).with(options).run();
    }

    /**
     * A sum of the tree below {@code root} to configure, then {@link Measurer#run()}.
     *
     * @param root the file or directory to sum
     * @return a sum whose failures are thrown when it is done
     * @throws NullPointerException when root is null
     */
    public static Measurer measurer(String root) {
        return new Measurer(Objects.requireNonNull(root, "[FileTree.usage] path is null"), null);
    }

    /**
     * {@link #measurer(String)} of a {@link Path}, by its own bytes (see {@link #walker(Path)}).
     *
     * @param root the file or directory to sum
     * @return a sum whose failures are thrown when it is done
     * @throws NullPointerException when root is null
     */
    public static Measurer measurer(Path root) {
        byte[] bytes = NioPaths.bytes(root, "[FileTree.usage] ");
        return new Measurer(root.toString(), bytes);
    }

    /**
     * Sums a tree as {@code du} does, natively, with no Java object per entry, on as many threads
     * as the machine has cores. A link is counted, not followed (the root too); a directory that
     * cannot be read is counted itself.
     */
    public static final class Measurer {
        private final String root;
        private final byte[] bytes;
        private BiConsumer<String, IOException> onError;
        private Progress progress;
        private boolean sameFileSystem;

        private Measurer(String root, byte[] bytes) {
            this.root = root;
            this.bytes = bytes;
        }

        /**
         * @param onError gets the path (relative to the root, "" for itself) and the exception of each
         *     entry that cannot be read; the sum goes on
         * @return this sum
         */
        public Measurer onError(BiConsumer<String, IOException> onError) {
            this.onError = Objects.requireNonNull(onError, "[FileTree.usage] onError is null");
            return this;
        }

        /**
         * @param progress told the entries counted and their apparent bytes so far
         * @return this sum
         */
        public Measurer progress(Progress progress) {
            this.progress = Objects.requireNonNull(progress, "[FileTree.usage] progress is null");
            return this;
        }

        /**
         * @param options {@link Option#SAME_FILE_SYSTEM} counts nothing on another file system
         *     ({@code du -x}); the others but {@link Option#FOLLOW_LINKS} do not change a sum
         * @return this sum
         * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}, which a sum does not follow
         */
        public Measurer with(Option... options) {
            sameFileSystem |= jobOptions("[FileTree.usage] ", options).contains(Option.SAME_FILE_SYSTEM);
            return this;
        }

        /**
         * Sums the tree.
         *
         * @return the sums
         * @throws java.nio.file.NoSuchFileException when the root does not exist
         * @throws IOException when its directory cannot be opened, or, without a handler, the first
         *     failure once everything else was counted
         */
        public Usage run() throws IOException {
            boolean sameFs = sameFileSystem;
            return runJob("[FileTree.usage] ", root, "counted", onError, progress,
                    () -> bytes != null ? NativeDispatcher.usageOpenBytes(bytes, sameFs) : NativeDispatcher.usageOpen(root, sameFs),
                    job -> {
                        long[] sums = new long[Records.USAGE_COUNT];
                        NativeDispatcher.usageClose(job, sums);
                        return new Usage(sums);
                    });
        }
    }

    // ---- copy

    /**
     * {@code copier(source, target).with(options).run()}: copies {@code source} to the new path
     * {@code target}, and throws the first failure once everything else was copied.
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param options {@link Option#SAME_FILE_SYSTEM} ({@code cp -x})
     * @return the number of entries created, {@code target} included
     * @throws IOException the first failure, the others suppressed; or as {@link Copier#run()}
     */
    public static long copy(String source, String target, Option... options) throws IOException {
        return copier(source, target).with(options).run();
    }

    /**
     * {@link #copy(String, String, Option...)} of {@link Path}s, by their own bytes (see {@link #walker(Path)}).
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @param options {@link Option#SAME_FILE_SYSTEM} ({@code cp -x})
     * @return the number of entries created, {@code target} included
     * @throws IOException the first failure, the others suppressed; or as {@link Copier#run()}
     */
    public static long copy(Path source, Path target, Option... options) throws IOException {
        return copier(source, target).with(options).run();
    }

    /**
     * A copy of {@code source} to the new path {@code target} to configure, then {@link Copier#run()}.
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @return a copy whose failures are thrown when it is done
     * @throws NullPointerException when source or target is null
     */
    public static Copier copier(String source, String target) {
        Objects.requireNonNull(source, "[FileTree.copy] source is null");
        Objects.requireNonNull(target, "[FileTree.copy] target is null");
        return new Copier(source, target, null, null);
    }

    /**
     * {@link #copier(String, String)} of {@link Path}s, by their own bytes (see {@link #walker(Path)}):
     * names no charset can show are copied, and the target named, too.
     *
     * @param source the file, link or directory to copy
     * @param target the new path of the copy: it must not exist, its directory must
     * @return a copy whose failures are thrown when it is done
     * @throws NullPointerException when source or target is null
     */
    public static Copier copier(Path source, Path target) {
        byte[] from = NioPaths.bytes(Objects.requireNonNull(source, "[FileTree.copy] source is null"), "[FileTree.copy] ");
        byte[] to = NioPaths.bytes(Objects.requireNonNull(target, "[FileTree.copy] target is null"), "[FileTree.copy] ");
        return new Copier(source.toString(), target.toString(), from, to);
    }

    /**
     * Copies a tree to a new path exactly, as {@code cp -a} does, on as many threads as the machine
     * has cores: every entry's name bytes and type (file, directory, link with its target's bytes,
     * FIFO, socket, device), its mode with the set-ID and sticky bits, owner and group where this
     * process may set them (else the copier's, and then the set-ID bits are not kept), access and
     * modification times in nanoseconds (a directory's set after its contents, a link's own),
     * extended attributes (ACLs included), hard links among the copied entries (one inode, several
     * names) and holes of sparse files. Data never leaves the kernel. Links are never followed, the
     * source itself included; nothing is created outside the target, whatever is swapped into it
     * meanwhile. A file whose data could not be copied whole (a full disk) is removed and reported;
     * a directory that cannot be read is made, empty, and reported.
     */
    public static final class Copier {
        private final String source;
        private final String target;
        private final byte[] sourceBytes;
        private final byte[] targetBytes;
        private BiConsumer<String, IOException> onError;
        private Progress progress;
        private boolean sameFileSystem;

        private Copier(String source, String target, byte[] sourceBytes, byte[] targetBytes) {
            this.source = source;
            this.target = target;
            this.sourceBytes = sourceBytes;
            this.targetBytes = targetBytes;
        }

        /**
         * @param onError gets the path (relative to the source, "" for itself) and the exception of
         *     each entry that cannot be copied; the rest goes on
         * @return this copy
         */
        public Copier onError(BiConsumer<String, IOException> onError) {
            this.onError = Objects.requireNonNull(onError, "[FileTree.copy] onError is null");
            return this;
        }

        /**
         * @param progress told the entries created and file bytes copied so far
         * @return this copy
         */
        public Copier progress(Progress progress) {
            this.progress = Objects.requireNonNull(progress, "[FileTree.copy] progress is null");
            return this;
        }

        /**
         * @param options {@link Option#SAME_FILE_SYSTEM}: a directory on another file system than the
         *     source is made with its attributes but not entered ({@code cp -x}); {@link Option#ATTRIBUTES},
         *     {@link Option#SORTED} and {@link Option#DIRECTORIES_LAST} change only what a walk reports
         * @return this copy
         * @throws IllegalArgumentException for {@link Option#FOLLOW_LINKS}: a copy never follows links
         */
        public Copier with(Option... options) {
            sameFileSystem |= jobOptions("[FileTree.copy] ", options).contains(Option.SAME_FILE_SYSTEM);
            return this;
        }

        /**
         * Copies the source to the target.
         *
         * @return the number of entries created, the target included
         * @throws java.nio.file.NoSuchFileException when the source, or the directory of the target, does not exist
         * @throws java.nio.file.FileAlreadyExistsException when the target exists
         * @throws IOException when the target lies inside the source (nothing is created), a directory
         *     cannot be opened, or, without a handler, the first failure once everything else was copied
         */
        public long run() throws IOException {
            boolean sameFs = sameFileSystem;
            return runJob("[FileTree.copy] ", source, "copied", onError, progress,
                    () -> sourceBytes != null ? NativeDispatcher.copyOpenBytes(sourceBytes, targetBytes, sameFs)
                            : NativeDispatcher.copyOpen(source, target, sameFs),
                    NativeDispatcher::copyClose);
        }
    }

    // ---- the jobs' one runner

    /** Starts a native job: its handle. */
    @FunctionalInterface
    private interface JobStart {
        long open() throws IOException;
    }

    /** Runs a job to its end; without a handler, throws its first failure then. */
    private static <R> R runJob(String tag, String root, String failed, BiConsumer<String, IOException> onError,
            Progress progress, JobStart start, JobRunner.End<R> end) throws IOException {
        return runJob(tag, root, failed, onError, progress, null, start, end);
    }

    /** {@link #runJob(String, String, String, BiConsumer, Progress, JobStart, JobRunner.End)} of a job that reports changes. */
    private static <R> R runJob(String tag, String root, String failed, BiConsumer<String, IOException> onError,
            Progress progress, JobRunner.Changes changes, JobStart start, JobRunner.End<R> end) throws IOException {
        FailureThrower thrower = onError == null ? new FailureThrower(tag, root, failed) : null;
        long job = start.open();
        R result = JobRunner.run(job, thrower != null ? thrower : named(onError, root), progress == null ? null : progress::update,
                changes, end);
        if (thrower != null) thrower.throwFirst();
        return result;
    }

    /** The options of a job, checked: none null, no FOLLOW_LINKS. */
    private static EnumSet<Option> jobOptions(String tag, Option... options) {
        EnumSet<Option> set = EnumSet.noneOf(Option.class);
        for (Option o : Objects.requireNonNull(options, tag + "options is null")) {
            set.add(Objects.requireNonNull(o, tag + "option is null"));
        }
        if (set.contains(Option.FOLLOW_LINKS)) throw new IllegalArgumentException(tag + "FOLLOW_LINKS is not supported");
        return set;
    }

    /** The system's text of a failure handed to a handler. */
    private static String reason(IOException e) {
        return e instanceof FileSystemException ? ((FileSystemException) e).getReason() : e.getMessage();
    }
}
