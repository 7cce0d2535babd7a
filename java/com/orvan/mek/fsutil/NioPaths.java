package com.orvan.mek.fsutil;

import java.io.ByteArrayOutputStream;
import java.net.URI;
import java.nio.file.FileSystems;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.ProviderMismatchException;
import java.util.Arrays;
import java.util.Objects;

/**
 * Native path bytes and {@link Path}s, both ways, without loss: a {@code Path} of the default file
 * system made from a {@code file:} URI carries any bytes (percent-encoded), where a {@code String}
 * holds only what the platform charset can decode. A Path's bytes are read from its URI, never from
 * {@code toString()}, which loses what the charset cannot show.
 */
final class NioPaths {
    static {
        NativeLoader.load();
    }

    private static final Path SLASH = Path.of("/");
    private static final char[] HEX = "0123456789ABCDEF".toCharArray();

    private NioPaths() {}

    /**
     * The bytes of {@code path} as the kernel gets them: its URI's raw path, percent-decoded.
     *
     * @param call the call's tag for messages, e.g. "[FileTree.walk] "
     * @throws NullPointerException when path is null
     * @throws ProviderMismatchException when path is not of the default file system
     * @throws InvalidPathException when it holds a NUL byte
     */
    static byte[] bytes(Path path, String call) {
        Objects.requireNonNull(path, () -> call + "path is null");
        if (path.getFileSystem() != FileSystems.getDefault()) {
            throw new ProviderMismatchException(call + "not a path of the default file system: " + path);
        }
        // toUri() makes a relative path absolute: resolved against "/" its bytes are the path's, behind one '/'.
        boolean relative = !path.isAbsolute();
        String raw = (relative ? SLASH.resolve(path) : path).toUri().getRawPath();
        ByteArrayOutputStream out = new ByteArrayOutputStream(raw.length());
        for (int i = relative ? 1 : 0; i < raw.length(); i++) {
            char c = raw.charAt(i);
            int b = c == '%' ? Integer.parseInt(raw.substring(i + 1, i + 3), 16) : c;
            if (c == '%') i += 2;
            if (b == 0) throw new InvalidPathException(path.toString(), call + "Nul character not allowed");
            out.write(b);
        }
        byte[] b = out.toByteArray();
        // toUri() adds a '/' after a directory; the path itself never ends with one (but "/").
        int len = b.length;
        if (len > 1 && b[len - 1] == '/') len--;
        if (relative && len == 1 && b[0] == '/') len = 0;
        return len == b.length ? b : Arrays.copyOf(b, len);
    }

    /** The Path of these bytes: absolute when they start with '/', else relative (to the working directory). */
    static Path path(byte[] bytes) {
        boolean relative = bytes.length == 0 || bytes[0] != '/';
        StringBuilder uri = new StringBuilder(bytes.length + 16).append(relative ? "file:///" : "file://");
        for (byte x : bytes) {
            int b = x & 0xff;
            if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || "/-._~".indexOf(b) >= 0) {
                uri.append((char) b);
            } else {
                uri.append('%').append(HEX[b >> 4]).append(HEX[b & 15]);
            }
        }
        Path p = Path.of(URI.create(uri.toString()));
        // subpath keeps every name as it is ("." and ".." too), where relativize would normalize.
        return !relative ? p : p.getNameCount() == 0 ? Path.of("") : p.subpath(0, p.getNameCount());
    }

    /** The Path of root's bytes followed by the names, joined with '/'. */
    static Path path(byte[] root, byte[][] names) {
        int len = root.length;
        for (byte[] n : names) len += 1 + n.length;
        byte[] b = new byte[len];
        System.arraycopy(root, 0, b, 0, root.length);
        int at = root.length;
        for (byte[] n : names) {
            b[at++] = '/';
            System.arraycopy(n, 0, b, at, n.length);
            at += n.length;
        }
        // An empty root is the working directory: no leading '/' then.
        return path(root.length == 0 ? Arrays.copyOfRange(b, 1, len) : b);
    }

    /** The names of a relative path's bytes, split at each '/'; none for an empty path. */
    static byte[][] names(byte[] rel) {
        if (rel.length == 0) return new byte[0][];
        int n = 1;
        for (byte b : rel) if (b == '/') n++;
        byte[][] names = new byte[n][];
        int from = 0;
        for (int i = 0, k = 0; i <= rel.length; i++) {
            if (i == rel.length || rel[i] == '/') {
                names[k++] = Arrays.copyOfRange(rel, from, i);
                from = i + 1;
            }
        }
        return names;
    }

    /** A walk's root: the string given, whose bytes are resolved once, when first asked; or a Path's bytes. */
    static final class Root {
        private final String string;
        private volatile byte[] bytes;

        Root(String string, byte[] bytes) {
            this.string = string;
            this.bytes = bytes;
        }

        byte[] bytes() {
            byte[] b = bytes;
            if (b == null) bytes = b = NativeDispatcher.resolve(string);
            return b;
        }
    }
}
