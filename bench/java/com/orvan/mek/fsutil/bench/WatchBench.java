package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.FileVisitResult;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.SimpleFileVisitor;
import java.nio.file.StandardWatchEventKinds;
import java.nio.file.WatchService;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.HashSet;
import java.util.Set;
import java.util.concurrent.TimeUnit;

/**
 * {@code WatchBench [DIRS...]}: FileTree.watch against {@code inotifywait -r -m} and the JDK idiom
 * (every directory registered with a WatchService). Set-up time on trees of DIRS directories
 * (default 10,000 and 100,000), from the call until every directory is watched (inotifywait: until
 * its "Watches established." line); memory per watched directory (Java heap and native resident
 * memory); throughput: 100,000 files created in 1,000 directories by a loop, the time until the last
 * is taken (inotifywait: until it printed the last), every one reported, median of 3 interleaved rounds, with
 * fs.inotify.max_queued_events raised for both where this process may (root).
 */
public final class WatchBench {
    private WatchBench() {}

    public static void main(String[] args) throws Exception {
        int[] sizes = args.length == 0 ? new int[] {10_000, 100_000} : java.util.Arrays.stream(args).mapToInt(Integer::parseInt).toArray();
        for (int n : sizes) setUp(n);
        throughput(1_000, 100_000);
    }

    /** A tree of n directories, 100 per directory, three levels. */
    private static Path tree(int n) throws IOException {
        Path root = Files.createTempDirectory("watchbench");
        int made = 0;
        for (int a = 0; made < n; a++) {
            Path pa = Files.createDirectory(root.resolve("a" + a));
            made++;
            for (int b = 0; b < 100 && made < n; b++) {
                Path pb = Files.createDirectory(pa.resolve("b" + b));
                made++;
                for (int c = 0; c < 100 && made < n; c++, made++) Files.createDirectory(pb.resolve("c" + c));
            }
        }
        return root;
    }

    private static void setUp(int n) throws Exception {
        Path root = tree(n);
        try {
            double[] ours = new double[3], jdk = new double[3], tool = new double[3];
            long heap = 0, rss = 0;
            for (int round = 0; round < 3; round++) {
                System.gc();
                Thread.sleep(1000);  // the collector gives pages back on a thread of its own
                long heap0 = usedHeap(), rss0 = rss(), committed0 = Runtime.getRuntime().totalMemory();
                long t0 = System.nanoTime();
                FileTree.Watch w = FileTree.watch(root);
                ours[round] = (System.nanoTime() - t0) / 1e6;
                if (round == 0) {  // later rounds reuse what malloc kept of the first
                    // Before the collection, which gives pages back; the heap committed meanwhile is not native memory.
                    rss = rss() - rss0 - (Runtime.getRuntime().totalMemory() - committed0);
                    System.gc();
                    heap = usedHeap() - heap0;
                }
                w.close();
                tool[round] = inotifywait(root);
                t0 = System.nanoTime();
                try (WatchService ws = FileSystems.getDefault().newWatchService()) {
                    Files.walkFileTree(root, new SimpleFileVisitor<Path>() {
                        @Override
                        public FileVisitResult preVisitDirectory(Path dir, BasicFileAttributes attrs) throws IOException {
                            dir.register(ws, StandardWatchEventKinds.ENTRY_CREATE, StandardWatchEventKinds.ENTRY_DELETE,
                                    StandardWatchEventKinds.ENTRY_MODIFY);
                            return FileVisitResult.CONTINUE;
                        }
                    });
                    jdk[round] = (System.nanoTime() - t0) / 1e6;
                }
            }
            double o = median(ours), j = median(jdk), t = median(tool);
            System.out.printf("set-up, %,d directories: FileTree.watch %.1f ms, inotifywait -r %.1f ms, JDK WatchService %.1f ms;"
                    + " JDK/ours %.2f, inotifywait/ours %.2f%n", n + 1, o, t, j, j / o, t / o);
            System.out.printf("memory per watched directory: Java heap %.1f bytes, native resident %.1f bytes (the kernel's own, up to"
                    + " about 1 KiB per watch, not counted)%n", (double) heap / (n + 1), (double) rss / (n + 1));
        } finally {
            FileTree.delete(root.toString());
        }
    }

