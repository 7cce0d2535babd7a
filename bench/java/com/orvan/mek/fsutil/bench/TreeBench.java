package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFileAttributes;
import java.util.List;
import java.util.stream.Stream;

/**
 * Recursive walk: FileTree.walk against Files.walk on a tree it builds itself (FILES regular
 * files spread over 1,000 directories), names and types (n) against Files.walk alone (a), and
 * with attributes (t) against Files.walk plus readAttributes(PosixFileAttributes, NOFOLLOW_LINKS)
 * (b); then the descriptors open during a walk down a chain of 3,000 directories, and the
 * resident memory before and after a million entries walked.
 * Usage: TreeBench [FILES [ROUNDS]]
 */
public final class TreeBench {
    private static long sink;

    private TreeBench() {}

    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        Path dir = Files.createTempDirectory("fsutil-treebench");
        try {
            run(dir, files, rounds);
        } finally {
            WalkBench.exec(dir.getParent(), List.of("rm", "-rf", dir.toString()));
        }
    }

    private static void run(Path dir, int files, int rounds) throws Exception {
        Path tree = build(dir.resolve("tree"), files);
        String root = tree.toString();
        long n0 = names(root);
        long a0 = jdk(tree);
        if (n0 != a0 || attributes(root) != n0 || jdkAttributes(tree) != n0) {
            throw new IllegalStateException("the walks disagree: " + n0 + " " + a0);
        }
        for (int i = 0; i < 3; i++) {  // warm-up
            names(root);
            jdk(tree);
            attributes(root);
            jdkAttributes(tree);
        }
        double[] tn = new double[rounds];
        double[] ta = new double[rounds];
        double[] tt = new double[rounds];
        double[] tb = new double[rounds];
        for (int r = 0; r < rounds; r++) {  // interleaved, so that drift hits all four alike
            long t0 = System.nanoTime();
            names(root);
            long t1 = System.nanoTime();
            jdk(tree);
            long t2 = System.nanoTime();
            attributes(root);
            long t3 = System.nanoTime();
            jdkAttributes(tree);
            long t4 = System.nanoTime();
            tn[r] = (t1 - t0) / (double) n0;
            ta[r] = (t2 - t1) / (double) n0;
            tt[r] = (t3 - t2) / (double) n0;
            tb[r] = (t4 - t3) / (double) n0;
        }
        double n = StatBench.median(tn);
        double a = StatBench.median(ta);
        double t = StatBench.median(tt);
        double b = StatBench.median(tb);
        System.out.printf("TreeBench: %d entries (%d files in 1,000 directories), median of %d rounds%n", n0, files, rounds);
        System.out.printf("  (n) FileTree.walk, path and type            %8.1f ns/entry%n", n);
        System.out.printf("  (a) Files.walk                              %8.1f ns/entry%n", a);
        System.out.printf("  (t) FileTree.walk ATTRIBUTES                %8.1f ns/entry%n", t);
        System.out.printf("  (b) Files.walk + readAttributes(Posix)      %8.1f ns/entry%n", b);
        System.out.printf("  a/n = %.2f (goal >= 5)   b/t = %.2f (goal >= 2)%n", a / n, b / t);

        // A chain of 3,000 directories, about 6,000 bytes deep, with more files at the bottom
        // than one batch holds, so that the walk pauses there with the whole chain below the root.
        WalkBench.exec(dir, List.of("perl", "-e", "for (1..3000) { mkdir 'd' or die; chdir 'd' or die }"
                + " for (1..5000) { open(my $f, '>', \"f$_\") or die }"));
        long most = 0;
        long entries = 0;
        try (Stream<FileTree.Entry> walk = FileTree.walk(dir.resolve("d").toString())) {
            for (var it = walk.iterator(); it.hasNext(); entries++) {
                sink += it.next().depth();
                if (entries % 500 == 0) most = Math.max(most, openDescriptors());
            }
        }
        String jdk;
        try (Stream<Path> walk = Files.walk(dir.resolve("d"))) {
            jdk = walk.count() + " entries";
        } catch (Exception e) {
            jdk = "fails: " + (e.getCause() instanceof java.nio.file.FileSystemException
                    ? ((java.nio.file.FileSystemException) e.getCause()).getReason() : e.toString());
        }
        System.out.printf("  chain of 3,000 directories: %d entries, at most %d descriptors open in the process"
                + " (baseline %d); Files.walk %s%n", entries, most, openDescriptors(), jdk);

        long before = WalkBench.rssAfterGc();
        long walked = 0;
        for (int i = 0; i < Math.max(1, 1_000_000 / n0); i++) walked += attributes(root);
        long after = WalkBench.rssAfterGc();
        System.out.printf("  VmRSS before %d kB, after %d entries walked with ATTRIBUTES %d kB: %+d kB%n",
                before, walked, after, after - before);
        if (sink == 42) System.out.println();  // keeps the results alive
    }

    /** The benchmarks' tree: FILES empty files in 1,000 directories, ten of 100. */
    static Path build(Path tree, int files) throws IOException {
        for (int d = 0; d < 1000; d++) {
            Path sub = Files.createDirectories(tree.resolve("d" + d / 100).resolve("s" + d % 100));
            for (int f = d; f < files; f += 1000) Files.createFile(sub.resolve("file-" + f + ".dat"));
        }
        return tree;
    }

    private static long openDescriptors() {
        String[] fds = new File("/proc/self/fd").list();
        return fds == null ? -1 : fds.length;
    }

    private static long names(String root) throws IOException {
        long count = 0;
        try (Stream<FileTree.Entry> walk = FileTree.walk(root)) {
            for (var it = walk.iterator(); it.hasNext(); count++) {
                FileTree.Entry e = it.next();
                sink += e.path().length() + e.type().ordinal();
            }
        }
        return count;
    }

    private static long attributes(String root) throws IOException {
        long count = 0;
        try (Stream<FileTree.Entry> walk = FileTree.walk(root, FileTree.Option.ATTRIBUTES)) {
            for (var it = walk.iterator(); it.hasNext(); count++) {
                FileTree.Entry e = it.next();
                sink += e.path().length() + e.size() + e.lastModifiedTime().toMillis();
            }
        }
        return count;
    }

    private static long jdk(Path tree) throws IOException {
        long count = 0;
        try (Stream<Path> walk = Files.walk(tree)) {
            for (var it = walk.skip(1).iterator(); it.hasNext(); count++) sink += it.next().toString().length();
        }
        return count;
    }

    private static long jdkAttributes(Path tree) throws IOException {
        long count = 0;
        try (Stream<Path> walk = Files.walk(tree)) {
            for (var it = walk.skip(1).iterator(); it.hasNext(); count++) {
                Path p = it.next();
                PosixFileAttributes attrs = Files.readAttributes(p, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
                sink += p.toString().length() + attrs.size() + attrs.lastModifiedTime().toMillis();
            }
        }
        return count;
    }
}
