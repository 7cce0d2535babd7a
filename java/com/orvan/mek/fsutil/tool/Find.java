package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.file.NotDirectoryException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;

/** {@code find [OPTION]... DIR...}: DIR and every entry below it, as DIR/path in the bytes on disk. */
final class Find extends Command {
    static final String USAGE = String.join("\n",
            "  find [-print0] [-xdev] [-maxdepth N] [-depth] [-L] [-s] DIR...",
            "                    DIR and every entry below it, depth-first, as DIR/path in the bytes on",
            "                    disk, one per line (NUL-terminated with -print0); -xdev: directories of",
            "                    other file systems are printed, not entered; -maxdepth N: nothing deeper",
            "                    than N levels below DIR; -depth: each directory after its contents;",
            "                    -L: links followed (loops reported, not entered); -s: each directory's",
            "                    entries sorted by their bytes; a directory that cannot be read is",
            "                    reported on stderr and skipped");

    private int separator = '\n';
    private final List<FileTree.Option> options = new ArrayList<>();
    private int maxDepth = Integer.MAX_VALUE;
    private int status;
    private PrintStream err;
    // The path bytes of the directories along the last entry's parents: chain[d] is the directory
    // at depth d (0: the root), its path ends at ends[d]; valid up to depth top.
    private byte[] path;
    private FileTree.Entry[] chain = new FileTree.Entry[16];
    private int[] ends = new int[16];
    private int top;

    @Override
    String name() { return "find"; }

    @Override
    int run(List<String> args, PrintStream out, PrintStream err) throws UsageException {
        this.err = err;
        List<String> dirs = new ArrayList<>();
        for (int i = 0; i < args.size(); i++) {
            String a = args.get(i);
            switch (a) {
                case "-print0": separator = 0; break;
                case "-xdev": options.add(FileTree.Option.SAME_FILE_SYSTEM); break;
                case "-depth": options.add(FileTree.Option.DIRECTORIES_LAST); break;
                case "-L": options.add(FileTree.Option.FOLLOW_LINKS); break;
                case "-s": options.add(FileTree.Option.SORTED); break;
                case "-maxdepth":
                    if (++i == args.size()) throw new UsageException("-maxdepth needs a number");
                    maxDepth = depth(args.get(i));
                    break;
                default:
                    if (a.startsWith("-")) throw new UsageException("unknown option '" + a + "'");
                    dirs.add(a);
            }
        }
        return super.run(dirs, out, err) | status;
    }

    private static int depth(String n) throws UsageException {
        try {
            int d = Integer.parseInt(n);
            if (d >= 0) return d;
        } catch (NumberFormatException e) {
            // told below
        }
        throw new UsageException("-maxdepth: '" + n + "' is not a number from 0 to " + Integer.MAX_VALUE);
    }

    @Override
    void path(String root, boolean several, PrintStream out) throws IOException {
        path = root.getBytes(Charset.defaultCharset());
        ends[0] = root.endsWith("/") ? path.length - 1 : path.length;
        top = 0;
        boolean rootLast = options.contains(FileTree.Option.DIRECTORIES_LAST);
        FileTree.Walker walker = FileTree.walker(root).maxDepth(maxDepth).with(options.toArray(new FileTree.Option[0]))
                .onError((failed, error) -> {
                    out.flush();
                    err.println("fsutil: find: " + (failed.isEmpty() ? root : root + "/" + failed) + ": " + error);
                    status = 1;
                });
        try (Stream<FileTree.Entry> walk = walker.stream()) {
            if (!rootLast) print(out, path.length);
            walk.forEach(e -> {
                int start = prefix(e.parent(), e.depth() - 1);
                byte[] name = e.nameBytes();
                if (path.length < start + 1 + name.length) path = Arrays.copyOf(path, (start + 1 + name.length) * 2);
                path[start] = '/';
                System.arraycopy(name, 0, path, start + 1, name.length);
                print(out, start + 1 + name.length);
            });
        } catch (NotDirectoryException e) {
            rootLast = true;  // a file named as root is printed alone, as find does
        }
        if (rootLast) print(out, root.getBytes(Charset.defaultCharset()).length);
    }

    private void print(PrintStream out, int len) {
        out.write(path, 0, len);
        out.write(separator);
    }

    /**
     * Makes path hold the path of dir (at depth d; null for the root) and returns where it ends.
     * Going one level down or back up along the last path costs nothing; elsewhere it is rebuilt.
     */
    private int prefix(FileTree.Entry dir, int d) {
        if (d == 0 || (d <= top && chain[d] == dir)) return ends[d];
        int start = d > 1 && dir.parent() != chain[d - 1] || d - 1 > top ? prefix(dir.parent(), d - 1) : ends[d - 1];
        byte[] name = dir.nameBytes();
        if (path.length < start + 1 + name.length) path = Arrays.copyOf(path, (start + 1 + name.length) * 2);
        path[start] = '/';
        System.arraycopy(name, 0, path, start + 1, name.length);
        if (d >= chain.length) {
            chain = Arrays.copyOf(chain, d * 2);
            ends = Arrays.copyOf(ends, d * 2);
        }
        chain[d] = dir;
        ends[d] = start + 1 + name.length;
        top = d;
        return ends[d];
    }
}
