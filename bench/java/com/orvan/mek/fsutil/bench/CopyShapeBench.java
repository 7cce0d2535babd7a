package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

/**
 * Copy by the shape of the tree, on tmpfs (/dev/shm). A chain of LEVELS directories, one in the
 * other (past PATH_MAX): FileTree.copy of it (k) against FileTree.delete of that copy (d), each
 * timed in the JVM: a copy linear in depth stays within a small multiple of the delete. Then a
 * flat directory of FILES files of 0-4 KiB: FileTree.copy (f) against cp -a run as a process
 * (c), interleaved, the target removed and synced between rounds (not timed); then one file of
 * 512 MB the same way, FileTree.copy (b) against cp -a (B). Goals: k/d <= 3, c/f >= 1.5, B/b >= 1.
 * Usage: CopyShapeBench [LEVELS [FILES [ROUNDS]]]
 */
public final class CopyShapeBench {
    private CopyShapeBench() {}

    public static void main(String[] args) throws Exception {
        int levels = args.length > 0 ? Integer.parseInt(args[0]) : 8_000;
        int files = args.length > 1 ? Integer.parseInt(args[1]) : 50_000;
        int rounds = args.length > 2 ? Integer.parseInt(args[2]) : 5;
        Path dir = Files.createTempDirectory(Path.of("/dev/shm"), "fsutil-shapebench");
        try {
            Path chain = dir.resolve("chain");
            Files.createDirectories(chain);
            // Chains of 1,000 made with mkdir -p, then each moved into the bottom of the one before,
            // the last first: no path used is longer than one chain.
            int chunks = Math.max(1, levels / 1000);
            WalkBench.exec(chain, List.of("sh", "-c", "seg=$(printf 'd/%.0s' $(seq 999))d; n=" + chunks
                    + "; i=1; while [ $i -le $n ]; do mkdir -p c$i/$seg || exit 1; i=$((i+1)); done;"
                    + " i=$n; while [ $i -gt 1 ]; do mv c$i c$((i-1))/$seg/ || exit 1; i=$((i-1)); done"));
            levels = chunks * 1001;
            double[] k = new double[rounds];
            double[] d = new double[rounds];
            Path copy = dir.resolve("chain2");
            for (int r = -1; r < rounds; r++) {  // round -1 warms up
                long t0 = System.nanoTime();
                FileTree.copy(chain.toString(), copy.toString());
                long t1 = System.nanoTime();
                FileTree.delete(copy.toString());
                long t2 = System.nanoTime();
                if (r < 0) continue;
                k[r] = (t1 - t0) / 1e9;
                d[r] = (t2 - t1) / 1e9;
            }
            double km = StatBench.median(k), dm = StatBench.median(d);
            System.out.printf("CopyShapeBench: a chain of %d directories, a flat directory of %d files, median of %d rounds, load %s%n",
                    levels, files, rounds, Files.readString(Path.of("/proc/loadavg")).trim());
            System.out.printf("  %-40s %6.3f s%n", "(k) chain FileTree.copy", km);
            System.out.printf("  %-40s %6.3f s%n", "(d) chain FileTree.delete", dm);
            System.out.printf("  k/d = %.2f (goal <= 3)%n", km / dm);
            FileTree.delete(chain.toString());

            Path flat = dir.resolve("flat");
            CopyBench.build(flat, files, 1);
            Path src = flat.resolve("d0");
            double[][] t = new double[2][rounds];
            for (int r = -1; r < rounds; r++) {
                for (int m = 0; m < 2; m++) t[m][Math.max(r, 0)] = copy(m, src, dir.resolve("dst"));
            }
            double f = StatBench.median(t[0]), c = StatBench.median(t[1]);
            System.out.printf("  %-40s %6.3f s%n", "(f) flat FileTree.copy", f);
            System.out.printf("  %-40s %6.3f s%n", "(c) flat cp -a", c);
            System.out.printf("  c/f = %.2f (goal >= 1.5)%n", c / f);
            WalkBench.exec(dir, List.of("rm", "-rf", flat.toString()));

            Path big = dir.resolve("big");
            Files.createDirectories(big);
            WalkBench.exec(big, List.of("sh", "-c", "head -c 512M /dev/urandom > file"));
            for (int r = -1; r < rounds; r++) {
                for (int m = 0; m < 2; m++) t[m][Math.max(r, 0)] = copy(m, big.resolve("file"), dir.resolve("dst"));
            }
            double bf = StatBench.median(t[0]), bc = StatBench.median(t[1]);
            System.out.printf("  %-40s %6.3f s%n", "(b) 512 MB file FileTree.copy", bf);
            System.out.printf("  %-40s %6.3f s%n", "(B) 512 MB file cp -a", bc);
            System.out.printf("  B/b = %.2f (goal >= 1)%n", bc / bf);
        } finally {
            WalkBench.exec(dir.getParent(), List.of("rm", "-rf", dir.toString()));
        }
    }

    private static double copy(int how, Path src, Path dst) throws Exception {
        if (Files.exists(dst)) WalkBench.exec(dst.getParent(), List.of("rm", "-rf", dst.toString()));
        WalkBench.exec(dst.getParent(), List.of("sync"));
        long t0 = System.nanoTime();
        if (how == 0) {
            FileTree.copy(src.toString(), dst.toString());
        } else {
            WalkBench.exec(dst.getParent(), List.of("cp", "-a", src.toString(), dst.toString()));
        }
        return (System.nanoTime() - t0) / 1e9;
    }
}
