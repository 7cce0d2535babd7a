package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.*;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.*;

/** Fixtures shared by the Java tests: shell helpers, raw-byte names, child processes, listings. */
final class TestUtil {
    private TestUtil() {}

    static final boolean UTF8 = Charset.defaultCharset().equals(StandardCharsets.UTF_8);
    static final String JAR = System.getProperty("fsutil.jar");
    static final String LIBDIR = System.getProperty("fsutil.libdir");

    record Result(int status, byte[] out, String err) {
        String text() { return new String(out, Charset.defaultCharset()); }
    }

    /** Runs a command with the inherited environment (and so the test JVM's locale). */
    static Result run(Path cwd, List<String> cmd) {
        try {
            ProcessBuilder pb = new ProcessBuilder(cmd);
            if (cwd != null) pb.directory(cwd.toFile());
            Process p = pb.start();
            p.getOutputStream().close();
            CompletableFuture<byte[]> err = CompletableFuture.supplyAsync(() -> readAll(p.getErrorStream()));
            byte[] out = readAll(p.getInputStream());
            if (!p.waitFor(120, TimeUnit.SECONDS)) {
                p.destroyForcibly();
                throw new AssertionError("timed out: " + cmd);
            }
            return new Result(p.exitValue(), out, new String(err.join(), Charset.defaultCharset()));
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } catch (InterruptedException e) {
            throw new AssertionError(e);
        }
    }

    private static byte[] readAll(InputStream in) {
        try (in) {
            return in.readAllBytes();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    /** sh -c script in dir; must succeed. Octal escapes in printf make raw-byte names. */
    static String sh(Path dir, String script) {
        Result r = run(dir, List.of("sh", "-c", script));
        assertEquals(0, r.status(), () -> "sh failed: " + script + "\n" + r.err());
        return r.text();
    }

    static Path mkfifo(Path p) {
        Result r = run(null, List.of("mkfifo", p.toString()));
        assertEquals(0, r.status(), r::err);
        return p;
    }

    /** A child JVM with the checks the test JVM itself runs under. */
    static List<String> java(String... args) {
        List<String> cmd = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-Xcheck:jni"));
        cmd.addAll(List.of(args));
        return cmd;
    }

    static boolean isRoot() throws IOException {
        return ((Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid")) == 0;
    }

    static int openFds() throws IOException {
        try (var s = Files.list(Path.of("/proc/self/fd"))) {
            return (int) s.count() - 1; // the stream's own descriptor
        }
    }

    /** What the walk must report: every entry but devices and sockets (links not followed). */
    static Set<String> expectedListing(Path dir) throws IOException {
        Set<String> names = new HashSet<>();
        try (DirectoryStream<Path> ds = Files.newDirectoryStream(dir)) {
            for (Path p : ds) {
                int type = (Integer) Files.getAttribute(p, "unix:mode", LinkOption.NOFOLLOW_LINKS) & 0170000;
                if (type != 0020000 && type != 0060000 && type != 0140000) names.add(p.getFileName().toString());
            }
        }
        return names;
    }

    /** Lists dir with the library, failing on a name reported twice. */
    static Set<String> walk(String dir) throws IOException {
        List<String> list = FolderIteratorNix.list(dir);
        Set<String> set = new HashSet<>(list);
        assertEquals(list.size(), set.size(), () -> "duplicates in " + list);
        return set;
    }

    static void touch(Path dir, int n, String prefix) throws IOException {
        for (int i = 0; i < n; i++) Files.createFile(dir.resolve(prefix + i));
    }

    /** Open descriptors of this process on {@code root} or below it (other tests' close on their own schedule). */
    static long streamsUnder(Path root) throws IOException {
        Path real = root.toRealPath();
        try (var fds = Files.list(Path.of("/proc/self/fd"))) {
            return fds.filter(fd -> {
                try {
                    return Files.readSymbolicLink(fd).startsWith(real);
                } catch (IOException gone) {
                    return false;  // the listing's own descriptor, already closed
                }
            }).count();
        }
    }
}
