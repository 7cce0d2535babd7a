package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.*;
import java.util.concurrent.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

// FileTree.watch: the replay property on random activity (also overflowed), new trees, the watch limit, close.
class WatchTest {
    @TempDir Path tmp;

    // ---- the replay property

    // A listing as byte-exact paths (one char per byte) and types.
    private static TreeMap<String, FileTree.Type> listing(Path root) throws IOException {
        TreeMap<String, FileTree.Type> m = new TreeMap<>();
        try (Stream<FileTree.Entry> s = FileTree.walk(root)) {
            s.forEach(e -> m.put(rel(e), e.type()));
        }
        return m;
    }

    private static String rel(FileTree.Entry e) {
        StringBuilder b = new StringBuilder(new String(e.nameBytes(), StandardCharsets.ISO_8859_1));
        for (FileTree.Entry p = e.parent(); p != null; p = p.parent()) b.insert(0, new String(p.nameBytes(), StandardCharsets.ISO_8859_1) + "/");
        return b.toString();
    }

    private static String key(byte[] b) { return new String(b, StandardCharsets.ISO_8859_1); }

    private static void removeBelow(TreeMap<String, FileTree.Type> m, String p) {
        m.remove(p);
        m.subMap(p + "/", p + "0").clear();  // '0' follows '/'
    }

    // Applies a change as the property says.
    private static void apply(TreeMap<String, FileTree.Type> m, FileTree.Change c) {
        String p = key(c.pathBytes());
        switch (c.kind()) {
            case CREATED -> m.put(p, c.type());
            case REMOVED -> removeBelow(m, p);
            case MOVED -> {
                String from = key(c.fromPathBytes());
                TreeMap<String, FileTree.Type> moved = new TreeMap<>();
                if (m.containsKey(from)) moved.put(p, m.get(from));
                m.subMap(from + "/", from + "0").forEach((k, v) -> moved.put(p + k.substring(from.length()), v));
                removeBelow(m, from);
                removeBelow(m, p);
                m.putAll(moved);
            }
            default -> { }
        }
    }

    // Takes changes until none came for a while (a moved-from waits for its pair, a recovery reads the tree).
    private static List<FileTree.Change> drain(FileTree.Watch w) throws InterruptedException {
        List<FileTree.Change> all = new ArrayList<>();
        for (FileTree.Change c; (c = w.poll(1500, TimeUnit.MILLISECONDS)) != null;) all.add(c);
        return all;
    }

    private static final class Activity {
        final Random rnd;
        final Path root;
        final Path outside;
        int serial;

        Activity(long seed, Path root, Path outside) {
            rnd = new Random(seed);
            this.root = root;
            this.outside = outside;
        }

        // A name of 1 to 4 random bytes: every value but NUL and '/', newlines too; never "." or "..".
        byte[] name() {
            byte[] n = new byte[1 + rnd.nextInt(4)];
            for (int i = 0; i < n.length; i++) {
                int b;
                do { b = 1 + rnd.nextInt(255); } while (b == '/');
                n[i] = (byte) b;
            }
            if (n[0] == '.') n[0] = 'x';
            return n;
        }

        Path child(Path dir) { return dir.resolve(NioPaths.path(name())); }

        <T> T pick(List<T> l) { return l.get(rnd.nextInt(l.size())); }

        void step() throws IOException {
            List<Path> dirs = new ArrayList<>(), files = new ArrayList<>();
            dirs.add(root);
            try (Stream<Path> s = Files.walk(root)) {
                s.skip(1).forEach(p -> (Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS) ? dirs : files).add(p));
            }
            List<Path> any = new ArrayList<>(dirs.subList(1, dirs.size()));
            any.addAll(files);
            try {
                switch (rnd.nextInt(11)) {
                    case 0, 1 -> Files.write(child(pick(dirs)), new byte[] {1});
                    case 2 -> {
                        List<Path> regular = files.stream().filter(f -> Files.isRegularFile(f, LinkOption.NOFOLLOW_LINKS)).toList();
                        if (!regular.isEmpty()) Files.write(pick(regular), new byte[] {2}, StandardOpenOption.APPEND);
                    }
                    case 3 -> { if (!any.isEmpty()) chmod(pick(any)); }
                    case 4, 5 -> { if (!any.isEmpty()) Files.move(pick(any), child(pick(dirs)), StandardCopyOption.REPLACE_EXISTING); }
                    case 6 -> { if (!any.isEmpty()) Files.move(pick(any), outside.resolve("out" + serial++)); }
                    case 7 -> {
                        Path t = outside.resolve("in" + serial++);
                        tree(t, 2);
                        Files.move(t, child(pick(dirs)));
                    }
                    case 8 -> tree(child(pick(dirs)), 1 + rnd.nextInt(3));
                    case 9 -> { if (dirs.size() > 1) FileTree.delete(dirs.get(1 + rnd.nextInt(dirs.size() - 1))); }
                    default -> Files.createSymbolicLink(child(pick(dirs)), NioPaths.path(name()));
                }
            } catch (FileAlreadyExistsException | DirectoryNotEmptyException | NoSuchFileException e) {
                // a name met twice, a directory moved over a full one or into itself: the tree stays as it is
            } catch (FileSystemException e) {
                if (!String.valueOf(e.getReason()).contains("Invalid argument") && !String.valueOf(e.getReason()).contains("Not a directory")
                        && !String.valueOf(e.getReason()).contains("Is a directory")) throw e;
            }
        }

