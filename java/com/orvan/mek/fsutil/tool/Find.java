package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.NotDirectoryException;
import java.util.ArrayList;
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
        PathBytes paths = new PathBytes(root);
        boolean rootLast = options.contains(FileTree.Option.DIRECTORIES_LAST);
        FileTree.Walker walker = FileTree.walker(root).maxDepth(maxDepth).with(options.toArray(new FileTree.Option[0]))
                .onError((failed, error) -> {
                    out.flush();
                    err.println("fsutil: find: " + (failed.isEmpty() ? root : root + "/" + failed) + ": " + reason(error));
                    status = 1;
                });
        try (Stream<FileTree.Entry> walk = walker.stream()) {
            if (!rootLast) print(out, paths.bytes(), paths.root());
            walk.forEach(e -> {
                int len = paths.of(e);  // before bytes(): it may grow the buffer
                print(out, paths.bytes(), len);
            });
        } catch (NotDirectoryException e) {
            rootLast = true;  // a file named as root is printed alone, as find does
        }
        if (rootLast) print(out, paths.bytes(), paths.root());
    }

    private void print(PrintStream out, byte[] path, int len) {
        out.write(path, 0, len);
        out.write(separator);
    }
}
