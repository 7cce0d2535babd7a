package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FolderIteratorNix;
import java.io.File;
import java.io.IOException;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.stream.Stream;

/**
 * Directory walk: FolderIteratorNix (batches) and the contract natives (getFirstFile and
 * getNextFile, one entry per call) against File.list() and against a DirectoryStream that
 * applies the same entry filter, on a directory it fills itself; then the resident memory
 * before and after a million entries walked.
 * Usage: WalkBench [ENTRIES [ROUNDS]]
 */
public final class WalkBench {
    private static final int S_IFMT = 0170000;
    private static final int S_IFIFO = 0010000;
    private static long sink;
    /** The contract natives, private to FolderIteratorNix: called as code that uses them directly would. */
    private static MethodHandle getFirstFile;
    private static MethodHandle getNextFile;
    private static FolderIteratorNix receiver;  // the natives never look at it

    private WalkBench() {}

    public static void main(String[] args) throws Throwable {
        int entries = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 7;
        Path dir = Files.createTempDirectory("fsutil-walk");
        try {
            String made = populate(dir, entries);
            run(dir, entries, rounds, made);
        } finally {
            deleteTree(dir);
        }
    }

    private static void run(Path dir, int entries, int rounds, String made) throws Throwable {
        String d = dir.toString();
        System.out.printf("directory walk of %s: %d entries (%s)%n", d, entries, made);
        MethodHandles.Lookup lookup = MethodHandles.privateLookupIn(FolderIteratorNix.class, MethodHandles.lookup());
        getFirstFile = lookup.findVirtual(FolderIteratorNix.class, "getFirstFile",
                MethodType.methodType(long.class, String.class, StringBuffer.class));
        getNextFile = lookup.findVirtual(FolderIteratorNix.class, "getNextFile",
                MethodType.methodType(String.class, long.class, String.class));
        receiver = new FolderIteratorNix(d);
        receiver.close();

        // All roads must agree before their speed means anything.
        Set<String> nix = new HashSet<>(FolderIteratorNix.list(d));
        Set<String> jdk = new HashSet<>(jdkFiltered(dir));
        Set<String> contract = contractNames(d);
        String[] all = new File(d).list();
        if (!nix.equals(jdk) || !contract.equals(jdk) || all == null || all.length != entries) {
            throw new AssertionError("walks disagree: FolderIteratorNix " + nix.size() + ", DirectoryStream "
                    + jdk.size() + ", File.list " + (all == null ? -1 : all.length));
        }
        System.out.printf("  reported: FolderIteratorNix %d, DirectoryStream+filter %d, File.list (unfiltered) %d%n",
                nix.size(), jdk.size(), all.length);
        nix = null;
        jdk = null;

        for (int i = 0; i < 3; i++) {  // warm-up: JIT, dentry and inode caches
            nixWalk(d);
            contractWalk(d);
            fileList(d);
            jdkFiltered(dir);
        }
        double[] tn = new double[rounds];
        double[] tc = new double[rounds];
        double[] ta = new double[rounds];
        double[] tb = new double[rounds];
        for (int r = 0; r < rounds; r++) {  // interleaved, so that drift hits all four alike
            long t0 = System.nanoTime();
            nixWalk(d);
            long t1 = System.nanoTime();
            contractWalk(d);
            long t2 = System.nanoTime();
            fileList(d);
            long t3 = System.nanoTime();
            sink += jdkFiltered(dir).size();
            long t4 = System.nanoTime();
            tn[r] = (double) (t1 - t0) / entries;
            tc[r] = (double) (t2 - t1) / entries;
            ta[r] = (double) (t3 - t2) / entries;
            tb[r] = (double) (t4 - t3) / entries;
        }
        double n = StatBench.median(tn);
        double c = StatBench.median(tc);
        double a = StatBench.median(ta);
        double b = StatBench.median(tb);
        System.out.printf("  (n) FolderIteratorNix (batches)       %8.1f ns/entry%n", n);
        System.out.printf("  (c) getFirstFile/getNextFile          %8.1f ns/entry%n", c);
        System.out.printf("  (a) File.list()                       %8.1f ns/entry%n", a);
        System.out.printf("  (b) DirectoryStream + readAttributes  %8.1f ns/entry%n", b);
        System.out.printf("  b/c = %.2f (goal >= 5)   a/n = %.2f (goal >= 1)   b/n = %.2f%n", b / c, a / n, b / n);

        long before = rssAfterGc();
        int walks = Math.max(1, 1_000_000 / entries);
        long walked = 0;
        for (int i = 0; i < walks; i++) walked += nixWalk(d);
        long after = rssAfterGc();
        System.out.printf("  VmRSS before %d kB, after %d FolderIteratorNix walks (%d entries) %d kB: %+d kB%n",
                before, walks, walked, after, after - before);
        if (sink == 42) System.out.println();  // keeps the results alive
    }

