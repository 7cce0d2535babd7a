package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;

/** {@code rm [-r] [-f] PATH...}: removes each path (with -r, a directory and all below it), as GNU rm. */
final class Rm extends Command {
    static final String USAGE = String.join("\n",
            "  rm [-r] [-f] PATH...",
            "                    removes each PATH; -r: a directory and everything below it, through",
            "                    descriptors, never across a mount point nor through a link; -f: a",
            "                    missing PATH is no error; what cannot be removed is reported on stderr",
            "                    and the rest goes on");

    // The kernel's limit on a path handed to one call: longer ones are judged through their parent.
    private static final int PATH_MAX = 4096;

    private boolean recursive;
    private boolean force;

    @Override
    String name() { return "rm"; }

    @Override
    String usage() { return USAGE; }

    @Override
    int usageStatus() { return 1; }

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        List<byte[]> paths = new ArrayList<>();
        boolean options = true;
        for (byte[] arg : args) {
            String a = Args.text(arg);
            if (options && a.equals("--")) {
                options = false;
            } else if (options && (a.equals("--recursive") || a.equals("--force"))) {
                recursive |= a.equals("--recursive");
                force |= a.equals("--force");
            } else if (options && a.startsWith("-") && a.length() > 1) {
                for (char c : a.substring(1).toCharArray()) {
                    if (c == 'r' || c == 'R') recursive = true;
                    else if (c == 'f') force = true;
                    else throw new UsageException("unknown option '" + a + "'");
                }
            } else {
                paths.add(arg);
            }
        }
        if (paths.isEmpty() && !force) throw new UsageException("missing operand");
        for (byte[] path : paths) remove(path);
        return status();
    }

    private void remove(byte[] given) {
        int end = given.length;
        while (end > 0 && given[end - 1] == '/') end--;
        int start = end;
        while (start > 0 && given[start - 1] != '/') start--;
        byte[] last = Arrays.copyOfRange(given, start, end);
        if (recursive && end == 0 && given.length > 0) {
            fail(Args.bytes("it is dangerous to operate recursively on "), Args.shellQuoted(given), new byte[0]);
            fail(Args.bytes("use --no-preserve-root to override this failsafe"));
            return;
        }
        if (Arrays.equals(last, new byte[] {'.'}) || Arrays.equals(last, new byte[] {'.', '.'})) {
            fail(Args.bytes("refusing to remove '.' or '..' directory: skipping "), Args.shellQuoted(given));
            return;
        }
        String path = Args.path(given);
        try {
            if (!recursive && isDirectory(path, given, start, last)) {
                fail("cannot remove ", given, "Is a directory");
                return;
            }
            FileTree.delete(path, (failed, error) -> fail("cannot remove ", Args.below(given, path, failed), error));
        } catch (FileNotFoundException e) {
            if (!force) fail("cannot remove ", given, Args.reason(e));
        } catch (IOException e) {
            fail("cannot remove ", given, Args.reason(e));
        }
    }

    /**
     * Whether path itself (a link not followed) is a directory. Past the kernel's path limit it is
     * asked of its parent's listing, by name bytes, which any path length allows.
     */
    private static boolean isDirectory(String path, byte[] given, int start, byte[] last) throws IOException {
        if (given.length < PATH_MAX) return NativeFs.isDirectory(path);
        String parent = start == 0 ? "." : Args.path(Arrays.copyOf(given, start));
        try (Stream<FileTree.Entry> entries = FileTree.walker(parent).maxDepth(1).onError((p, e) -> {}).stream()) {
            return entries.filter(e -> Arrays.equals(e.nameBytes(), last)).findFirst()
                    .map(e -> e.type() == FileTree.Type.DIRECTORY).orElse(false);
        }
    }
}
