package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FolderIteratorNix;
import java.io.IOException;
import java.io.PrintStream;

/** {@code ls DIR...}: the reported names of each directory, a line each, as their bytes on disk. */
final class Ls extends Command {
    @Override
    String name() { return "ls"; }

    @Override
    void path(String dir, boolean several, PrintStream out) throws IOException {
        try (FolderIteratorNix it = new FolderIteratorNix(dir)) {
            if (several) out.println(dir + ":");
            while (it.hasNext()) {
                byte[] name = it.nextEntry().nameBytes();
                out.write(name, 0, name.length);
                out.write('\n');
            }
        }
    }
}
