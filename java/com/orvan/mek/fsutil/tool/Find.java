package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.file.NotDirectoryException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Iterator;
import java.util.List;
import java.util.stream.Stream;

/** {@code find [OPTION]... DIR...}: DIR and every entry below it, as DIR/path in the bytes on disk. */
final class Find extends Command {
    static final String USAGE = String.join("\n",
            "  find [-print0] [-xdev] DIR...",
            "                    DIR and every entry below it, depth-first, as DIR/path in the bytes on",
            "                    disk, one per line (NUL-terminated with -print0); links are not followed",
            "                    below DIR; -xdev: directories of other file systems are printed, not entered;",
            "                    a directory that cannot be read is reported on stderr and skipped");

    private int separator = '\n';
    private final List<FileTree.Option> options = new ArrayList<>();
    private int status;
    private PrintStream err;

    @Override
    String name() { return "find"; }

    @Override
    int run(List<String> args, PrintStream out, PrintStream err) throws UsageException {
        int first = 0;
        for (; first < args.size() && args.get(first).startsWith("-"); first++) {
            String a = args.get(first);
            if (a.equals("-print0")) {
                separator = 0;
            } else if (a.equals("-xdev")) {
                options.add(FileTree.Option.SAME_FILE_SYSTEM);
            } else {
                throw new UsageException("unknown option '" + a + "'");
            }
        }
        this.err = err;
        List<String> dirs = args.subList(first, args.size());
        int failed = super.run(dirs, out, err);
        return failed | status;
    }

    /**
     * Prints root and every entry below it as root/path, in the bytes on disk. A directory path
     * is kept as bytes while its entries are printed, so deep trees cost no more per entry.
     */
    @Override
    void path(String root, boolean several, PrintStream out) throws IOException {
        byte[] path = root.getBytes(Charset.defaultCharset());
        try (Stream<FileTree.Entry> walk = FileTree.walk(root, (failed, error) -> {
                out.flush();
                err.println("fsutil: find: " + (failed.isEmpty() ? root : root + "/" + failed) + ": " + error);
                status = 1;
            }, options.toArray(new FileTree.Option[0]))) {
            out.write(path, 0, path.length);
            out.write(separator);
            int[] ends = new int[16];  // ends[d]: where the path of the directory at depth d ends
            ends[0] = root.endsWith("/") ? path.length - 1 : path.length;
            for (Iterator<FileTree.Entry> it = walk.iterator(); it.hasNext();) {
                FileTree.Entry e = it.next();
                byte[] name = e.nameBytes();
                int start = ends[e.depth() - 1];
                if (path.length < start + 1 + name.length) path = Arrays.copyOf(path, (start + 1 + name.length) * 2);
                path[start] = '/';
                System.arraycopy(name, 0, path, start + 1, name.length);
                out.write(path, 0, start + 1 + name.length);
                out.write(separator);
                if (e.type() == FileTree.Type.DIRECTORY) {
                    if (e.depth() >= ends.length) ends = Arrays.copyOf(ends, e.depth() * 2);
                    ends[e.depth()] = start + 1 + name.length;
                }
            }
        } catch (NotDirectoryException e) {
            out.write(path, 0, path.length);  // a file named as root is printed alone, as find does
            out.write(separator);
        }
    }
}
