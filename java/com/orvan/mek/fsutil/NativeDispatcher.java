package com.orvan.mek.fsutil;

import java.io.IOException;

/**
 * Every native of this package that is not part of the published contract, on one class: the
 * batch listing, the tree walk and its parts, the whole-tree jobs, input streams, path resolution
 * and the NativeFs helpers. Handles are opaque longs owned by a {@link NativeHandle}.
 */
final class NativeDispatcher {
    static {
        NativeLoader.load();
    }

    private NativeDispatcher() {}

    /** Compares the record formats the natives write with what {@link Records} reads; InternalError naming the first difference. */
    static native void checkFormat(int[] format);

    // The batch listing behind FolderIteratorNix.

    static native long openBatch(String path) throws IOException;

    static native long openBatchBytes(byte[] path) throws IOException;

    /** Fills batch with whole listing records; 0 at the end. */
    static native int readBatch(long handle, byte[] batch);

    static native void closeBatch(long handle);

    // The tree walk behind FileTree.walk.

    static native long openTree(String root, boolean attributes, boolean sameFileSystem, boolean sorted,
            boolean directoriesLast, boolean followLinks, int maxDepth, boolean stopAtDirectories) throws IOException;

    static native long openTreeBytes(byte[] root, boolean attributes, boolean sameFileSystem, boolean sorted,
            boolean directoriesLast, boolean followLinks, int maxDepth, boolean stopAtDirectories) throws IOException;

    /** Fills batch with whole walk records; 0 at the end. skip: the directory that ended the last batch is not entered. */
    static native int readTree(long handle, byte[] batch, boolean skip);

    static native void closeTree(long handle);

    /** Takes the unread entries of the shallowest directory that has any off the walk; 0 when none. */
    static native long splitTree(long handle);

    /** The records of a group's entries. */
    static native byte[] groupRecords(long group);

    /** The depth of a group's directory in the walk it came from (0: that walk's top). */
    static native int groupDepth(long group);

    /** A walk of the directory `name` of a group, as the whole walk would have walked it. */
    static native long openPart(long group, byte[] name, int maxDepth);

    static native void closeGroup(long group);

    // The whole-tree jobs behind FileTree.delete, usage and copy.

    static native long deleteOpen(String path) throws IOException;

    static native long deleteOpenBytes(byte[] path) throws IOException;

    static native long usageOpen(String root, boolean sameFileSystem) throws IOException;

    static native long usageOpenBytes(byte[] path, boolean sameFileSystem) throws IOException;

    static native long copyOpen(String source, String target, boolean sameFileSystem) throws IOException;

    static native long copyOpenBytes(byte[] source, byte[] target, boolean sameFileSystem) throws IOException;

    /** A sync started; flags: FileTree.Syncer's bits. */
    static native long syncOpen(String source, String target, int flags) throws IOException;

    static native long syncOpenBytes(byte[] source, byte[] target, int flags) throws IOException;

    /** Stops what still runs and frees the sync; its counts into counts (Records.SYNC_* order). */
    static native void syncClose(long job, long[] counts);

    /**
     * The next failure record of a job, waiting while it goes on (at most waitMillis unless
     * negative: then an empty array); null at its end. done gets the entries and bytes done so far.
     */
    static native byte[] jobNext(long job, int waitMillis, long[] done);

    /** Stops what runs of a copy, frees it; the number of entries created. */
    static native long copyClose(long job);

    /** Stops what still runs and frees the job; the number of entries removed. */
    static native long deleteClose(long job);

    /** Stops what still runs and frees the job; its sums into sums (Records.USAGE_* order). */
    static native void usageClose(long job, long[] sums);

    // Input streams behind FileTree.newInputStream.

    /** The descriptor and, for what may block (not a regular file), a wake-up eventfd, in one long. */
    static native long openRead(String path) throws IOException;

    static native long openReadBytes(byte[] path) throws IOException;

    /** Bytes read, -1 at the end, Records.READ_CLOSED once woken by close(), Records.READ_INTERRUPTED after a signal. */
    static native int read(long fd, byte[] b, int off, int len) throws IOException;

    static native void wakeFd(long fd);

    static native void closeFd(long fd);

    // The tree watcher behind FileTree.watch.

    /** Watches every directory of the tree before it returns; failures below the root are its first records. */
    static native long watchOpen(String root, boolean sameFileSystem) throws IOException;

    static native long watchOpenBytes(byte[] root, boolean sameFileSystem) throws IOException;

    /**
     * Fills batch with at most maxRecords whole watch records, waiting for some when wait is set (until
     * watchWake); see {@link Records#WATCH_ENDED} for what it returns.
     */
    static native int watchRead(long handle, byte[] batch, int maxRecords, boolean wait);

    /** What the kernel holds is dropped: the next read reports OVERFLOW and the differences found by reading the tree again. */
    static native void watchOverflow(long handle);

    static native void watchWake(long handle);

    static native void watchClose(long handle);

    // Paths.

    /** The bytes a path string names, resolved component by component as every call of this library resolves it. */
    static native byte[] resolve(String path);

    /** See {@link NativeFs#nativePath}. */
    static native byte[] nativePath(String path);

    /** See {@link NativeFs#readLink}. */
    static native String readLink(String path) throws IOException;

    /** See {@link NativeFs#isDirectory}. */
    static native boolean isDirectory(String path);

    static native boolean isDirectoryBytes(byte[] path);

    static native byte[] readLinkBytes(byte[] path) throws IOException;

    /** The eleven statvfs values of the file system holding path, in FileSysStatUnix's order. */
    static native long[] statVfsBytes(byte[] path) throws IOException;
}
