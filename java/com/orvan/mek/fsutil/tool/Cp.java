package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.IOException;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;

/** {@code cp -a [-x] [--progress] SRC DST}: an exact copy, as GNU cp -a makes it. */
final class Cp extends Command {
    static final String USAGE = String.join("\n",
            "  cp -a [-x] [--progress] SRC DST",
            "                    copies SRC exactly (types, modes, owners, times, xattrs, hard links,",
            "                    holes) as DST, or into DST when DST is a directory, on every core;",
            "                    -x: directories on other file systems created but not entered;",
            "                    --progress: entries and bytes done so far on stderr");

    private boolean archive;
    private boolean xdev;
    private boolean progress;
    private PrintStream err;
    private int status;

    @Override
    String name() { return "cp"; }

    @Override
    int run(List<String> args, PrintStream out, PrintStream err) throws UsageException {
        this.err = err;
        List<String> paths = new ArrayList<>();
        for (String a : args) {
            if (a.equals("--progress")) {
                progress = true;
            } else if (a.equals("--archive")) {
                archive = true;
            } else if (a.equals("--one-file-system")) {
                xdev = true;
            } else if (a.startsWith("-") && a.length() > 1) {
                for (char c : a.substring(1).toCharArray()) {
                    if (c == 'a') archive = true;
                    else if (c == 'x') xdev = true;
                    else throw new UsageException("unknown option '" + a + "'");
                }
            } else {
                paths.add(a);
            }
        }
        if (!archive) throw new UsageException("only the exact copy is supported: give -a");
        if (paths.size() != 2) throw new UsageException("give SRC and DST");
        String source = paths.get(0);
        String target = paths.get(1);
        if (NativeFs.isDirectory(target)) {
            String s = source.replaceAll("/+$", "");
            target = target.replaceAll("/+$", "") + "/" + s.substring(s.lastIndexOf('/') + 1);
        }
        try {
            copy(source, target);
        } catch (IOException e) {
            err.println("fsutil: cp: " + source + ": " + reason(e));
            status = 1;
        }
        return status;
    }

    private void copy(String source, String target) throws IOException {
        // A terminal gets one line rewritten in place; anything else a line per update.
        boolean terminal = System.console() != null;
        FileTree.Progress shown = !progress ? null : (entries, bytes) -> {
            err.print((terminal ? "\r" : "") + "fsutil: cp: " + entries + " entries, " + bytes + " bytes" + (terminal ? "" : "\n"));
            err.flush();
        };
        FileTree.Option[] options = xdev ? new FileTree.Option[] {FileTree.Option.SAME_FILE_SYSTEM} : new FileTree.Option[0];
        try {
            FileTree.copy(source, target, (failed, error) -> {
                if (terminal && progress) err.println();
                err.println("fsutil: cp: " + (failed.isEmpty() ? source : source + "/" + failed) + ": " + reason(error));
                status = 1;
            }, shown, options);
        } finally {
            if (terminal && progress) err.println();
        }
    }

    @Override
    void path(String path, boolean several, PrintStream out) {
        throw new UnsupportedOperationException("cp takes its two paths together");
    }
}