    /** Milliseconds from inotifywait's start until it says every watch is established. */
    private static double inotifywait(Path root) throws Exception {
        long t0 = System.nanoTime();
        Process p = new ProcessBuilder("inotifywait", "-r", "-m", root.toString()).start();
        try (BufferedReader err = new BufferedReader(new InputStreamReader(p.getErrorStream(), StandardCharsets.UTF_8))) {
            for (String line; (line = err.readLine()) != null;) {
                if (line.startsWith("Watches established")) break;
            }
            return (System.nanoTime() - t0) / 1e6;
        } finally {
            p.destroy();
            p.waitFor();
        }
    }

    private static void throughput(int dirs, int files) throws Exception {
        Path knob = Path.of("/proc/sys/fs/inotify/max_queued_events");
        String before = sh("cat " + knob).trim();
        boolean raised = Files.isWritable(knob);
        if (raised) sh("echo " + (files * 4) + " > " + knob);
        try {
            double[] ours = new double[3], tool = new double[3];
            for (int round = 0; round < 3; round++) {  // interleaved, each on a tree of its own
                Path root = tree(dirs - 1);
                try {
                    ours[round] = ours(root, files);
                } finally {
                    FileTree.delete(root.toString());
                }
                root = tree(dirs - 1);
                try {
                    tool[round] = tool(root, files);
                } finally {
                    FileTree.delete(root.toString());
                }
            }
            double o = median(ours), t = median(tool);
            System.out.printf("throughput, %,d files in %,d directories (median of 3): FileTree.watch %.1f ms to the last taken,"
                    + " inotifywait %.1f ms to its last line; ours/inotifywait %.2f (max_queued_events %s)%n", files, dirs, o, t, o / t,
                    raised ? "raised to " + files * 4 : "as it is: " + before);
        } finally {
            if (raised) sh("echo " + before + " > " + knob);
        }
    }

    /** The directories of the tree, for the creating loop. */
    private static Path[] dirs(Path root) throws IOException {
        try (var s = Files.walk(root)) {
            return s.filter(Files::isDirectory).toArray(Path[]::new);
        }
    }

    private static void create(Path[] dirs, int files, String tag) throws IOException {
        for (int i = 0; i < files; i++) Files.createFile(dirs[i % dirs.length].resolve(tag + i));
    }

    private static double ours(Path root, int files) throws Exception {
        Path[] dirs = dirs(root);
        try (FileTree.Watch w = FileTree.watch(root)) {
            long t0 = System.nanoTime();
            Thread maker = new Thread(() -> {
                try {
                    create(dirs, files, "o");
                } catch (IOException e) {
                    throw new java.io.UncheckedIOException(e);
                }
            });
            maker.start();
            Set<String> created = new HashSet<>();
            int overflows = 0;
            while (created.size() < files) {
                FileTree.Change c = w.poll(30, TimeUnit.SECONDS);
                if (c == null) throw new IllegalStateException("lost: " + created.size() + " of " + files);
                if (c.kind() == FileTree.ChangeKind.CREATED && c.path().matches("(.*/)?o\\d+")) created.add(c.path());
                if (c.kind() == FileTree.ChangeKind.OVERFLOW) overflows++;
            }
            double ms = (System.nanoTime() - t0) / 1e6;
            maker.join();
            if (overflows > 0) System.out.println("  (FileTree.watch recovered from " + overflows + " overflows)");
            return ms;
        }
    }

    private static double tool(Path root, int files) throws Exception {
        Path[] dirs = dirs(root);
        Process p = new ProcessBuilder("inotifywait", "-r", "-m", "-e", "create", root.toString()).start();
        try (BufferedReader err = new BufferedReader(new InputStreamReader(p.getErrorStream(), StandardCharsets.UTF_8));
                BufferedReader out = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line; (line = err.readLine()) != null && !line.startsWith("Watches established");) { /* set-up */ }
            long t0 = System.nanoTime();
            create(dirs, files, "t");
            int seen = 0;
            while (seen < files) {
                String line = out.readLine();
                if (line == null) throw new IllegalStateException("inotifywait ended after " + seen);
                if (line.matches(".* CREATE t\\d+")) seen++;
            }
            return (System.nanoTime() - t0) / 1e6;
        } finally {
            p.destroy();
            p.waitFor();
        }
    }

    private static String sh(String script) throws Exception {
        Process p = new ProcessBuilder("sh", "-c", script).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        p.waitFor();
        return out;
    }

    private static long usedHeap() {
        Runtime r = Runtime.getRuntime();
        return r.totalMemory() - r.freeMemory();
    }

    private static long rss() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
        }
        return 0;
    }

    private static double median(double[] v) {
        double[] s = v.clone();
        java.util.Arrays.sort(s);
        return s[s.length / 2];
    }
}
