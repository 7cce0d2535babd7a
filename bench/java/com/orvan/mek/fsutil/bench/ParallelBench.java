package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.LongAdder;
import java.util.stream.Stream;

/**
 * Every core: on a tree of FILES files in 1,000 directories, the parallel stream against the
 * sequential one, names only (goal >= 1.4x) and with ATTRIBUTES (goal >= 1.6x); FileTree.usage in
 * this JVM against du -s run as a process (goal >= 1.4x); resident memory over repeated runs of
 * both. Then, on a tree of 1,000,000 entries, the tool's du -s (a JVM started for it) against GNU
 * du -s. Usage: ParallelBench [FILES [ROUNDS [BIG_ENTRIES]]]
 */
public final class ParallelBench {
    private ParallelBench() {}

    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        int big = args.length > 2 ? Integer.parseInt(args[2]) : 1_000_000;
        Path dir = Files.createTempDirectory("fsutil-parallelbench");
        try {
            String root = TreeBench.build(dir.resolve("tree"), files).toString();
            long n = walk(root, false, false);
            String[] labels = {"(s) sequential, names", "(p) parallel, names", "(S) sequential, ATTRIBUTES",
                "(P) parallel, ATTRIBUTES", "(u) FileTree.usage", "(d) du -s (process)"};
            double[][] ns = new double[labels.length][rounds];
            for (int r = -2; r < rounds; r++) {  // two rounds of warm-up
                for (int m = 0; m < labels.length; m++) {
                    long t0 = System.nanoTime();
                    long got = m < 4 ? walk(root, m % 2 == 1, m >= 2) : m == 4 ? FileTree.usage(root).entries() - 1 : du(dir, root);
                    long t = System.nanoTime() - t0;
                    if (m < 4 && got != n) throw new IllegalStateException(labels[m] + ": " + got + " entries, not " + n);
                    if (r >= 0) ns[m][r] = t / (double) n;
                }
            }
            System.out.printf("ParallelBench: %d entries, %d cores, median of %d rounds%n", n,
                    Runtime.getRuntime().availableProcessors(), rounds);
            double[] t = new double[labels.length];
            for (int m = 0; m < labels.length; m++) {
                t[m] = StatBench.median(ns[m]);
                System.out.printf("  %-30s %8.1f ns/entry%n", labels[m], t[m]);
            }
            System.out.printf("  s/p = %.2f (goal >= 1.4)   S/P = %.2f (goal >= 1.6)   d/u = %.2f (goal >= 1.4)%n",
                    t[0] / t[1], t[2] / t[3], t[5] / t[4]);
            long before = WalkBench.rssAfterGc();
            long walked = 0;
            for (int i = 0; i < Math.max(1, 1_000_000 / n); i++) walked += walk(root, true, true) + FileTree.usage(root).entries();
            long after = WalkBench.rssAfterGc();
            System.out.printf("  VmRSS before %d kB, after %d entries walked in parallel and summed %d kB: %+d kB%n",
                    before, walked, after, after - before);
            if (big > 0) bigTree(dir, big);
        } finally {
            WalkBench.exec(dir.getParent(), List.of("rm", "-rf", dir.toString()));
        }
    }


    private static long walk(String root, boolean parallel, boolean attributes) throws Exception {
        LongAdder count = new LongAdder();
        LongAdder sink = new LongAdder();
        FileTree.Walker w = FileTree.walker(root);
        if (attributes) w.with(FileTree.Option.ATTRIBUTES);
        try (Stream<FileTree.Entry> s = parallel ? w.stream().parallel() : w.stream()) {
            s.forEach(e -> {
                count.increment();
                sink.add(e.path().length() + (attributes ? e.size() + e.lastModifiedTime().toMillis() : 0));
            });
        }
        return count.sum();
    }

    private static long du(Path dir, String root) throws Exception {
        Process p = new ProcessBuilder("du", "-s", root).directory(dir.toFile()).redirectErrorStream(true).start();
        p.getInputStream().readAllBytes();
        return p.waitFor();
    }

    // The tool's du -s, JVM start included, against GNU du -s on BIG entries.
    private static void bigTree(Path dir, int big) throws Exception {
        Path tree = dir.resolve("big");
        int dirs = big / 1000;
        for (int d = 0; d < dirs; d++) {
            Path sub = Files.createDirectories(tree.resolve("d" + d / 100).resolve("s" + d % 100));
            for (int f = 0; f < 999; f++) Files.createFile(sub.resolve("f" + f));
        }
        String jar = Path.of(FileTree.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        List<String> tool = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-Djava.library.path=" + System.getProperty("java.library.path"), "-jar", jar, "du", "-s", tree.toString()));
        List<String> gnu = List.of("du", "-s", tree.toString());
        double[] a = new double[5];
        double[] b = new double[5];
        String out = "";
        for (int r = -1; r < 5; r++) {
            long t0 = System.nanoTime();
            out = run(tool);
            long t1 = System.nanoTime();
            String gnuOut = run(gnu);
            long t2 = System.nanoTime();
            if (!out.equals(gnuOut)) throw new IllegalStateException("du differs: " + out + " / " + gnuOut);
            if (r >= 0) {
                a[r] = (t1 - t0) / 1e9;
                b[r] = (t2 - t1) / 1e9;
            }
        }
        double ta = StatBench.median(a);
        double tb = StatBench.median(b);
        System.out.printf("  %d entries: fsutil du -s (JVM start included) %.3f s, GNU du -s %.3f s: %.2fx (goal > 1)%n",
                dirs * 1000 + dirs / 100 + 1, ta, tb, tb / ta);
    }

    private static String run(List<String> cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes());
        p.waitFor();
        return out;
    }
}
