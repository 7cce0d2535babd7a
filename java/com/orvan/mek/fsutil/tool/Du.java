package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.stream.Stream;

/** {@code du [-s] [-b] [-x] PATH...}: disk usage as GNU du prints it. */
final class Du extends Command {
    static final String USAGE = String.join("\n",
            "  du [-s] [-b] [-x] PATH...",
            "                    disk usage, as GNU du prints it: a line per directory after its contents,",
            "                    then PATH (-s: PATH only, summed on every core), in 1024-byte units",
            "                    rounded up (-b: apparent size in bytes); -x: other file systems left out");

    private boolean summary;
    private boolean apparent;
    private boolean xdev;
    private PrintStream err;
    private int status;

    @Override
    String name() { return "du"; }

    @Override
    int run(List<String> args, PrintStream out, PrintStream err) throws UsageException {
        this.err = err;
        List<String> paths = new ArrayList<>();
        for (String a : args) {
            if (a.startsWith("-") && a.length() > 1) {
                for (char c : a.substring(1).toCharArray()) {
                    if (c == 's') summary = true;
                    else if (c == 'b') apparent = true;
                    else if (c == 'x') xdev = true;
                    else throw new UsageException("unknown option '" + a + "'");
                }
            } else {
                paths.add(a);
            }
        }
        return super.run(paths, out, err) | status;
    }

    private String size(long bytes, long blocks) {
        return Long.toString(apparent ? bytes : (blocks + 1) / 2);  // 512-byte blocks in KiB, rounded up
    }

    @Override
    void path(String root, boolean several, PrintStream out) throws IOException {
        FileTree.Option[] options = xdev ? new FileTree.Option[] {FileTree.Option.SAME_FILE_SYSTEM} : new FileTree.Option[0];
        if (!summary) lines(root, out, options);
        // Without -s the walk above has reported the failures already.
        FileTree.Usage u = FileTree.usage(root, summary ? (p, e) -> failed(root, p, reason(e)) : (p, e) -> {}, options);
        PathBytes paths = new PathBytes(root);
        out.print(size(u.bytes(), u.blocks()) + "\t");
        out.write(paths.bytes(), 0, paths.root());
        out.write('\n');
    }

    private void failed(String root, String path, String error) {
        err.println("fsutil: du: " + (path.isEmpty() ? root : root + "/" + path) + ": " + error);
        status = 1;
    }

    /** A line per directory below root, after its contents, each inode counted once. */
    private void lines(String root, PrintStream out, FileTree.Option[] options) throws IOException {
        PathBytes paths = new PathBytes(root);
        long rootDev = xdev ? (Long) Files.getAttribute(Path.of(root), "unix:dev", LinkOption.NOFOLLOW_LINKS) : 0;
        Set<List<Long>> linked = new HashSet<>();
        long[][] sums = {new long[16], new long[16]};  // bytes and blocks below the directory at each depth
        try (Stream<FileTree.Entry> walk = FileTree.walker(root).with(FileTree.Option.DIRECTORIES_LAST, FileTree.Option.ATTRIBUTES)
                .with(options).onError((p, e) -> failed(root, p, reason(e))).stream()) {
            walk.forEach(e -> {
                int d = e.depth();
                if (d + 1 >= sums[0].length) {
                    sums[0] = Arrays.copyOf(sums[0], d * 2 + 2);
                    sums[1] = Arrays.copyOf(sums[1], d * 2 + 2);
                }
                boolean dir = e.type() == FileTree.Type.DIRECTORY;
                long parentDev = e.parent() == null ? rootDev : e.parent().device();
                if (xdev && dir && e.device() != parentDev) return;  // a mount point: left out, as du -x does
                if (!dir && e.links() > 1 && !linked.add(List.of(e.device(), e.inode()))) return;
                long bytes = e.size() + (dir ? sums[0][d] : 0);
                long blocks = e.blocks() + (dir ? sums[1][d] : 0);
                if (dir) {
                    sums[0][d] = 0;
                    sums[1][d] = 0;
                    out.print(size(bytes, blocks) + "\t");
                    int len = paths.of(e);  // before bytes(): it may grow the buffer
                    out.write(paths.bytes(), 0, len);
                    out.write('\n');
                }
                sums[0][d - 1] += bytes;
                sums[1][d - 1] += blocks;
            });
        } catch (NotDirectoryException e) {
            // a file: its own line only
        }
    }
}
