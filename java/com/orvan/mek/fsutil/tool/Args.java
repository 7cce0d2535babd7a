package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;

/**
 * Names as bytes: the arguments as the shell passed them, their reading as this library reads
 * names, the way back from a reported path to its bytes, and quoting as GNU's tools quote names.
 */
final class Args {
    /** The library's reading of names and the tool's of its own texts: the default charset. */
    private static final Charset PLATFORM = Charset.defaultCharset();
    /**
     * The locale's charset, which GNU's tools quote names for and in which the launcher decoded argv.
     * The default charset differs from it where it is UTF-8 by default (JDK 18 and later).
     */
    private static final Charset LOCALE = locale();
    private static final boolean UTF8 = LOCALE.equals(StandardCharsets.UTF_8);
    private static final boolean LATIN1 = LOCALE.equals(StandardCharsets.ISO_8859_1);

    private Args() {}

    /**
     * The arguments' own bytes: the JVM decodes argv through the locale and loses what does not
     * decode, /proc/self/cmdline keeps it. The launcher puts the program's arguments last; the
     * strings given are used when /proc cannot be read or does not end in them.
     */
    static byte[][] raw(String[] args) {
        byte[][] given = new byte[args.length][];
        for (int i = 0; i < args.length; i++) given[i] = args[i].getBytes(LOCALE);
        List<byte[]> all = new ArrayList<>();
        try {
            byte[] cmdline = Files.readAllBytes(Path.of("/proc/self/cmdline"));
            for (int start = 0, end; start < cmdline.length; start = end + 1) {
                for (end = start; end < cmdline.length && cmdline[end] != 0; end++) { /* to the NUL */ }
                all.add(Arrays.copyOfRange(cmdline, start, end));
            }
        } catch (IOException | RuntimeException e) {
            return given;
        }
        if (all.size() < args.length) return given;
        byte[][] raw = all.subList(all.size() - args.length, all.size()).toArray(new byte[0][]);
        for (int i = 0; i < args.length; i++) {
            // Where the JVM's reading cannot have lost anything, both must agree: else this is not our argv.
            if (args[i].chars().allMatch(c -> c < 0x80) && !Arrays.equals(given[i], raw[i])) return given;
        }
        return raw;
    }

    private static Charset locale() {
        try {
            return Charset.forName(System.getProperty("native.encoding"));
        } catch (RuntimeException unknown) {
            return PLATFORM;
        }
    }

    /** An option's text (options are ASCII). */
    static String text(byte[] arg) {
        return new String(arg, StandardCharsets.ISO_8859_1);
    }

    /**
     * The Path of a path argument, byte for byte. A trailing '/' is kept as the kernel reads it (the
     * directory itself, or a link's target; "Not a directory" for anything else): a "." is put after it.
     *
     * @throws NoSuchFileException for the empty path, which names nothing
     */
    static Path path(byte[] b) throws NoSuchFileException {
        if (b.length == 0) throw new NoSuchFileException("", null, "No such file or directory");
        if (slashed(b)) {
            b = Arrays.copyOf(b, b.length + 1);
            b[b.length - 1] = '.';
        }
        return NativeFs.toPath(b);
    }

    /** Whether a path ends with a '/' after a name (not "/" alone). */
    static boolean slashed(byte[] b) {
        int end = b.length;
        while (end > 0 && b[end - 1] == '/') end--;
        return end > 0 && end < b.length;
    }

    /** The path with its trailing slashes dropped (one "/" kept of a path made of slashes). */
    static byte[] unslashed(byte[] b) {
        int end = b.length;
        while (end > 1 && b[end - 1] == '/') end--;
        return Arrays.copyOf(b, end);
    }

