package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;

/** {@code cp -a [-x] [--progress] SRC DST}: an exact copy, as GNU cp -a makes it. */
final class Cp extends Command {
    static final String USAGE = String.join("\n",
            "  cp -a [-x] [--progress] SRC DST",
            "                    copies SRC exactly (types, modes, owners, times, xattrs, hard links,",
            "                    holes) as DST, or into DST when DST is a directory, on every core;",
            "                    -x: directories on other file systems created but not entered;",
            "                    --progress: entries and bytes done so far on stderr");

    Cp() { super("cp", USAGE, 2); }

    private boolean xdev;
    private boolean progress;
    private PrintStream err;

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        this.err = err;
        Flags flags = new Flags(args, "ax", "progress=p", "archive=a", "one-file-system=x");
        progress = flags.has('p');
        xdev = flags.has('x');
        List<byte[]> paths = flags.operands();
        if (!flags.has('a')) throw new UsageException("only the exact copy is supported: give -a");
        if (paths.size() != 2) throw new UsageException(paths.isEmpty() ? "missing file operand" : "give SRC and DST");
        byte[] source = paths.get(0);
        byte[] target = paths.get(1);
        try {
            // A directory, or a link to one, takes the copy inside it.
            if (target.length > 0 && Files.isDirectory(Args.path(target))) target = into(target, source);
            copy(source, target);
        } catch (IOException e) {
            fail(Args.shown(source), Args.bytes(": " + Args.reason(e)));
        }
        return status();
    }

    /** DST/name-of-SRC, for a DST that is a directory. */
    private static byte[] into(byte[] dir, byte[] source) {
        int end = source.length;
        while (end > 1 && source[end - 1] == '/') end--;
        int start = end;
        while (start > 0 && source[start - 1] != '/') start--;
        int dirEnd = dir.length;
        while (dirEnd > 1 && dir[dirEnd - 1] == '/') dirEnd--;
        byte[] out = Arrays.copyOf(dir, dirEnd + 1 + end - start);
        out[dirEnd] = '/';
        System.arraycopy(source, start, out, dirEnd + 1, end - start);
        return out;
    }

    private void copy(byte[] sourceBytes, byte[] target) throws IOException {
        Path source = Args.path(sourceBytes);
        // A terminal gets one line rewritten in place; anything else a line per update.
        boolean terminal = System.console() != null;
        FileTree.Progress shown = !progress ? null : (entries, bytes) -> {
            err.print((terminal ? "\r" : "") + "fsutil: cp: " + entries + " entries, " + bytes + " bytes" + (terminal ? "" : "\n"));
            err.flush();
        };
        FileTree.Option[] options = xdev ? new FileTree.Option[] {FileTree.Option.SAME_FILE_SYSTEM} : new FileTree.Option[0];
        FileTree.Copier copier = FileTree.copier(source, NativeFs.toPath(Args.unslashed(target))).with(options).onError((failed, error) -> {
            if (terminal && progress) err.println();
            fail(Args.shown(Args.below(sourceBytes, source, failed)), Args.bytes(": " + Args.reason(error)));
        });
        if (shown != null) copier.progress(shown);
        try {
            copier.run();
        } finally {
            if (terminal && progress) err.println();
        }
    }
}
