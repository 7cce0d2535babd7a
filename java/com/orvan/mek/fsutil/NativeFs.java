package com.orvan.mek.fsutil;

import java.io.FileNotFoundException;
import java.io.IOException;

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
}
