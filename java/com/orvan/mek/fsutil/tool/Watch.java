package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.ClosedWatchServiceException;
import java.util.List;

/**
 * {@code watch DIR}: every change below DIR, one line each as it comes ("CREATED DIR/path",
 * "MOVED DIR/from -> DIR/to", ...), the paths in the bytes on disk, flushed line by line, until
 * interrupted (status 0) or DIR is gone.
 */
final class Watch extends Command {
    static final String USAGE = String.join("\n",
            "  watch [-xdev] DIR   every change below DIR, one line each as it happens: CREATED, MODIFIED,",
            "                    ATTRIBUTES, REMOVED or OVERFLOW and DIR/path, or MOVED DIR/from -> DIR/to, in",
            "                    the bytes on disk, until interrupted; -xdev: other file systems not watched");

    Watch() { super("watch", USAGE, 1); }

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        byte[] dir = null;
        boolean sameFs = false;
        boolean paths = false;
        for (byte[] a : args) {
            String s = Args.text(a);
            if (!paths && s.equals("--")) {
                paths = true;
            } else if (!paths && s.equals("-xdev")) {
                sameFs = true;
            } else if (!paths && s.startsWith("-") && s.length() > 1) {
                throw new UsageException("unknown option '" + s + "'");
            } else if (dir != null) {
                throw new UsageException("one DIR only");
            } else {
                dir = a;
            }
        }
        if (dir == null) throw new UsageException("no DIR given");
        byte[] root = dir;
        FileTree.Option[] options = sameFs ? new FileTree.Option[] {FileTree.Option.SAME_FILE_SYSTEM} : new FileTree.Option[0];
        FileTree.Watch watch;
        try {
            java.nio.file.Path rootPath = Args.path(root);
            watch = FileTree.watch(rootPath, (failed, error) -> fail(Args.shown(Args.below(root, rootPath, failed)),
                    Args.bytes(": " + Args.reason(error))), options);
        } catch (IOException e) {
            fail(Args.shown(root), Args.bytes(": " + Args.reason(e)));
            return 1;
        }
        // Interrupted (SIGINT, SIGTERM), the tool ends as inotifywait -m does: what was printed stands, status 0.
        Thread stopped = new Thread(() -> {
            out.flush();
            Runtime.getRuntime().halt(0);
        });
        Runtime.getRuntime().addShutdownHook(stopped);
        try (watch) {
            while (true) {
                print(out, root, watch.take());
            }
        } catch (ClosedWatchServiceException e) {
            // DIR removed or moved away: its REMOVED was the last line
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        } finally {
            Runtime.getRuntime().removeShutdownHook(stopped);
        }
        return 0;
    }

    private static void print(PrintStream out, byte[] root, FileTree.Change c) {
        ByteArrayOutputStream line = new ByteArrayOutputStream();
        line.writeBytes(Args.bytes(c.kind().name()));
        line.write(' ');
        if (c.kind() == FileTree.ChangeKind.MOVED) {
            path(line, root, c.fromPathBytes());
            line.writeBytes(Args.bytes(" -> "));
        }
        path(line, root, c.pathBytes());
        line.write('\n');
        out.write(line.toByteArray(), 0, line.size());
        out.flush();
    }

    /** DIR/path as find prints it: one '/' after a DIR that ends with one, DIR alone for the root. */
    private static void path(ByteArrayOutputStream line, byte[] root, byte[] rel) {
        line.writeBytes(root);
        if (rel.length == 0) return;
        if (root.length == 0 || root[root.length - 1] != '/') line.write('/');
        line.writeBytes(rel);
    }
}
