package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.nio.file.FileVisitResult;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.SimpleFileVisitor;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.List;
import java.util.Random;

/**
 * Copying a tree of FILES files of 0-4 KiB in DIRS directories on tmpfs (/dev/shm): FileTree.copy
 * (f) against cp -a (c) and rsync -aH (r) run as processes and the Files.walkFileTree +
 * Files.copy(COPY_ATTRIBUTES) idiom (j), in interleaved rounds, the target removed and synced
 * between rounds (not timed); then one 512 MB file (f against c); then VmRSS before and after
 * copying a tree of a million entries. Goals: c/f >= 1.5, r/f >= 2, j/f >= 2, 512 MB c/f >= 0.9.
 * Given a DIR (another file system), only the tree is copied there.
 * Usage: CopyBench [FILES [ROUNDS [DIR]]]
 */
public final class CopyBench {
    private CopyBench() {}

    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 50_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 5;
        Path base = Path.of(args.length > 2 ? args[2] : "/dev/shm");
        Path dir = Files.createTempDirectory(base, "fsutil-copybench");
        try {
            Path src = dir.resolve("src");
            build(src, files, 500);
            boolean rsync = new ProcessBuilder("sh", "-c", "command -v rsync").start().waitFor() == 0;
            String[] labels = {"(f) FileTree.copy", "(c) cp -a", "(r) rsync -aH", "(j) walkFileTree + Files.copy"};
            double[][] seconds = new double[4][rounds];
            for (int r = -1; r < rounds; r++) {  // round -1 warms up
                for (int m = 0; m < 4; m++) {
                    if (m == 2 && !rsync) continue;
                    seconds[m][Math.max(r, 0)] = copy(m, src, dir.resolve("dst"));
                }
            }
            System.out.printf("CopyBench: %d files of 0-4 KiB in 500 directories on %s, median of %d rounds, load %s%n",
                    files, base, rounds, load());
            double[] t = new double[4];
            for (int m = 0; m < 4; m++) {
                if (m == 2 && !rsync) continue;
                t[m] = StatBench.median(seconds[m]);
                System.out.printf("  %-40s %6.3f s%n", labels[m], t[m]);
            }
            System.out.printf("  c/f = %.2f (goal >= 1.5)   r/f = %s (goal >= 2)   j/f = %.2f (goal >= 2)%n", t[1] / t[0],
                    rsync ? String.format("%.2f", t[2] / t[0]) : "n/a (no rsync)", t[3] / t[0]);
            WalkBench.exec(dir, List.of("rm", "-rf", src.toString()));
            if (args.length > 2) return;  // another file system: the tree alone

            Path big = dir.resolve("big");
            Files.createDirectories(big);
            WalkBench.exec(big, List.of("sh", "-c", "head -c 512M /dev/urandom > file"));
            double[][] b = new double[2][rounds];
            for (int r = -1; r < rounds; r++) {
                for (int m = 0; m < 2; m++) b[m][Math.max(r, 0)] = copy(m, big.resolve("file"), dir.resolve("dst"));
            }
            double bf = StatBench.median(b[0]), bc = StatBench.median(b[1]);
            System.out.printf("  one 512 MB file: (f) %.3f s, (c) %.3f s: c/f = %.2f (goal >= 0.9)%n", bf, bc, bc / bf);
            WalkBench.exec(dir, List.of("rm", "-rf", big.toString()));

            // A million entries: the tree of 10,000 files copied 100 times below one directory, then copied whole.
            Path one = dir.resolve("one");
            build(one, 10_000, 100);
            Path million = dir.resolve("million");
            Files.createDirectories(million);
            for (int i = 0; i < 99; i++) FileTree.copy(one.toString(), million.resolve("c" + i).toString());
            long before = WalkBench.rssAfterGc();
            long n = FileTree.copy(million.toString(), dir.resolve("million2").toString());
            long after = WalkBench.rssAfterGc();
            System.out.printf("  VmRSS before %d kB, after copying %d entries %d kB: %+d kB%n", before, n, after, after - before);
        } finally {
            WalkBench.exec(dir.getParent(), List.of("rm", "-rf", dir.toString()));
        }
    }

    /** Files of 0-4 KiB, the same bytes each run (seed 1), in dirs directories. */
    static void build(Path tree, int files, int dirs) throws IOException {
        Random random = new Random(1);
        byte[] data = new byte[4096];
        random.nextBytes(data);
        for (int d = 0; d < dirs; d++) {
            Path sub = Files.createDirectories(tree.resolve("d" + d));
            for (int f = d; f < files; f += dirs) Files.write(sub.resolve("f" + f), java.util.Arrays.copyOf(data, random.nextInt(4097)));
        }
    }

    private static String load() throws IOException {
        return Files.readString(Path.of("/proc/loadavg")).trim();
    }

    /** Seconds one copy of src to dst takes; dst is removed and synced first, untimed. */
    private static double copy(int how, Path src, Path dst) throws Exception {
        if (Files.exists(dst, LinkOption.NOFOLLOW_LINKS)) WalkBench.exec(dst.getParent(), List.of("rm", "-rf", dst.toString()));
        WalkBench.exec(dst.getParent(), List.of("sync"));
        long t0 = System.nanoTime();
        switch (how) {
            case 0:
                FileTree.copy(src.toString(), dst.toString());
                break;
            case 1:
                WalkBench.exec(dst.getParent(), List.of("cp", "-a", src.toString(), dst.toString()));
                break;
            case 2:
                WalkBench.exec(dst.getParent(), List.of("rsync", "-aH", src + "/", dst + "/"));
                break;
            default:
                Files.walkFileTree(src, new SimpleFileVisitor<Path>() {
                    @Override
                    public FileVisitResult preVisitDirectory(Path d, BasicFileAttributes attrs) throws IOException {
                        Files.copy(d, dst.resolve(src.relativize(d)), StandardCopyOption.COPY_ATTRIBUTES, LinkOption.NOFOLLOW_LINKS);
                        return FileVisitResult.CONTINUE;
                    }

                    @Override
                    public FileVisitResult visitFile(Path f, BasicFileAttributes attrs) throws IOException {
                        Files.copy(f, dst.resolve(src.relativize(f)), StandardCopyOption.COPY_ATTRIBUTES, LinkOption.NOFOLLOW_LINKS);
                        return FileVisitResult.CONTINUE;
                    }
                });
        }
        return (System.nanoTime() - t0) / 1e9;
    }
}
