package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.*;
import java.net.*;
import java.nio.ByteBuffer;
import java.nio.channels.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.util.*;
import java.util.concurrent.*;
import java.util.stream.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class FolderIteratorNixTest {
    private static final String FIRST = "[UNIXFileSysUtil.getFirstFile] Fail to get first file of '";

    @TempDir Path tmp;

    private Path mkdir(String name) throws IOException {
        return Files.createDirectories(tmp.resolve(name));
    }

    private static Set<String> names(String prefix, int n) {
        return IntStream.range(0, n).mapToObj(i -> prefix + i).collect(Collectors.toSet());
    }

    private static String openFailure(Class<? extends IOException> type, String dir) {
        IOException e = assertThrows(IOException.class, () -> new FolderIteratorNix(dir));
        assertEquals(type, e.getClass(), e::toString);
        return e.getMessage();
    }

    @Test
    void filterReportsEachKindOnce() throws Exception {
        assertEquals(Set.of(), walk(mkdir("empty").toString()));
        Path only = mkdir("only");
        Path mixed = mkdir("mixed");
        try (ServerSocketChannel a = ServerSocketChannel.open(StandardProtocolFamily.UNIX);
                ServerSocketChannel b = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            a.bind(UnixDomainSocketAddress.of(only.resolve("sock")));
            b.bind(UnixDomainSocketAddress.of(mixed.resolve("sock")));
        }
        if (isRoot()) sh(only, "mknod chr c 1 3 && mknod blk b 7 0");
        assertEquals(Set.of(), walk(only.toString()));

        mkfifo(mixed.resolve("fifo"));
        Files.createSymbolicLink(mixed.resolve("dangling"), Path.of("nowhere"));
        Files.createSymbolicLink(mixed.resolve("tosock"), Path.of("sock")); // a link is reported, not its target
        Files.createDirectory(mixed.resolve("sub"));
        Files.writeString(mixed.resolve("file"), "x");
        assertEquals(Set.of("fifo", "dangling", "tosock", "sub", "file"), walk(mixed.toString()));

        Set<String> dev = walk("/dev");
        assertEquals(expectedListing(Path.of("/dev")), dev);
        assertFalse(dev.contains("null") || dev.contains("zero"), dev::toString);

        Set<String> fds = walk("/proc/self/fd"); // our own descriptors: they change, but 0-2 stay
        assertTrue(fds.containsAll(Set.of("0", "1", "2")), fds::toString);
        assertTrue(fds.stream().allMatch(n -> n.matches("\\d+")), fds::toString);
        assertEquals(openFds(), fds.size(), 3);
    }

    @Test
    void unopenableDirectories() throws Exception {
        String missing = tmp + "/missing";
        assertEquals(FIRST + missing + "'. Error='No such file or directory'",
                openFailure(FileNotFoundException.class, missing));
        String file = Files.createFile(tmp.resolve("plain")).toString();
        assertEquals(FIRST + file + "'. Error='Not a directory'", openFailure(IOException.class, file));
        // A FIFO named by a byte that is not UTF-8: the name negotiation must probe it without waiting for a writer.
        sh(tmp, "mkfifo \"$(printf 'p\\351')\"");
        String fifo = tmp + "/p\u00e9";
        String msg = assertTimeoutPreemptively(Duration.ofSeconds(20), () -> openFailure(IOException.class, fifo));
        // The message is decoded in the platform charset: there the lone byte E9 is malformed UTF-8.
        assertEquals(FIRST + tmp + (UTF8 ? "/p\ufffd" : "/p\u00e9") + "'. Error='Not a directory'", msg);
        assertThrows(NullPointerException.class, () -> new FolderIteratorNix(null));
        assertThrows(FileNotFoundException.class, () -> FolderIteratorNix.list(missing));
        assertThrows(FileNotFoundException.class, () -> FolderIteratorNix.stream(missing));
    }

    @Test
    void noReadPermission() throws Exception {
        assumeFalse(isRoot(), "root passes every permission check");
        Path locked = mkdir("locked");
        Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("-wx------"));
        try {
            assertEquals(FIRST + locked + "'. Error='Permission denied'", openFailure(IOException.class, locked.toString()));
        } finally {
            Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("rwx------"));
        }
    }

    @Test
    void namesOfEveryLengthAndByteComeBackUsable() throws Exception {
        Path d = mkdir("names");
        String n255 = "n".repeat(255);
        Files.createFile(d.resolve(n255));
        sh(d, "mkdir \"$(printf '\\351')\" \"$(printf 'x\\200\\377')\" && touch \"$(printf '\\351')/in\" \"$(printf 'x\\200\\377')/other\"");
        // Not UTF-8, so read as ISO-8859-1 in a UTF-8 JVM; in an ISO-8859-1 JVM that is the native reading anyway.
        assertEquals(Set.of(n255, "\u00e9", "x\u0080\u00ff"), walk(d.toString()));
        assertEquals(Set.of("in"), walk(d + "/\u00e9"));
        assertEquals(Set.of("other"), walk(d + "/x\u0080\u00ff"));

        Path utf = mkdir("utf");
        sh(utf, "mkdir \"$(printf '\\303\\251')\" && touch \"$(printf '\\303\\251')/inner\"");
        String e = UTF8 ? "\u00e9" : "\u00c3\u00a9";
        assertEquals(Set.of(e), walk(utf.toString()));
        assertEquals(Set.of("inner"), walk(utf + "/" + e));

        Path java = mkdir("java"); // names that the JVM itself encodes come back as written
        List<String> own = new ArrayList<>(List.of("\u00e9t\u00e9", "a b", "\u00ff" + "y".repeat(200)));
        if (UTF8) own.addAll(List.of("\u4e2d\u6587", "\ud83d\ude00", "\u00e9".repeat(127)));
        for (String n : own) Files.createFile(java.resolve(n));
        assertEquals(new HashSet<>(own), walk(java.toString()));
    }

    @Test
    void entriesChangingDuringTheWalk() throws Exception {
        Path d = mkdir("churn");
        touch(d, 3000, "old");
        Set<String> seen = new HashSet<>();
        try (FolderIteratorNix it = new FolderIteratorNix(d.toString())) {
            while (it.hasNext()) {
                String n = it.next();
                assertTrue(seen.add(n), "reported twice: " + n);
                if (seen.size() == 100) {
                    for (int i = 0; i < 3000; i += 2) Files.deleteIfExists(d.resolve("old" + i));
                    touch(d, 1000, "new");
                }
            }
        }
        Set<String> any = names("old", 3000);
        any.addAll(names("new", 1000));
        assertTrue(any.containsAll(seen));
        for (int i = 1; i < 3000; i += 2) assertTrue(seen.contains("old" + i), "lost old" + i);
    }

    @Test
    void pathsBeyondPathMax() throws Exception {
        Path base = mkdir("deep");
        String comp = "L".repeat(200);
        int levels = (3846 - base.toString().length() + 200) / 201;
        StringBuilder dir = new StringBuilder(base.toString());
        for (int i = 0; i < levels; i++) dir.append('/').append(comp);
        assertTrue(dir.length() > 3845 && dir.length() < 4095, "fixture: " + dir.length());
        String big = "E".repeat(250);
        try {
            sh(base, "for i in $(seq " + levels + "); do mkdir " + comp + " && cd " + comp + " || exit 1; done;"
                    + " mkdir " + big + " && touch " + "F".repeat(250) + " s");
            // dir + "/" + these names passes 4095 bytes: they are still reported
            assertEquals(Set.of(big, "F".repeat(250), "s"), walk(dir.toString()));
            String tooLong = dir + "/" + big;
            byte[] msg = openFailure(IOException.class, tooLong).getBytes(StandardCharsets.UTF_8);
            String text = new String(msg, StandardCharsets.UTF_8);
            assertTrue(msg.length <= 511, "message of " + msg.length + " bytes");
            assertTrue(text.startsWith(FIRST + base), text);
            // The whole path cannot fit the message; the error text is there only if the message was not cut.
            assertTrue(msg.length == 511 || text.endsWith("'. Error='File name too long'"), text);
        } finally {
            sh(tmp, "rm -rf deep"); // the JDK cannot delete paths this long
        }
    }

    @Test
    void hundredThousandEntries() throws Exception {
        Path d = mkdir("big");
        sh(d, "seq 0 99999 | sed 's/^/e/' | xargs touch");
        long t0 = System.nanoTime();
        Set<String> got = walk(d.toString());
        System.out.printf("walk of 100000 entries: %d ms%n", (System.nanoTime() - t0) / 1_000_000);
        assertEquals(names("e", 100_000), got);
    }

    @Test
    void concurrentWalksOfDifferentDirectories() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(8);
        try {
            List<Future<?>> done = new ArrayList<>();
            for (int t = 0; t < 8; t++) {
                Path d = mkdir("t" + t);
                String prefix = "t" + t + "_";
                touch(d, 1500, prefix);
                done.add(pool.submit(() -> {
                    for (int round = 0; round < 10; round++) assertEquals(names(prefix, 1500), walk(d.toString()));
                    return null;
                }));
            }
            for (Future<?> f : done) f.get();
        } finally {
            pool.shutdownNow();
        }
    }

    @Test
    void iteratorProtocol() throws Exception {
        Path d = mkdir("api");
        touch(d, 5, "a");
        Set<String> got = new HashSet<>();
        try (FolderIteratorNix it = new FolderIteratorNix(d.toString())) {
            assertEquals(d.toString(), it.directory());
            while (it.hasNext()) {
                assertTrue(it.hasNext()); // asking twice must not skip an entry
                got.add(it.next());
            }
            assertFalse(it.hasNext());
            assertThrows(NoSuchElementException.class, it::next);
            it.close();
        } // and closed once more
        assertEquals(names("a", 5), got);
        assertEquals(names("a", 5), new HashSet<>(FolderIteratorNix.list(d.toString())));
        try (Stream<String> s = FolderIteratorNix.stream(d.toString())) {
            assertEquals(2, s.limit(2).collect(Collectors.toList()).size());
        }
        FolderIteratorNix early = new FolderIteratorNix(d.toString());
        early.next();
        early.close();
        early.close();
        assertFalse(early.hasNext());
        assertThrows(NoSuchElementException.class, early::next);
        assertEquals(0, streamsUnder(d));
    }

    @Test
    void noDescriptorOutlivesAWalk() throws Exception {
        Path d = mkdir("leak");
        touch(d, 4, "l");
        Path probe = Files.writeString(tmp.resolve("probe"), "probe");
        try (FileChannel ch = FileChannel.open(probe)) {
            assertEquals(0, streamsUnder(d));
            for (int i = 0; i < 10_000; i++) {
                FolderIteratorNix it = new FolderIteratorNix(d.toString());
                if (i % 4 == 0) {
                    it.forEachRemaining(n -> {}); // the library closes the stream at the end
                } else {
                    it.next();
                    if (i % 4 == 1) it.close(); // else abandoned to the Cleaner
                }
            }
            // Count only descriptors on the walked directory: other tests' processes and
            // streams close theirs on their own schedule.
            for (long end = System.nanoTime() + 10_000_000_000L; streamsUnder(d) > 0 && System.nanoTime() < end;) {
                System.gc();
                Thread.sleep(100);
            }
            assertEquals(0, streamsUnder(d));
            // A stream closed twice would have closed someone else's descriptor, such as this one.
            assertEquals(5, ch.read(ByteBuffer.allocate(16), 0));
        }
    }
}
