package com.orvan.mek.fsutil;

import java.io.IOException;

/** Path helpers that need the native file-name negotiation. */
public final class NativeFs {
    static {
        NativeLoader.load();
    }

    private NativeFs() {}

    /** The bytes that name {@code path} on disk (platform charset, or ISO-8859-1 if only that exists). */
    public static native byte[] nativePath(String path);

    /**
     * The full target of the symbolic link {@code path}, whatever its length.
     *
     * @throws IOException when {@code path} is not a link or cannot be read
     */
    public static native String readLink(String path) throws IOException;

    /** Whether {@code path} itself (a link is not followed) is a directory; false when it does not exist. */
    public static native boolean isDirectory(String path);
}
