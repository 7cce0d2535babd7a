package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.IOException;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;

/** {@code rm [-r] PATH...}: removes each path (with -r, a directory and all below it), as rm(1). */
final class Rm extends Command {
    static final String USAGE = String.join("\n",
            "  rm [-r] PATH...   removes each PATH; -r: a directory and everything below it, through",
            "                    descriptors, never across a mount point nor through a link; what cannot",
            "                    be removed is reported on stderr and the rest goes on");

    private boolean recursive;
    private PrintStream err;
    private int status;

    @Override
    String name() { return "rm"; }

    @Override
    int run(List<String> args, PrintStream out, PrintStream err) throws UsageException {
        this.err = err;
        List<String> paths = new ArrayList<>();
        for (String a : args) {
            if (a.equals("-r") || a.equals("-R") || a.equals("--recursive")) {
                recursive = true;
            } else if (a.startsWith("-") && a.length() > 1) {
                throw new UsageException("unknown option '" + a + "'");
            } else {
                paths.add(a);
            }
        }
        return super.run(paths, out, err) | status;
    }

    @Override
    void path(String path, boolean several, PrintStream out) throws IOException {
        if (!recursive && NativeFs.isDirectory(path)) throw new IOException("Is a directory");
        FileTree.delete(path, (failed, error) -> {
            err.println("fsutil: rm: " + (failed.isEmpty() ? path : path + "/" + failed) + ": " + reason(error));
            status = 1;
        });
    }
}
