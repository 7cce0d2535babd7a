package com.orvan.mek.fsutil;

import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * Names' bytes to Java strings, as the natives' getJavaFilePath reads them: the platform charset
 * when that gives the same bytes back, else ISO-8859-1, which keeps every byte. Fixed by the
 * default charset at load, as the natives' own conversions are.
 */
final class NameCodec {
    private static final Charset PLATFORM = Charset.defaultCharset();
    private static final int LATIN1 = 0;
    private static final int UTF8 = 1;
    private static final int OTHER = 2;
    private static final int DECODE = PLATFORM.equals(StandardCharsets.UTF_8) ? UTF8
            : PLATFORM.equals(StandardCharsets.ISO_8859_1) || PLATFORM.equals(StandardCharsets.US_ASCII) ? LATIN1
            : OTHER;

    /** Whether a name's bytes follow from its decoded string and their count alone (see {@link #bytes}). */
    static final boolean REVERSIBLE = DECODE != OTHER;

    private NameCodec() {}

    /** One name: b[off, off + len). */
    static String decode(byte[] b, int off, int len) {
        if (DECODE == LATIN1) return new String(b, off, len, StandardCharsets.ISO_8859_1);
        String s = new String(b, off, len, PLATFORM);
        // Strict UTF-8 decodes and encodes back to the same bytes; anything malformed
        // became U+FFFD, so only a name holding U+FFFD needs the round trip checked.
        if (DECODE == UTF8 && s.indexOf('\ufffd') < 0) return s;
        byte[] back = s.getBytes(PLATFORM);
        return Arrays.equals(back, 0, back.length, b, off, off + len) ? s
                : new String(b, off, len, StandardCharsets.ISO_8859_1);
    }

    /**
     * The len bytes {@link #decode} read as name, where {@link #REVERSIBLE}: one char per byte is the
     * ISO-8859-1 reading (or ASCII, the same bytes in UTF-8), as UTF-8 every other char takes more.
     */
    static byte[] bytes(String name, int len) {
        return name.getBytes(name.length() == len ? StandardCharsets.ISO_8859_1 : PLATFORM);
    }

    /** A path, b[off, off + len): each name decoded as {@link #decode} does, joined with "/". */
    static String decodePath(byte[] b, int off, int len) {
        StringBuilder path = new StringBuilder();
        int stop = off + len;
        for (int start = off, end; start < stop; start = end + 1) {
            for (end = start; end < stop && b[end] != '/'; end++) { /* to the next name */ }
            if (start > off) path.append('/');
            path.append(decode(b, start, end - start));
        }
        return path.toString();
    }

    /** A system's text (an error message), in the platform charset. */
    static String text(byte[] b, int off, int len) {
        return new String(b, off, len, PLATFORM);
    }
}
