package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileSysStatUnix;
import com.orvan.mek.fsutil.FileSystemStatLin;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileStore;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * File-system statistics: fsutil against the JDK's FileStore and against the bare statvfs64
 * call of the native floor program.
 * Usage: StatBench FLOOR_PROGRAM PATH [CALLS_PER_ROUND [ROUNDS]]
 */
public final class StatBench {
    private static long sink;

    private StatBench() {}

    public static void main(String[] args) throws Exception {
        if (args.length < 2) {
            System.err.println("usage: StatBench FLOOR_PROGRAM PATH [CALLS_PER_ROUND [ROUNDS]]");
            System.exit(2);
        }
        String floor = args[0];
        String path = args[1];
        int calls = args.length > 2 ? Integer.parseInt(args[2]) : 200_000;
        int rounds = args.length > 3 ? Integer.parseInt(args[3]) : 7;
        Path nioPath = Paths.get(path);
        FileSystemStatLin fsutil = new FileSystemStatLin();

        // Both roads must see the same file system before their speed means anything.
        FileSysStatUnix s = fsutil.getFileSysStat(path);
        FileStore store = Files.getFileStore(nioPath);
        if (s.getTotalSpace() != store.getTotalSpace() || s.getBlockSize() != store.getBlockSize()) {
            throw new AssertionError("fsutil and the JDK disagree: " + s + " vs " + store);
        }

        // Warm-up: the JIT compiles both loops before any round is timed.
        for (int i = 0; i < 5; i++) {
            fsutilRound(fsutil, path, calls / 5);
            jdkRound(nioPath, calls / 50);
        }
        double[] a = new double[rounds];
        double[] b = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            a[r] = fsutilRound(fsutil, path, calls);
            // The JDK road is far slower; fewer calls keep the round short.
            b[r] = jdkRound(nioPath, Math.max(1, calls / 10));
        }
        double na = median(a);
        double nb = median(b);
        double nc = runFloor(floor, path, calls, rounds);

        System.out.printf("statistics of %s (medians of %d rounds)%n", path, rounds);
        System.out.printf("  (a) fsutil getFileSysStat            %10.1f ns/call%n", na);
        System.out.printf("  (b) JDK getFileStore + 4 getters     %10.1f ns/call%n", nb);
        System.out.printf("  (c) statvfs64 from C (floor)         %10.1f ns/call%n", nc);
        System.out.printf("  b/a = %.1f (goal >= 10)   a/c = %.2f (goal <= 3)%n", nb / na, na / nc);
        if (sink == 42) System.out.println();  // keeps the results alive
    }

    private static double fsutilRound(FileSystemStatLin fsutil, String path, int calls) throws IOException {
        long t0 = System.nanoTime();
        for (int i = 0; i < calls; i++) {
            FileSysStatUnix s = fsutil.getFileSysStat(path);
            sink += s.getTotalSpace() + s.getUsableSpace() + s.getFreeSpace() + s.getBlockSize();
        }
        return (double) (System.nanoTime() - t0) / calls;
    }

    private static double jdkRound(Path path, int calls) throws IOException {
        long t0 = System.nanoTime();
        for (int i = 0; i < calls; i++) {
            FileStore store = Files.getFileStore(path);
            sink += store.getTotalSpace() + store.getUsableSpace() + store.getUnallocatedSpace() + store.getBlockSize();
        }
        return (double) (System.nanoTime() - t0) / calls;
    }

    private static double runFloor(String floor, String path, int calls, int rounds) throws Exception {
        Process p = new ProcessBuilder(floor, path, Integer.toString(calls), Integer.toString(rounds))
                .redirectError(ProcessBuilder.Redirect.INHERIT).start();
        String line;
        try (BufferedReader r = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8))) {
            line = r.readLine();
        }
        if (p.waitFor() != 0 || line == null) throw new IOException(floor + " failed");
        Matcher m = Pattern.compile("ns/call ([0-9.]+)").matcher(line);
        if (!m.find()) throw new IOException("unexpected output of " + floor + ": " + line);
        return Double.parseDouble(m.group(1));
    }

    static double median(double[] values) {
        double[] v = values.clone();
        Arrays.sort(v);
        return v[v.length / 2];
    }
}