        void chmod(Path p) throws IOException {
            if (Files.isSymbolicLink(p)) return;
            Files.setPosixFilePermissions(p, PosixFilePermissions.fromString(rnd.nextBoolean() ? "rwx------" : "rwxr-x---"));
        }

        // dir and, below it, `depth` levels of a directory and a file each.
        void tree(Path dir, int depth) throws IOException {
            Files.createDirectory(dir);
            Path d = dir;
            for (int i = 0; i < depth; i++) {
                Files.write(child(d), new byte[0]);
                d = Files.createDirectory(child(d));
            }
        }
    }

    // The kernel's queue (fs.inotify.max_queued_events) made small for the watches made while it runs, then restored.
    private static <T> T withQueuedEvents(int max, Callable<T> body) throws Exception {
        String knob = "/proc/sys/fs/inotify/max_queued_events";
        String before = sysctl(knob, max);
        try {
            return body.call();
        } finally {
            sysctl(knob, Integer.parseInt(before));
        }
    }

    // Sets a kernel knob (by the shell: Java's file writes reach /proc/sys a byte at a time); its value before.
    private static String sysctl(String knob, int value) throws Exception {
        return sh(null, "cat " + knob + " && echo " + value + " > " + knob).trim();
    }

    @ParameterizedTest
    @ValueSource(strings = {"normal", "small queue", "kernel overflow"})
    void changesReplayedOnTheFirstListingGiveTheFinalTree(String queue) throws Exception {
        assumeTrue(!queue.equals("kernel overflow") || (ROOT && Files.isWritable(Path.of("/proc/sys/fs/inotify/max_queued_events"))));
        long seed = System.nanoTime();
        System.out.println("WatchTest seed " + seed + " (" + queue + ")");
        Path root = Files.createDirectory(tmp.resolve("root")), outside = Files.createDirectory(tmp.resolve("outside"));
        Activity a = new Activity(seed, root, outside);
        for (int i = 0; i < 30; i++) a.step();
        List<String> failures = new ArrayList<>();
        Callable<FileTree.Watch> open = () -> FileTree.watch(root, failures(failures), queue.equals("small queue") ? 4 : 65536);
        try (FileTree.Watch w = queue.equals("kernel overflow") ? withQueuedEvents(16, open) : open.call()) {
            TreeMap<String, FileTree.Type> replay = listing(root);
            List<FileTree.Change> taken = new ArrayList<>();
            // The kernel's queue of 16 overflows only where the reader falls behind: bursts from one
            // process until it has, so that the activity below meets a watch that recovered.
            for (int b = 0; queue.equals("kernel overflow") && b < 20
                    && taken.stream().noneMatch(c -> c.kind() == FileTree.ChangeKind.OVERFLOW); b++) {
                sh(root, "mkdir burst" + b + " && cd burst" + b + " && touch $(seq 2000)");
                for (FileTree.Change c; (c = w.poll(50, TimeUnit.MILLISECONDS)) != null;) taken.add(c);
            }
            for (int i = 0; i < 400; i++) {
                a.step();
                if (i % 50 == 0) for (FileTree.Change c; (c = w.poll()) != null;) taken.add(c);  // a consumer that falls behind
            }
            taken.addAll(drain(w));
            for (FileTree.Change c : taken) apply(replay, c);
            assertEquals(listing(root), replay, () -> "seed " + seed + ", changes: " + taken);
            assertEquals(List.of(), failures);
            boolean overflowed = taken.stream().anyMatch(c -> c.kind() == FileTree.ChangeKind.OVERFLOW);
            assertEquals(!queue.equals("normal"), overflowed, "seed " + seed);
            assertTrue(taken.stream().anyMatch(c -> c.kind() == FileTree.ChangeKind.MOVED) || !queue.equals("normal"), "no move paired");
        }
    }

    @Test
    void everyLevelOfANewChainIsCreatedAndWatched() throws Exception {
        try (FileTree.Watch w = FileTree.watch(tmp)) {
            StringBuilder p = new StringBuilder();
            for (int i = 0; i < 20; i++) p.append(i == 0 ? "" : "/").append("l").append(i);
            sh(tmp, "mkdir -p " + p + " && touch " + p + "/f");
            List<String> created = drain(w).stream().filter(c -> c.kind() == FileTree.ChangeKind.CREATED).map(FileTree.Change::path).toList();
            List<String> expected = new ArrayList<>();
            for (int i = 0, at = 0; i < 20; i++) {
                at = p.indexOf("/", at + 1);
                expected.add(at < 0 ? p.toString() : p.substring(0, at));
            }
            expected.add(p + "/f");
            assertEquals(expected, created);
            // the deepest directory is watched: a file made there now is reported
            sh(tmp, "touch " + p + "/g");
            assertEquals("CREATED " + p + "/g", String.valueOf(w.poll(2, TimeUnit.SECONDS)));
        }
    }

    @Test
    void aRenameIsOneMoveAndTheMovedDirectoryKeepsItsWatches() throws Exception {
        sh(tmp, "mkdir -p a/b c && touch a/b/f c/old");
        try (FileTree.Watch w = FileTree.watch(tmp.toString())) {
            sh(tmp, "mv a c/a2 && touch c/a2/b/g && mv c/a2/b/f c/old && mv c/old \"$(printf 'n\\nl\\351')\"");
            assertEquals(List.of("MOVED a -> c/a2", "CREATED c/a2/b/g", "REMOVED c/old", "MOVED c/a2/b/f -> c/old",
                    "MOVED c/old -> " + NameCodec.decode(new byte[] {'n', '\n', 'l', (byte) 0xe9}, 0, 4)),
                    drain(w).stream().filter(c -> c.kind() != FileTree.ChangeKind.ATTRIBUTES).map(String::valueOf).toList());
        }
    }

    // ---- limits told

    @Test
    void directoriesBeyondTheWatchLimitGoToTheHandler() throws Exception {
        String knob = "/proc/sys/fs/inotify/max_user_watches";
        assumeTrue(ROOT && Files.isWritable(Path.of(knob)));
        sh(tmp, "mkdir -p t/watched && cd t && for i in $(seq 40); do mkdir d$i; done");
        int limit = (int) (watchesNow() + 10);
        List<String> failures = new ArrayList<>();
        String before = sysctl(knob, limit);
        try (FileTree.Watch w = FileTree.watch(tmp + "/t", failures(failures))) {
            String reason = "The inotify watch limit was reached (fs.inotify.max_user_watches = " + limit + ")";
            assertTrue(failures.size() >= 30, failures::toString);
            for (String f : failures) assertTrue(f.matches("(d\\d+|watched): FileSystemException: " + java.util.regex.Pattern.quote(reason)), f);
            sh(tmp, "touch t/new");
            assertEquals("CREATED new", String.valueOf(w.poll(2, TimeUnit.SECONDS)), "the root is watched");
        } finally {
            sysctl(knob, Integer.parseInt(before));
        }
    }

    // Inotify watches of every process (each fdinfo line "inotify wd:...").
    private static long watchesNow() throws IOException {
        long n = 0;
        try (DirectoryStream<Path> procs = Files.newDirectoryStream(Path.of("/proc"), "[0-9]*")) {
            for (Path p : procs) n += inotifyLines(p.resolve("fdinfo"));
        }
        return n;
    }

    private static long inotifyLines(Path fdinfo) {
        long n = 0;
        try (DirectoryStream<Path> fds = Files.newDirectoryStream(fdinfo)) {
            for (Path f : fds) {
                try {
                    n += Files.readAllLines(f).stream().filter(l -> l.startsWith("inotify wd:")).count();
                } catch (IOException gone) {
                    // closed meanwhile
                }
            }
        } catch (IOException gone) {
            // the process ended meanwhile
        }
        return n;
    }

    @Test
    void aRootThatCannotBeWatchedIsTheExceptionThatFits() {
        assertThrows(NoSuchFileException.class, () -> FileTree.watch(tmp + "/missing"));
        assertThrows(IllegalArgumentException.class, () -> FileTree.watch(tmp, FileTree.Option.FOLLOW_LINKS));
    }

    // ---- the end of a watch

    @Test
    void closeFromAnotherThreadWakesATake() throws Exception {
        FileTree.Watch w = FileTree.watch(tmp);
        ExecutorService pool = Executors.newSingleThreadExecutor();
        try {
            CountDownLatch started = new CountDownLatch(1);
            Future<?> taker = pool.submit(() -> {
                started.countDown();
                return w.take();
            });
            started.await();
            Thread.sleep(100);
            w.close();
            ExecutionException e = assertThrows(ExecutionException.class, () -> taker.get(5, TimeUnit.SECONDS));
            assertInstanceOf(ClosedWatchServiceException.class, e.getCause());
            assertThrows(ClosedWatchServiceException.class, w::poll);
            assertThrows(ClosedWatchServiceException.class, () -> w.poll(1, TimeUnit.SECONDS));
            w.close();  // twice: nothing
        } finally {
            pool.shutdownNow();
        }
    }

    // Descriptors, watch threads and kernel watches of this process.
    private static long[] held() throws IOException {
        long fds;
        try (Stream<Path> s = Files.list(Path.of("/proc/self/fd"))) {
            fds = s.count();
        }
        long threads = Thread.getAllStackTraces().keySet().stream().filter(t -> t.getName().startsWith("fsutil-watch-")).count();
        return new long[] {fds, threads, inotifyLines(Path.of("/proc/self/fdinfo"))};
    }

    @Test
    void nothingIsLeftAfterCloseNorAfterAnUnclosedWatchIsDropped() throws Exception {
        sh(tmp, "mkdir -p a/b/c d e");
        long[] before = held();
        FileTree.Watch w = FileTree.watch(tmp);
        long[] during = held();
        assertEquals(before[1] + 1, during[1], "one reader thread");
        assertEquals(before[2] + 7, during[2], "a kernel watch per directory and one on the root's parent");
        w.close();
        assertArrayEquals(before, held());
        FileTree.watch(tmp);  // dropped unclosed
        for (int i = 0; i < 100 && !Arrays.equals(before, held()); i++) {
            System.gc();
            Thread.sleep(50);
        }
        assertArrayEquals(before, held(), "released by the Cleaner");
    }

    @Test
    void theRootRemovedIsTheLastChange() throws Exception {
        sh(tmp, "mkdir -p r/s && touch r/s/f");
        long[] before = held();
        FileTree.Watch w = FileTree.watch(tmp + "/r");
        sh(tmp, "rm -r r");
        List<String> seen = new ArrayList<>();
        assertThrows(ClosedWatchServiceException.class, () -> {
            while (true) seen.add(String.valueOf(w.take()));
        });
        assertEquals(List.of("REMOVED s/f", "REMOVED s", "REMOVED "), seen);
        for (int i = 0; i < 50 && !Arrays.equals(before, held()); i++) Thread.sleep(20);
        assertArrayEquals(before, held());
        w.close();
    }

    // ---- the tool

    @Test
    void theToolPrintsEachChangeAsItComes() throws Exception {
        assertEquals(1, tool("watch", tmp + "/missing").status());
        Path dir = Files.createDirectory(tmp.resolve("w"));
        Process p = new ProcessBuilder(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni", "-jar", JAR, "watch", dir.toString())
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        try {
            BufferedReader out = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.ISO_8859_1));
            // Until the watch is up, what is made is made again; then what that printed is read off.
            for (int i = 0; i < 100 && !out.ready(); i++) {
                sh(dir, "mkdir a && rmdir a");
                Thread.sleep(200);
            }
            assertEquals("CREATED " + dir + "/a", out.readLine());
            Thread.sleep(500);
            while (out.ready()) out.readLine();
            sh(dir, "touch \"$(printf 'x\\351')\"");
            assertEquals("CREATED " + dir + "/x\u00e9", out.readLine());
            sh(dir, "mv \"$(printf 'x\\351')\" y");
            String next = out.readLine();
            if (next.startsWith("ATTRIBUTES")) next = out.readLine();
            assertEquals("MOVED " + dir + "/x\u00e9 -> " + dir + "/y", next);
            p.destroy();
            assertEquals(0, p.waitFor());
        } finally {
            p.destroyForcibly();
        }
    }
}
