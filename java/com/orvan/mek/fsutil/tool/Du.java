package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NotDirectoryException;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.function.BiConsumer;
import java.util.stream.Stream;

/** {@code du [-s] [-b] [-x] [PATH]...}: disk usage as GNU du prints it. */
final class Du extends Command {
    static final String USAGE = String.join("\n",
            "  du [-s] [-b] [-x] [PATH]...",
            "                    disk usage, as GNU du prints it: a line per directory after its contents,",
            "                    then PATH (default .; -s: PATH only, summed on every core), in 1024-byte",
            "                    units rounded up (-b: apparent size in bytes); -x: other file systems",
            "                    left out");

    Du() { super("du", USAGE, 1); }

    private boolean summary;
    private boolean apparent;
    private boolean xdev;
    private PrintStream out;

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        this.out = out;
        Flags flags = new Flags(args, "sbx");
        summary = flags.has('s');
        apparent = flags.has('b');
        xdev = flags.has('x');
        List<byte[]> paths = new ArrayList<>(flags.operands());
        if (paths.isEmpty()) paths.add(new byte[] {'.'});
        for (byte[] path : paths) du(path);
        return status();
    }

    private byte[] size(long bytes, long blocks) {
        return Args.bytes(Long.toString(apparent ? bytes : (blocks + 1) / 2));  // 512-byte blocks in KiB, rounded up
    }

    private void line(byte[] size, byte[] path, int len) {
        // One write per record: nothing is ever half-written.
        byte[] line = Arrays.copyOf(size, size.length + len + 2);
        line[size.length] = '\t';
        System.arraycopy(path, 0, line, size.length + 1, len);
        line[line.length - 1] = '\n';
        out.write(line, 0, line.length);
    }

    private void du(byte[] given) {
        // As du names them: the root with its trailing slashes made one, what is below it after one "/".
        int end = given.length;
        while (end > 1 && given[end - 1] == '/') end--;
        byte[] base = Arrays.copyOf(given, end);
        byte[] shown = end < given.length ? Arrays.copyOf(given, end + (end == 1 && given[0] == '/' ? 0 : 1)) : given;
        Path root;
        try {
            root = Args.path(given);
        } catch (IOException e) {
            rootFailed(given, e);
            return;
        }
        FileTree.Option[] options = xdev ? new FileTree.Option[] {FileTree.Option.SAME_FILE_SYSTEM} : new FileTree.Option[0];
        // A directory that could not be read, or (in one that may be read but not searched) an entry that could not be examined.
        BiConsumer<String, IOException> failed = (p, e) -> {
            byte[] at = Args.below(base, root, p);
            fail(p.isEmpty() || NativeFs.isDirectory(NativeFs.toPath(at)) ? "cannot read directory " : "cannot access ", at, Args.reason(e));
        };
        // A link named as PATH is the link, as du counts it; after a '/' its target.
        BasicFileAttributes own = Args.slashed(given) ? null : Args.lstat(given);
        boolean reported = false;
        try {
            if (!summary && !(own != null && own.isSymbolicLink())) lines(root, base, options, failed);
        } catch (NotDirectoryException e) {
            // a file: its own line only (a path through a file fails below, where it is summed)
        } catch (IOException e) {
            reported = true;
            if (!rootFailed(given, e)) return;
        }
        FileTree.Usage u;
        try {
            // Without -s the walk above has reported the failures already.
            u = FileTree.measurer(root).onError(summary ? failed : (p, e) -> {}).with(options).run();
        } catch (IOException e) {
            if (!reported) rootFailed(given, e);
            return;
        }
        line(size(u.bytes(), u.blocks()), shown, shown.length);
    }

    /** Reports a root that could not be walked; whether it exists (and has a size to print). */
    private boolean rootFailed(byte[] given, IOException e) {
        String reason = Args.reason(e);
        boolean exists = !(e instanceof FileNotFoundException || e instanceof java.nio.file.NoSuchFileException) && reason.equals("Permission denied");
        fail(exists ? "cannot read directory " : "cannot access ", given, reason);
        return exists;
    }

    /** A line per directory below root, after its contents, each inode counted once. */
    private void lines(Path root, byte[] base, FileTree.Option[] options, BiConsumer<String, IOException> failed) throws IOException {
        PathBytes paths = new PathBytes(base);
        long rootDev = xdev ? device(base) : 0;
        Set<List<Long>> linked = new HashSet<>();
        long[][] sums = {new long[16], new long[16]};  // bytes and blocks below the directory at each depth
        try (Stream<FileTree.Entry> walk = FileTree.walker(root).with(FileTree.Option.DIRECTORIES_LAST, FileTree.Option.ATTRIBUTES)
                .with(options).onError(failed).stream()) {
            walk.forEach(e -> {
                int d = e.depth();
                if (d + 1 >= sums[0].length) {
                    sums[0] = Arrays.copyOf(sums[0], d * 2 + 2);
                    sums[1] = Arrays.copyOf(sums[1], d * 2 + 2);
                }
                boolean dir = e.type() == FileTree.Type.DIRECTORY;
                long parentDev = e.parent() == null ? rootDev : e.parent().device();
                if (xdev && dir && parentDev != -1 && e.device() != parentDev) return;  // a mount point: left out, as du -x does
                if (!dir && e.links() > 1 && !linked.add(List.of(e.device(), e.inode()))) return;
                long bytes = e.size() + (dir ? sums[0][d] : 0);
                long blocks = e.blocks() + (dir ? sums[1][d] : 0);
                if (dir) {
                    sums[0][d] = 0;
                    sums[1][d] = 0;
                    int len = paths.of(e);  // before bytes(): it may grow the buffer
                    line(size(bytes, blocks), paths.bytes(), len);
                }
                sums[0][d - 1] += bytes;
                sums[1][d - 1] += blocks;
            });
        }
    }

    /** The root's device, by the JDK; -1 where it cannot tell. */
    private static long device(byte[] root) {
        try {
            return (Long) Files.getAttribute(Args.path(root), "unix:dev", LinkOption.NOFOLLOW_LINKS);
        } catch (IOException | RuntimeException e) {
            return -1;
        }
    }
}
