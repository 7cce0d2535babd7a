package com.orvan.mek.fsutil;

import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.Charset;
import java.nio.charset.CodingErrorAction;
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

    /**
     * The bytes a path string may name, name by name, for the natives' one path converter: for
     * name i, [2i] its platform-charset bytes where the charset maps it exactly and {@link #decode}
     * reads them back as it (an encoder that reports what it cannot map, never a '?' in its
     * place), else null; [2i + 1] its ISO-8859-1 bytes where it has such bytes and either the
     * platform has none or {@link #decode} reads these back as it too (and they differ), else
     * null. Two non-null forms are two entries the name could mean.
     */
    static byte[][] forms(String path) {
        String[] names = path.split("/", -1);
        byte[][] forms = new byte[names.length * 2][];
        for (int i = 0; i < names.length; i++) {
            String n = names[i];
            byte[] platform = exact(n);
            byte[] latin1 = null;
            if (n.chars().allMatch(c -> c <= 0xff)) {
                latin1 = n.getBytes(StandardCharsets.ISO_8859_1);
                boolean alike = platform != null && (Arrays.equals(latin1, platform) || !decode(latin1, 0, latin1.length).equals(n));
                if (alike) latin1 = null;
            }
            forms[2 * i] = platform;
            forms[2 * i + 1] = latin1;
        }
        return forms;
    }

    // The platform charset's bytes of a name where it maps every character and reads them back as it; else null.
    private static byte[] exact(String name) {
        try {
            var buf = PLATFORM.newEncoder().onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT).encode(CharBuffer.wrap(name));
            byte[] b = Arrays.copyOfRange(buf.array(), buf.arrayOffset() + buf.position(), buf.arrayOffset() + buf.limit());
            return decode(b, 0, b.length).equals(name) ? b : null;
        } catch (CharacterCodingException e) {
            return null;
        }
    }

    /** A system's text (an error message), in the platform charset. */
    static String text(byte[] b, int off, int len) {
        return new String(b, off, len, PLATFORM);
    }
}
