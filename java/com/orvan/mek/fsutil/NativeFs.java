package com.orvan.mek.fsutil;

import java.io.IOException;

/** Small helpers of the command-line tool that need the native file-name negotiation. */
final class NativeFs {
    static {
        NativeLoader.load();
    }

    private NativeFs() {}

    /** The bytes that name {@code path} on disk (platform charset, or ISO-8859-1 if only that exists). */
    static native byte[] nativePath(String path);

    /** The full target of the symbolic link {@code path}. */
    static native String readLink(String path) throws IOException;
}
