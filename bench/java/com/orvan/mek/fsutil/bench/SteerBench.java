package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.function.UnaryOperator;
import java.util.stream.Stream;

/**
 * Steered walks against the plain FileTree walk (n) on a tree it builds itself (FILES files in
 * 1,000 directories, ten top directories of 100): pruned at nine of the ten top directories, 90 %
 * of the tree (p, goal p/n <= 0.15 of the whole walk's time), SORTED (s, goal <= 1.3 per entry)
 * and DIRECTORIES_LAST (l, goal <= 1.1 per entry); then resident memory over a million entries
 * walked in each mode.
 * Usage: SteerBench [FILES [ROUNDS]]
 */
public final class SteerBench {
    private static long sink;

    private SteerBench() {}

    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        Path dir = Files.createTempDirectory("fsutil-steerbench");
        try {
            run(TreeBench.build(dir.resolve("tree"), files).toString(), rounds);
        } finally {
            WalkBench.exec(dir.getParent(), List.of("rm", "-rf", dir.toString()));
        }
    }

    private static void run(String root, int rounds) throws Exception {
        List<UnaryOperator<FileTree.Walker>> modes = List.of(w -> w,
                w -> w.prune(e -> e.depth() == 1 && !e.name().equals("d0")),
                w -> w.with(FileTree.Option.SORTED),
                w -> w.with(FileTree.Option.DIRECTORIES_LAST));
        String[] labels = {"(n) plain", "(p) pruned at 90 %", "(s) SORTED", "(l) DIRECTORIES_LAST"};
        long[] counts = new long[modes.size()];
        for (int i = 0; i < 3; i++) {  // warm-up
            for (int m = 0; m < modes.size(); m++) counts[m] = walk(root, modes.get(m));
        }
        double[][] ns = new double[modes.size()][rounds];
        for (int r = 0; r < rounds; r++) {  // interleaved, so that drift hits every mode alike
            for (int m = 0; m < modes.size(); m++) {
                long t0 = System.nanoTime();
                walk(root, modes.get(m));
                ns[m][r] = (System.nanoTime() - t0) / (double) counts[0];  // per entry of the whole tree
            }
        }
        System.out.printf("SteerBench: %d entries, median of %d rounds, ns per entry of the whole tree%n", counts[0], rounds);
        double[] t = new double[modes.size()];
        for (int m = 0; m < modes.size(); m++) {
            t[m] = StatBench.median(ns[m]);
            System.out.printf("  %-24s %8.1f ns/entry  (%d entries)%n", labels[m], t[m], counts[m]);
        }
        System.out.printf("  p/n = %.3f (goal <= 0.15)   s/n = %.2f (goal <= 1.3)   l/n = %.2f (goal <= 1.1)%n",
                t[1] / t[0], t[2] / t[0], t[3] / t[0]);
        for (int m = 2; m < modes.size(); m++) {
            long before = WalkBench.rssAfterGc();
            long walked = 0;
            for (int i = 0; i < Math.max(1, 1_000_000 / counts[0]); i++) walked += walk(root, modes.get(m));
            long after = WalkBench.rssAfterGc();
            System.out.printf("  %s: VmRSS before %d kB, after %d entries %d kB: %+d kB%n", labels[m], before, walked, after,
                    after - before);
        }
        if (sink == 42) System.out.println();  // keeps the results alive
    }

    private static long walk(String root, UnaryOperator<FileTree.Walker> mode) throws Exception {
        long[] count = {0};
        try (Stream<FileTree.Entry> walk = mode.apply(FileTree.walker(root)).stream()) {
            walk.forEach(e -> {
                sink += e.path().length() + e.type().ordinal();
                count[0]++;
            });
        }
        return count[0];
    }
}
