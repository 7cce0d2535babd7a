package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.file.Path;
import java.util.EnumSet;
import java.util.Objects;
import java.util.function.BiConsumer;
import java.util.function.Consumer;

/**
 * A sync to configure: {@link FileTree#syncer(String, String)} makes one, {@link #run()} runs it.
 * Afterwards {@code target} is what {@link FileTree#copy(String, String, FileTree.Option...) copy}
 * would have made of {@code source}, as {@code rsync -aHAX --delete --modify-window=-1 SRC/ DST/}
 * intends, and only what differed was touched: see docs/sync.md. Not thread-safe; each
 * {@link #run()} is a sync of its own.
 */
public final class Syncer {
    // The flags the natives take.
    static final int SAME_FILE_SYSTEM = 1;
    static final int DRY_RUN = 2;
    static final int KEEP_EXTRAS = 4;
    static final int DURABLE = 8;
    static final int REPORT_CHANGES = 16;

    private final String source;
    private final String target;
    private final byte[] sourceBytes;  // null for string paths
    private final byte[] targetBytes;
    private BiConsumer<String, IOException> onError = FileTree.LOG_FAILURES;
    private FileTree.Progress progress;
    private Consumer<FileTree.Change> onChange;
    private int flags;

    Syncer(String source, String target) {
        this.source = Objects.requireNonNull(source, "[FileTree.sync] source is null");
        this.target = Objects.requireNonNull(target, "[FileTree.sync] target is null");
        this.sourceBytes = null;
        this.targetBytes = null;
    }

    Syncer(Path source, Path target) {
        this.sourceBytes = NioPaths.bytes(Objects.requireNonNull(source, "[FileTree.sync] source is null"), "[FileTree.sync] ");
        this.targetBytes = NioPaths.bytes(Objects.requireNonNull(target, "[FileTree.sync] target is null"), "[FileTree.sync] ");
        this.source = source.toString();
        this.target = target.toString();
    }

    /**
     * Where each failure goes, on the calling thread: its path relative to the roots ("" for the
     * roots themselves) and the exception that fits; the sync goes on. What it throws stops the
     * sync and reaches the caller. Default: {@link FileTree#LOG_FAILURES}.
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
    public Syncer progress(FileTree.Progress listener) {
        progress = listener;
        return this;
    }

    /**
     * @param options {@link FileTree.Option#SAME_FILE_SYSTEM}: a source directory on another file system
     *     is made with its attributes, not entered, and its target counterpart keeps what it holds;
     *     {@link FileTree.Option#ATTRIBUTES}, {@link FileTree.Option#SORTED} and
     *     {@link FileTree.Option#DIRECTORIES_LAST} are ignored
     * @return this sync
     * @throws IllegalArgumentException for {@link FileTree.Option#FOLLOW_LINKS}: a sync never follows links
     */
    public Syncer with(FileTree.Option... options) {
        EnumSet<FileTree.Option> set = EnumSet.noneOf(FileTree.Option.class);
        for (FileTree.Option o : Objects.requireNonNull(options, "[FileTree.sync] options is null")) {
            set.add(Objects.requireNonNull(o, "[FileTree.sync] option is null"));
        }
        if (set.contains(FileTree.Option.FOLLOW_LINKS)) {
            throw new IllegalArgumentException("[FileTree.sync] FOLLOW_LINKS is not supported");
        }
        if (set.contains(FileTree.Option.SAME_FILE_SYSTEM)) flags |= SAME_FILE_SYSTEM;
        return this;
    }

    /**
     * Nothing is changed: the changes the sync would make go to {@link #onChange}, and the counts
     * of the result are theirs ({@link FileTree.SyncResult#bytes()}: the bytes that would be written).
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
    public Syncer onChange(Consumer<FileTree.Change> listener) {
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
    public FileTree.SyncResult run() throws IOException {
        int f = flags | (onChange != null ? REPORT_CHANGES : 0);
        long job = sourceBytes != null ? NativeDispatcher.syncOpenBytes(sourceBytes, targetBytes, f)
                : NativeDispatcher.syncOpen(source, target, f);
        long[] counts = new long[Records.SYNC_COUNT];
        try {
            byte[] root = onChange == null ? null : targetBytes != null ? targetBytes : NativeDispatcher.resolve(target);
            SyncRun.drain(job, onError, progress, onChange, root);
        } finally {
            NativeDispatcher.syncClose(job, counts);
        }
        return new FileTree.SyncResult(counts);
    }

    /** The path shown for a failure at rel, as a short form names it. */
    String shown(String rel) { return rel.isEmpty() ? target : target + "/" + rel; }
}
