package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.FileTree.Syncer;
import java.io.IOException;
import java.io.PrintStream;
import java.util.List;

/**
 * {@code sync [-n] [-v] [-x] [--keep-extras] [--progress] SRC DST}: makes the directory DST itself
 * equal to SRC, as {@code rsync -aHAX --delete SRC/ DST/} does, changing only what differs.
 */
final class Sync extends Command {
    static final String USAGE = String.join("\n",
            "  sync [-n] [-v] [-x] [--keep-extras] [--progress] SRC DST",
            "                    makes DST itself equal to SRC (as cp -a would make it), changing only",
            "                    what differs and removing what SRC lacks, on every core;",
            "                    -n: a dry run (implies -v); -v: each change as a line 'KIND PATH',",
            "                    PATH relative to DST; -x: directories on other file systems made but",
            "                    not entered; --keep-extras: nothing removed; --progress: as cp's");

    Sync() { super("sync", USAGE, 1); }

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        Flags flags = new Flags(args, "nvx", "dry-run=n", "verbose=v", "one-file-system=x", "keep-extras=k", "progress=p");
        List<byte[]> paths = flags.operands();
        if (paths.size() != 2) throw new UsageException(paths.isEmpty() ? "missing file operand" : "give SRC and DST");
        byte[] source = paths.get(0);
        byte[] target = paths.get(1);
        boolean verbose = flags.has('v') || flags.has('n');
        boolean progress = flags.has('p');
        boolean terminal = System.console() != null;
        java.nio.file.Path from, to;
        try {
            from = Args.path(source);
            to = Args.path(target);
        } catch (IOException e) {
            fail(Args.shown(source.length == 0 ? source : target), Args.bytes(": " + Args.reason(e)));
            return status();
        }
        Syncer syncer = FileTree.syncer(from, to).onError((failed, error) -> {
            if (terminal && progress) err.println();
            fail(Args.shown(Args.below(target, to, failed)), Args.bytes(": " + Args.reason(error)));
        });
        if (flags.has('n')) syncer.dryRun();
        if (flags.has('k')) syncer.keepExtras();
        if (flags.has('x')) syncer.with(FileTree.Option.SAME_FILE_SYSTEM);
        if (verbose) {
            syncer.onChange(c -> {
                out.print(c.kind() + " ");
                byte[] p = c.pathBytes();
                if (p.length == 0) p = new byte[] {'.'};  // DST itself
                out.write(p, 0, p.length);
                out.print('\n');
            });
        }
        if (progress) {
            syncer.progress((entries, bytes) -> {
                err.print((terminal ? "\r" : "") + "fsutil: sync: " + entries + " entries, " + bytes + " bytes" + (terminal ? "" : "\n"));
                err.flush();
            });
        }
        try {
            syncer.run();
        } catch (IOException e) {
            fail(source, Args.bytes(": " + Args.reason(e)));
        } finally {
            if (terminal && progress) err.println();
        }
        return status();
    }
}
