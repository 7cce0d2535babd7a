package com.orvan.mek.fsutil;

import java.io.IOException;

/**
 * File-system statistics ({@code statvfs}) for FreeBSD. All four {@code FileSystemStat*}
 * classes share one native implementation and give the same answers. Nothing to close; loading
 * the class loads the native library (see the package description for its
 * {@code UnsatisfiedLinkError}).
 */
public final class FileSystemStatFbd {
    static {
        NativeLoader.load();
    }

    /** Creates an accessor; it holds no state and may be shared between threads. */
    public FileSystemStatFbd() {}

    /**
     * Returns the statistics of the file system that holds {@code path}.
     *
     * @param path any existing path (file or directory) on the file system
     * @return the full {@code statvfs} record
     * @throws IOException when the path cannot be converted or {@code statvfs} fails; the message
     *     names the path and the system's error text (a null path also gives an IOException)
     */
    public native FileSysStatUnix getFileSysStat(String path) throws IOException;
}
