package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;

/** {@code find [OPTION]... [DIR]...}: DIR and every entry below it, as DIR/path in the bytes on disk. */
final class Find extends Command {
    static final String USAGE = String.join("\n",
            "  find [-print0] [-xdev] [-maxdepth N] [-depth] [-L] [-s] [DIR]...",
            "                    DIR (default .) and every entry below it, depth-first, as DIR/path in",
            "                    the bytes on disk, one per line (NUL-terminated with -print0); -xdev:",
            "                    directories of other file systems are printed, not entered; -maxdepth N:",
            "                    nothing deeper than N levels below DIR; -depth: each directory after its",
            "                    contents; -L: links followed (loops reported, not entered); -s: each",
            "                    directory's entries sorted by their bytes; a directory that cannot be",
            "                    read is reported on stderr and skipped");

    Find() { super("find", USAGE, 1); }

    private int separator = '\n';
    private final List<FileTree.Option> options = new ArrayList<>();
    private int maxDepth = Integer.MAX_VALUE;

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        List<byte[]> dirs = new ArrayList<>();
        boolean paths = false;  // after --
        for (int i = 0; i < args.size(); i++) {
            String a = Args.text(args.get(i));
            if (paths || !a.startsWith("-")) {
                dirs.add(args.get(i));
                continue;
            }
            switch (a) {
                case "--": paths = true; break;
                case "-print0": separator = 0; break;
                case "-xdev": options.add(FileTree.Option.SAME_FILE_SYSTEM); break;
                case "-depth": options.add(FileTree.Option.DIRECTORIES_LAST); break;
                case "-L": options.add(FileTree.Option.FOLLOW_LINKS); break;
                case "-s": options.add(FileTree.Option.SORTED); break;
                case "-maxdepth":
                    if (++i == args.size()) throw new UsageException("-maxdepth needs a number");
                    maxDepth = depth(Args.text(args.get(i)));
                    break;
                default:
                    throw new UsageException("unknown option '" + a + "'");
            }
        }
        if (dirs.isEmpty()) dirs.add(new byte[] {'.'});
        for (byte[] dir : dirs) walk(dir, out);
        return status();
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

    private void walk(byte[] rootBytes, PrintStream out) {
        PathBytes paths = new PathBytes(rootBytes);
        boolean post = options.contains(FileTree.Option.DIRECTORIES_LAST);
        boolean slashed = Args.slashed(rootBytes);
        BasicFileAttributes own = Args.lstat(rootBytes);
        // A link named as DIR is the link (find -P), unless -L or a trailing '/' says its target; a dangling one too.
        if (own != null && own.isSymbolicLink() && !slashed && !options.contains(FileTree.Option.FOLLOW_LINKS)) {
            print(out, paths.bytes(), paths.root());
            return;
        }
        Path root;
        try {
            root = Args.path(rootBytes);
        } catch (IOException e) {
            failed(rootBytes, Args.reason(e));
            return;
        }
        FileTree.Walker walker = FileTree.walker(root).maxDepth(maxDepth).with(options.toArray(new FileTree.Option[0]))
                .onError((failed, error) -> failed(Args.below(rootBytes, root, failed), Args.reason(error)));
        try (Stream<FileTree.Entry> walk = walker.stream()) {
            if (!post) print(out, paths.bytes(), paths.root());
            walk.forEach(e -> {
                int len = paths.of(e);  // before bytes(): it may grow the buffer
                print(out, paths.bytes(), len);
            });
            if (post) print(out, paths.bytes(), paths.root());
        } catch (NotDirectoryException e) {
            // A file named as DIR is printed alone, as find does; "Not a directory" on the way to it, or after a '/', is a failure.
            if (slashed || own == null) failed(rootBytes, Args.reason(e));
            else print(out, paths.bytes(), paths.root());
        } catch (IOException e) {
            // A directory that exists but cannot be opened is printed, as find does, before (or with -depth after) its failure.
            String reason = Args.reason(e);
            boolean exists = reason.equals("Permission denied");
            if (exists && !post) print(out, paths.bytes(), paths.root());
            if (!exists || maxDepth > 0) failed(rootBytes, reason);
            if (exists && post) print(out, paths.bytes(), paths.root());
        }
    }

    private void failed(byte[] path, String reason) {
        fail(Args.localeQuoted(path), Args.bytes(": " + reason));
    }

    private void print(PrintStream out, byte[] path, int len) {
        // One write per record: nothing is ever half-written.
        path[len] = (byte) separator;
        out.write(path, 0, len + 1);
    }
}
