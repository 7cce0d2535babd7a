package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.List;

/**
 * Keeping a tree of FILES files of 0-4 KiB in FILES/100 directories in step on tmpfs (/dev/shm):
 * FileTree.sync (f) against rsync -aHAX --delete run as a process (r), in interleaved rounds, for a
 * first sync into an empty target, a sync with nothing to do, and a sync after 1% of the files were
 * modified, 1% removed and 1% added (each target made ready untimed). Goals: r/f >= 2 for the first,
 * >= 3 for the other two. Then VmRSS before and after syncs with nothing to do over ENTRIES
 * unchanged entries, to see that memory stays flat.
 * Usage: SyncBench [FILES [ROUNDS [ENTRIES]]]
 */
public final class SyncBench {
    private SyncBench() {}

    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 3;
        int entries = args.length > 2 ? Integer.parseInt(args[2]) : 1_000_000;
        Path dir = Files.createTempDirectory(Path.of("/dev/shm"), "fsutil-syncbench");
        try {
            Path src = dir.resolve("src");
            Path changed = dir.resolve("changed");
            Path dst = dir.resolve("dst");
            int dirs = Math.max(1, files / 100);
            CopyBench.build(src, files, dirs);
            // src with 1% of its files modified (a byte more), 1% removed and 1% added.
            FileTree.copy(src.toString(), changed.toString());
            int step = 100;
            for (int f = 0, k = 0; f < files; f += step, k++) {
                Path file = changed.resolve("d" + (f % dirs)).resolve("f" + f);
                Path other = changed.resolve("d" + ((f + 1) % dirs)).resolve("f" + (f + 1));
                Files.write(file, new byte[] {1}, java.nio.file.StandardOpenOption.APPEND);
                Files.deleteIfExists(other);
                Files.write(changed.resolve("d" + (k % dirs)).resolve("new" + k), new byte[k % 4097]);
            }
            String[] cases = {"first sync into an empty target", "nothing to do", "1% modified, removed, added"};
            double[] goals = {2, 3, 3};
            double[][][] seconds = new double[3][2][rounds];
            for (int r = -1; r < rounds; r++) {  // round -1 warms up
                for (int c = 0; c < 3; c++) {
                    for (int m = 0; m < 2; m++) {
                        if (c == 0) remove(dst);
                        if (c > 0) FileTree.sync(src, dst);  // ready: equal to src
                        WalkBench.exec(dir, List.of("sync"));
                        Path from = c == 2 ? changed : src;
                        long t0 = System.nanoTime();
                        if (m == 0) {
                            FileTree.sync(from, dst);
                        } else {
                            WalkBench.exec(dir, List.of("rsync", "-aHAX", "--delete", from + "/", dst + "/"));
                        }
                        seconds[c][m][Math.max(r, 0)] = (System.nanoTime() - t0) / 1e9;
                    }
                }
            }
            System.out.printf("SyncBench: %d files of 0-4 KiB in %d directories on /dev/shm, median of %d interleaved rounds, %d cores, load %s%n",
                    files, dirs, rounds, Runtime.getRuntime().availableProcessors(), Files.readString(Path.of("/proc/loadavg")).trim());
            for (int c = 0; c < 3; c++) {
                double f = StatBench.median(seconds[c][0]), rs = StatBench.median(seconds[c][1]);
                System.out.printf("  %-34s (f) FileTree.sync %7.3f s  (r) rsync -aHAX --delete %7.3f s  r/f = %.2f (goal >= %.0f)%n",
                        cases[c], f, rs, rs / f, goals[c]);
            }
            remove(changed);
            remove(dst);
            if (entries <= 0) return;

            // ENTRIES unchanged entries: 10,000 empty files in 100 directories, copied below one directory until there are enough.
            Path one = dir.resolve("one");
            CopyBench.build(one, 0, 100);
            for (int d = 0; d < 100; d++) {
                for (int f = d; f < 10_000; f += 100) Files.createFile(one.resolve("d" + d).resolve("e" + f));
            }
            Path many = dir.resolve("many");
            Files.createDirectories(many);
            int copies = Math.max(1, entries / 10_101);
            for (int i = 0; i < copies; i++) FileTree.copy(one.toString(), many.resolve("c" + i).toString());
            Path mirror = dir.resolve("mirror");
            FileTree.SyncResult made = FileTree.sync(many, mirror);
            long before = WalkBench.rssAfterGc();
            FileTree.SyncResult again = null;
            for (int i = 0; i < 3; i++) again = FileTree.sync(many, mirror);
            long after = WalkBench.rssAfterGc();
            System.out.printf("  VmRSS after a first sync of %d entries %d kB, after 3 syncs finding %d unchanged %d kB: %+d kB%n",
                    made.created(), before, again.unchanged(), after, after - before);
        } finally {
            WalkBench.exec(dir.getParent(), List.of("rm", "-rf", dir.toString()));
        }
    }

    private static void remove(Path p) throws Exception {
        if (Files.exists(p, LinkOption.NOFOLLOW_LINKS)) FileTree.delete(p.toString());
    }
}
