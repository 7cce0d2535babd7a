package com.orvan.mek.fsutil;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.file.Path;

/**
 * Path helpers that need the native file-name negotiation. Nothing to close: each call stands
 * alone. Loading this class loads the native library (see the package description for the
 * {@code UnsatisfiedLinkError} it may throw).
 */
public final class NativeFs {
    static {
        NativeLoader.load();
    }

    private NativeFs() {}

    /**
     * Returns the bytes that name {@code path} on disk: its platform-charset form, or its
     * ISO-8859-1 form when only that exists (the form in which this library reports names that
     * are not valid in the platform charset).
     *
     * @param path a path, which need not exist (its platform-charset form is then returned)
     * @return the bytes of the path, without a terminating NUL; null only when the VM failed to
     *     convert the path, with that error thrown
     * @throws NullPointerException when {@code path} is null
     */
    public static byte[] nativePath(String path) { return NativeDispatcher.nativePath(path); }

    /**
     * Returns the full target of the symbolic link {@code path}, whatever its length, read as
     * this library reads names (platform charset, else ISO-8859-1).
     *
     * @param path the link; the link itself is read, not followed
     * @return the target as stored in the link
     * @throws FileNotFoundException when {@code path} does not exist
     * @throws IOException when {@code path} is not a link or cannot be read; the message names
     *     the path and the system's error text
     * @throws NullPointerException when {@code path} is null
     */
    public static String readLink(String path) throws IOException { return NativeDispatcher.readLink(path); }

    /**
     * Whether {@code path} itself (a link is not followed) is a directory.
     *
     * @param path the path, resolved name by name as every path of this library
     * @return false also when it does not exist
     */
    public static boolean isDirectory(String path) { return NativeDispatcher.isDirectory(path); }

    /**
     * The {@link Path} of these bytes, byte for byte, whatever the locale: absolute when they start
     * with '/', else relative. Every {@code Path} form of this library, and {@link java.nio.file.Files},
     * then reach exactly that entry. A trailing '/' is not kept (as by every {@code Path}).
     *
     * @param bytes a path's bytes, without NUL
     * @return its Path
     * @throws java.nio.file.InvalidPathException when the bytes hold a NUL
     */
    public static Path toPath(byte[] bytes) {
        for (byte b : bytes) {
            if (b == 0) throw new java.nio.file.InvalidPathException(new String(bytes, java.nio.charset.StandardCharsets.ISO_8859_1),
                    "Nul character not allowed");
        }
        return NioPaths.path(bytes);
    }

    /**
     * The bytes the kernel gets for {@code path}, also where {@code toString()} cannot show them.
     *
     * @param path a path of the default file system
     * @return its bytes
     */
    public static byte[] bytes(Path path) { return NioPaths.bytes(path, "[NativeFs.bytes] "); }

    /**
     * Whether {@code path} itself (a link is not followed) is a directory, by its own bytes, at any length.
     *
     * @param path the path
     * @return false also when it does not exist
     */
    public static boolean isDirectory(Path path) {
        return NativeDispatcher.isDirectoryBytes(NioPaths.bytes(path, "[NativeFs.isDirectory] "));
    }

    /**
     * The whole target of the symbolic link {@code path}, as its bytes, at any length.
     *
     * @param path the link (not followed)
     * @return the target's bytes as stored in the link
     * @throws java.nio.file.NoSuchFileException when it does not exist
     * @throws IOException when it is not a link or cannot be read ({@code getReason()} the system's text)
     */
    public static byte[] readLink(Path path) throws IOException {
        return NativeDispatcher.readLinkBytes(NioPaths.bytes(path, "[NativeFs.readLink] "));
    }

    /**
     * The statistics of the file system holding {@code path} (a link followed), by its own bytes, at any length.
     *
     * @param path a path on the file system
     * @return its statvfs values
     * @throws java.nio.file.NoSuchFileException when it does not exist
     * @throws IOException when it cannot be reached ({@code getReason()} the system's text)
     */
    public static FileSysStatUnix fileSystemStat(Path path) throws IOException {
        long[] v = NativeDispatcher.statVfsBytes(NioPaths.bytes(path, "[NativeFs.fileSystemStat] "));
        return new FileSysStatUnix(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10]);
    }
}