    /** The entry's own attributes (a link not followed), or null where they cannot be read. */
    static BasicFileAttributes lstat(byte[] b) {
        try {
            return Files.readAttributes(NativeFs.toPath(unslashed(b)), BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    // The platform charset when it gives the same bytes back, else ISO-8859-1, which keeps every byte.
    private static String read(byte[] b, int off, int len) {
        String s = new String(b, off, len, PLATFORM);
        byte[] back = s.getBytes(PLATFORM);
        return Arrays.equals(back, 0, back.length, b, off, off + len) ? s : new String(b, off, len, StandardCharsets.ISO_8859_1);
    }

    /**
     * The bytes of root/rel, where rel is a path below root as the library reports it (names read
     * as it reads them). A name holds its own bytes unless it could be read from two (in UTF-8, "é"
     * is C3 A9 and the reading of a lone E9): then the names on the path are looked up on disk.
     */
    static byte[] below(byte[] root, Path rootPath, String rel) {
        if (rel.isEmpty()) return root;
        String[] names = rel.split("/");
        byte[][] found = new byte[names.length][];
        boolean ask = false;
        for (int i = 0; i < names.length; i++) {
            String n = names[i];
            byte[] platform = n.getBytes(PLATFORM), iso = n.getBytes(StandardCharsets.ISO_8859_1);
            boolean byPlatform = n.equals(read(platform, 0, platform.length));
            boolean byIso = n.chars().allMatch(c -> c <= 0xff) && n.equals(read(iso, 0, iso.length));
            if (byPlatform && byIso && !Arrays.equals(platform, iso)) ask = true;
            else found[i] = byIso && !byPlatform ? iso : platform;
        }
        if (ask) lookUp(rootPath, names, found);
        ByteArrayOutputStream out = new ByteArrayOutputStream(root.length + rel.length() * 2);
        out.write(root, 0, root.length);
        for (int i = 0; i < names.length; i++) {
            if (i > 0 || root.length == 0 || root[root.length - 1] != '/') out.write('/');
            out.writeBytes(found[i] != null ? found[i] : names[i].getBytes(PLATFORM));
        }
        return out.toByteArray();
    }

    // Walks down the names from root, nothing else opened, and keeps the bytes of each name met on the way.
    private static void lookUp(Path root, String[] names, byte[][] found) {
        FileTree.Entry[] on = new FileTree.Entry[names.length + 1];
        try (Stream<FileTree.Entry> walk = FileTree.walker(root).maxDepth(names.length)
                .prune(e -> e.depth() >= names.length || on[e.depth() - 1] != e.parent() || !e.name().equals(names[e.depth() - 1]))
                .onError((p, e) -> {}).stream()) {
            walk.forEach(e -> {
                int d = e.depth();
                if (on[d - 1] == e.parent() && e.name().equals(names[d - 1]) && on[d] == null) {
                    on[d] = e;
                    found[d - 1] = e.nameBytes();
                }
            });
        } catch (IOException | RuntimeException e) {
            // what was not found stays in the platform charset
        }
    }

    /** The system's error text in a library message ("... Error='text'"), else the message without its [tag]. */
    static String reason(Exception e) {
        if (e instanceof FileSystemException && ((FileSystemException) e).getReason() != null) {
            return ((FileSystemException) e).getReason();
        }
        String m = String.valueOf(e.getMessage());
        int at = m.lastIndexOf("Error='");
        if (at >= 0 && m.endsWith("'")) return m.substring(at + 7, m.length() - 1);
        return m.startsWith("[") && m.indexOf("] ") > 0 ? m.substring(m.indexOf("] ") + 2) : m;
    }

    /** Bytes of text in the platform charset. */
    static byte[] bytes(String text) {
        return text.getBytes(PLATFORM);
    }

    /** The length of the character starting at b[i] when it is printable in the locale's charset, else 0. */
    private static int printable(byte[] b, int i) {
        int c = b[i] & 0xff;
        if (c < 0x80) return c >= 0x20 && c < 0x7f ? 1 : 0;
        if (LATIN1) return c >= 0xa0 ? 1 : 0;
        if (!UTF8) return 0;
        int n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
        if (n == 0 || i + n > b.length) return 0;
        int cp = c & (0x7f >> n);
        for (int k = 1; k < n; k++) {
            if ((b[i + k] & 0xc0) != 0x80) return 0;
            cp = cp << 6 | (b[i + k] & 0x3f);
        }
        boolean shortest = n == 2 || n == 3 && cp >= 0x800 || n == 4 && cp >= 0x10000 && cp <= 0x10ffff;
        if (!shortest || cp >= 0xd800 && cp <= 0xdfff || Character.isISOControl(cp)
                || Character.getType(cp) == Character.UNASSIGNED) {
            return 0;
        }
        return n;
    }

    private static void escape(ByteArrayOutputStream out, int c) {
        int at = "\u0007\b\f\n\r\t\u000b".indexOf(c);
        if (at >= 0) {
            out.write('\\');
            out.write("abfnrtv".charAt(at));
        } else {
            out.writeBytes(String.format("\\%03o", c).getBytes(StandardCharsets.US_ASCII));
        }
    }

    /** A path as it is where every byte of it prints, else quoted as {@link #shellQuoted}: a failure stays on one line. */
    static byte[] shown(byte[] b) {
        for (int i = 0; i < b.length;) {
            int n = printable(b, i);
            if (n == 0) return shellQuoted(b);
            i += n;
        }
        return b;
    }

    /**
     * A name quoted as GNU coreutils (du, rm) quote one in messages: 'name', "name" when it holds a
     * ' and nothing the shell would read in double quotes, what cannot be printed as $'\ooo'.
     */
    static byte[] shellQuoted(byte[] b) {
        boolean quote = false, special = false, plain = true;
        for (int i = 0; i < b.length;) {
            int n = printable(b, i);
            if (n == 0) plain = false;
            if (b[i] == '\'') quote = true;
            if ("!\"$`\\".indexOf(b[i]) >= 0) special = true;
            i += Math.max(n, 1);
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream(b.length + 8);
        if (quote && plain && !special) {
            out.write('"');
            out.write(b, 0, b.length);
            out.write('"');
            return out.toByteArray();
        }
        out.write('\'');
        boolean dollar = false;  // inside $'...'
        for (int i = 0; i < b.length;) {
            int n = printable(b, i);
            if (n == 0) {
                if (!dollar) out.writeBytes("'$'".getBytes(StandardCharsets.US_ASCII));
                dollar = true;
                escape(out, b[i++] & 0xff);
                continue;
            }
            if (dollar) out.writeBytes("''".getBytes(StandardCharsets.US_ASCII));
            dollar = false;
            if (b[i] == '\'') out.writeBytes("'\\''".getBytes(StandardCharsets.US_ASCII));
            else out.write(b, i, n);
            i += n;
        }
        out.write('\'');
        return out.toByteArray();
    }

    /**
     * A name quoted as GNU find quotes one in messages: between the locale's quotation marks
     * (‘’ in UTF-8, else ''), backslash escapes for what cannot be printed.
     */
    static byte[] localeQuoted(byte[] b) {
        ByteArrayOutputStream out = new ByteArrayOutputStream(b.length + 8);
        out.writeBytes(UTF8 ? "\u2018".getBytes(StandardCharsets.UTF_8) : new byte[] {'\''});
        for (int i = 0; i < b.length;) {
            int n = printable(b, i);
            if (n == 0) {
                escape(out, b[i++] & 0xff);
                continue;
            }
            if (b[i] == '\\' || b[i] == '\'' && !UTF8) out.write('\\');
            out.write(b, i, n);
            i += n;
        }
        out.writeBytes(UTF8 ? "\u2019".getBytes(StandardCharsets.UTF_8) : new byte[] {'\''});
        return out.toByteArray();
    }
}