    private static long nixWalk(String dir) throws IOException {
        long count = 0;
        try (FolderIteratorNix it = new FolderIteratorNix(dir)) {
            while (it.hasNext()) {
                sink += it.next().length();
                count++;
            }
        }
        return count;
    }

    private static long contractWalk(String dir) throws Throwable {
        StringBuffer first = new StringBuffer();
        long h = (long) getFirstFile.invokeExact(receiver, dir, first);
        if (h == -1) return 0;
        sink += first.length();
        long count = 1;
        for (String name; (name = (String) getNextFile.invokeExact(receiver, h, dir)) != null; count++) {
            sink += name.length();
        }
        return count;
    }

    private static Set<String> contractNames(String dir) throws Throwable {
        Set<String> names = new HashSet<>();
        StringBuffer first = new StringBuffer();
        long h = (long) getFirstFile.invokeExact(receiver, dir, first);
        if (h == -1) return names;
        names.add(first.toString());
        for (String name; (name = (String) getNextFile.invokeExact(receiver, h, dir)) != null; ) names.add(name);
        return names;
    }

    private static void fileList(String dir) {
        for (String name : new File(dir).list()) sink += name.length();
    }

    /**
     * The JDK's way to the same answer. One lstat per entry, as FolderIteratorNix makes: the
     * basic attributes come from lstat (NOFOLLOW_LINKS), so links and dangling links are kept.
     * isOther() lumps FIFOs together with sockets and devices, but FIFOs are reported, so only
     * for the rare "other" entry a second lstat ("unix:mode") tells a FIFO apart; this adds no
     * work for the regular files, directories and links that make up the directory.
     * Entries that vanish (lstat fails) are skipped, as the native filter skips them.
     */
    private static List<String> jdkFiltered(Path dir) throws IOException {
        List<String> names = new ArrayList<>();
        try (DirectoryStream<Path> ds = Files.newDirectoryStream(dir)) {
            for (Path entry : ds) {
                try {
                    BasicFileAttributes attrs =
                            Files.readAttributes(entry, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
                    if (attrs.isOther()) {
                        int mode = (Integer) Files.getAttribute(entry, "unix:mode", LinkOption.NOFOLLOW_LINKS);
                        if ((mode & S_IFMT) != S_IFIFO) continue;  // socket or device
                    }
                } catch (NoSuchFileException vanished) {
                    continue;
                }
                String name = entry.getFileName().toString();
                sink += name.length();
                names.add(name);
            }
        }
        return names;
    }

    /** Regular files, with some directories, links (half dangling), FIFOs, a socket and, where allowed, devices. */
    private static String populate(Path dir, int entries) throws Exception {
        int dirs = entries / 500;
        int links = entries / 50;
        int fifos = entries / 1000;
        int other = 0;
        for (int i = 0; i < dirs; i++) Files.createDirectory(dir.resolve("dir-" + i));
        for (int i = 0; i < links; i++) {
            String target = i % 2 == 0 ? "file-" + i + ".dat" : "missing-" + i;
            Files.createSymbolicLink(dir.resolve("link-" + i), Paths.get(target));
        }
        List<String> cmd = new ArrayList<>(List.of("mkfifo"));
        for (int i = 0; i < fifos; i++) cmd.add("fifo-" + i);
        exec(dir, cmd);
        try (ServerSocketChannel ch = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            ch.bind(UnixDomainSocketAddress.of(dir.resolve("sock")));  // the file outlives the channel
        }
        other++;
        int devices = 0;
        for (String dev : new String[] {"c", "b"}) {
            if (new ProcessBuilder("mknod", "dev-" + dev, dev, "7", "0").directory(dir.toFile())
                    .redirectErrorStream(true).redirectOutput(ProcessBuilder.Redirect.DISCARD).start().waitFor() == 0) {
                devices++;
            }
        }
        other += devices;
        int files = entries - dirs - links - fifos - other;
        for (int i = 0; i < files; i++) {
            // A few non-ASCII names, so that the name conversion is not only the ASCII case.
            String name = i % 100 == 0 ? "fïlé-" + i + ".dat" : "file-" + i + ".dat";
            Files.createFile(dir.resolve(name));
        }
        return String.format("%d files, %d dirs, %d links (half dangling), %d FIFOs, 1 socket, %d devices", files,
                dirs, links, fifos, devices);
    }

    static void exec(Path dir, List<String> cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).directory(dir.toFile()).inheritIO().start();
        if (p.waitFor() != 0) throw new IOException(cmd.get(0) + " failed");
    }

    static long rssAfterGc() throws Exception {
        for (int i = 0; i < 3; i++) {
            System.gc();
            Thread.sleep(100);
        }
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", ""));
        }
        throw new IOException("no VmRSS in /proc/self/status");
    }

    private static void deleteTree(Path dir) throws IOException {
        try (Stream<Path> s = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) s.sorted(Comparator.reverseOrder())::iterator) Files.deleteIfExists(p);
        }
    }
}
