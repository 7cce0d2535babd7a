package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.*;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.stream.Stream;

// Fixtures shared by the Java tests: child processes (in a mount namespace of their own too),
// listings, descriptor counts, random names, directories swapped for links under a running job.
final class TestUtil {
    private TestUtil() {}

    // The library reads names in the JVM's default charset: UTF-8 in every locale from JDK 18 on
    // (unless -Dfile.encoding=COMPAT), the locale's before. java.nio.file names files, and the
    // statistics' String form converts, in the locale's charset (sun.jnu.encoding) on every JDK.
    static final boolean UTF8 = Charset.defaultCharset().equals(StandardCharsets.UTF_8);
    static final boolean LOCALE_UTF8 = Charset.forName(System.getProperty("sun.jnu.encoding")).equals(StandardCharsets.UTF_8);
    static final String JAR = System.getProperty("fsutil.jar");
    static final boolean ROOT = "root".equals(System.getProperty("user.name"));

    record Result(int status, byte[] out, String err) {
        String text() { return new String(out, Charset.defaultCharset()); }
    }

    // Runs a command in dir (null: here) with this JVM's environment and locale.
    // A child that hangs is killed with its own children after 120 s, and fails the test.
    static Result run(Path dir, String... cmd) throws Exception {
        File out = File.createTempFile("fsutil", ".out"), err = File.createTempFile("fsutil", ".err");
        Process p = new ProcessBuilder(cmd).directory(dir == null ? null : dir.toFile()).redirectOutput(out).redirectError(err).start();
        p.getOutputStream().close();
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.descendants().forEach(ProcessHandle::destroyForcibly);
            p.destroyForcibly();
            fail("hangs: " + List.of(cmd));
        }
        byte[] bytes = Files.readAllBytes(out.toPath());
        String text = new String(Files.readAllBytes(err.toPath()), Charset.defaultCharset());
        assertTrue(out.delete() && err.delete());
        return new Result(p.exitValue(), bytes, text);
    }

    // sh -c script in dir; must succeed. printf '\351' makes raw-byte names.
    static String sh(Path dir, String script) throws Exception {
        Result r = run(dir, "sh", "-c", script);
        assertEquals(0, r.status(), () -> script + "\n" + r.err());
        return r.text();
    }

    // A child JVM with the checks this one runs under.
    static Result java(String... args) throws Exception {
        Stream<String> java = Stream.of(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni");
        Result r = run(null, Stream.concat(java, Stream.of(args)).toArray(String[]::new));
        assertFalse((r.text() + r.err()).contains("WARNING"), r::err);
        return r;
    }

    // The command-line tool, run as users run it: java -jar fsutil.jar, the library taken from the jar.
    // The library it extracts from the jar leaves nothing in the temporary directory.
    static Result tool(String... args) throws Exception {
        Path scratch = Files.createTempDirectory("fsutil-tool");
        Result r = java(Stream.concat(Stream.of("-Djava.io.tmpdir=" + scratch, "-jar", JAR), Stream.of(args)).toArray(String[]::new));
        Files.delete(scratch); // fails when something was left
        return r;
    }

    // Output records as raw bytes (one char each), sorted: listings come in any order.
    static List<String> records(byte[] out, String separator) {
        return Arrays.stream(new String(out, StandardCharsets.ISO_8859_1).split(separator)).sorted().toList();
    }

    // Open descriptors of this process on root or below (other tests close theirs on their own schedule).
    static long streamsUnder(Path root) throws Exception {
        String fds = "/proc/" + ProcessHandle.current().pid() + "/fd"; // find fails on a descriptor closed meanwhile: its status is ignored
        return run(null, "find", fds, "-lname", root.toRealPath() + "*").text().lines().count();
    }

    // Every kind of entry (devices only as root), with "é" as C3 A9 and as E9 and a FIFO named
    // "f" E9: files "file", both "é", directory "sub", FIFO, link "dangling", a socket.
    static String fixture(Path dir) throws Exception {
        sh(dir, "touch file \"$(printf '\\351')\" \"$(printf '\\303\\251')\" && mkdir sub && mkfifo \"$(printf 'f\\351')\""
                + " && ln -s nowhere dangling" + (ROOT ? " && mknod chr c 1 3 && mknod blk b 7 0" : ""));
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(dir.resolve("sock")));
        }
        return dir.toString();
    }

    // dir/name: a directory "d" and a file "f" at each of `levels` levels, at any depth. Built from
    // the bottom in chunks that each stay below PATH_MAX, joined by renames: no path the shell
    // hands the kernel is ever long, and no step costs more with the depth.
    static String chain(Path dir, String name, int levels) throws Exception {
        sh(dir, "n=" + levels + "; lower=; j=0; while [ $n -gt 0 ]; do c=$n; [ $c -gt 1000 ] && c=1000; n=$((n-c)); j=$((j+1));"
                + " p=; q=c$j; i=0; while [ $i -lt $c ]; do p=$p/d; i=$((i+1)); done; mkdir -p c$j$p || exit 1;"
                + " i=0; while [ $i -lt $c ]; do : > $q/f || exit 1; q=$q/d; i=$((i+1)); done;"
                + " if [ -n \"$lower\" ]; then rmdir c$j$p && mv $lower c$j$p || exit 1; fi; lower=c$j; done; mv $lower '" + name + "'");
        return dir + "/" + name;
    }

    // Runs script in dir in a private mount namespace (root only, else the test is skipped), $TOOL the tool.
    static Result inNamespace(Path dir, String script) throws Exception {
        org.junit.jupiter.api.Assumptions.assumeTrue(ROOT && run(null, "unshare", "-m", "true").status() == 0, "needs a mount namespace");
        String tool = System.getProperty("java.home") + "/bin/java -Xcheck:jni -jar " + JAR;
        return run(dir, "unshare", "-m", "sh", "-c", "TOOL='" + tool + "'\n" + script);
    }

    // Bytes names are made of: ASCII, UTF-8 of 2 to 4 bytes, and bytes that are not UTF-8.
    private static final int[][] TOKENS = {{'a'}, {'Z'}, {' '}, {'-'}, {0xc3, 0xa9}, {0xe2, 0x82, 0xac},
            {0xf0, 0x9d, 0x84, 0x9e}, {0xe9}, {0xff}, {0xc3}, {0x80}};

    // A random name in mixed encodings as the shell writes it, "$(printf '\142...')"; null when it
    // reads as prefix + a name in seen (the two would be twins).
    static String randomName(Random rnd, Set<String> seen, String prefix) {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        bytes.write('b' + rnd.nextInt(20));
        for (int t = rnd.nextInt(6); t >= 0; t--) {
            for (int b : TOKENS[rnd.nextInt(TOKENS.length)]) bytes.write(b);
        }
        byte[] raw = bytes.toByteArray();
        if (!seen.add(prefix + NameCodec.decode(raw, 0, raw.length))) return null;
        StringBuilder octal = new StringBuilder();
        for (byte b : raw) octal.append('\\').append(Integer.toOctalString(b & 0xff));
        return "\"$(printf '" + octal + "')\"";
    }

    // Lists dir with the library, failing on a name reported twice.
    static Set<String> walk(String dir) throws IOException {
        List<String> list = FolderIteratorNix.list(dir);
        assertEquals(list.size(), new HashSet<>(list).size(), () -> "reported twice: " + list);
        return new HashSet<>(list);
    }

    /**
     * A failure handler that checks getFile() and keeps "path: Class: reason", Class the
     * java.nio.file class of the exception.
     */
    static java.util.function.BiConsumer<String, IOException> failures(List<String> into) {
        return (p, e) -> {
            FileSystemException f = assertInstanceOf(FileSystemException.class, e);
            assertEquals(p, f.getFile());
            Class<?> c = e.getClass();
            while (!c.getPackageName().equals("java.nio.file")) c = c.getSuperclass();
            into.add(p + ": " + c.getSimpleName() + ": " + f.getReason());
        };
    }

    interface Round {
        void run(int round) throws Exception;
    }

    // `rounds` times: before(round), then job while t/d1..t/d10 and their s/ are swapped for links to
    // tmp/out and back as fast as can be. A copy or sync writing t, or a delete emptying it, must
    // never reach out.
    static void whileSwappedForLinks(Path tmp, int rounds, Round before, Round job) throws Exception {
        sh(tmp, "mkdir out && touch out/a");
        ExecutorService swapper = Executors.newSingleThreadExecutor();
        try {
            for (int round = 0; round < rounds; round++) {
                before.run(round);
                AtomicBoolean done = new AtomicBoolean();
                Future<?> swaps = swapper.submit(() -> swapTargetDirectoriesForLinks(tmp, done));
                job.run(round);
                done.set(true);
                swaps.get(60, TimeUnit.SECONDS);
                assertEquals("out\nout/a\n", sh(tmp, "find out | LC_ALL=C sort"), "round " + round);
            }
        } finally {
            swapper.shutdownNow();
        }
    }

    // Until done: each directory moved aside, a link to out put in its place for a moment, then
    // moved back; a step that finds its directory not made yet (or gone) is skipped.
    private static Void swapTargetDirectoriesForLinks(Path tmp, AtomicBoolean done) throws IOException {
        for (int i = 0; !done.get(); i = i % 20 + 1) {
            Path d = tmp.resolve(i <= 10 ? "t/d" + i : "t/d" + (i - 10) + "/s"), x = tmp.resolve("t/x" + i);
            try {
                Files.move(d, x);
                Files.createSymbolicLink(d, tmp.resolve("out"));
                Files.delete(d);
                Files.move(x, d);
            } catch (IOException notYet) {
                // not made yet, or moved meanwhile
            }
        }
        return null;
    }
}
