package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FolderIteratorNix;
import java.io.FileNotFoundException;
import java.nio.file.NoSuchFileException;
import java.io.IOException;
import java.io.PrintStream;
import java.util.List;

/** {@code ls DIR...}: the reported names of each directory, a line each, as their bytes on disk. */
final class Ls extends Command {
    static final String USAGE = String.join("\n",
            "  ls DIR...         entries of each DIR, one per line, in readdir order; devices, sockets,",
            "                    '.' and '..' left out; names are written as their bytes on disk");

    Ls() { super("ls", USAGE, 2); }

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        if (args.isEmpty()) throw new UsageException("no PATH given");
        boolean first = true;
        for (byte[] dir : args) {
            try (FolderIteratorNix it = new FolderIteratorNix(Args.path(dir))) {
                if (args.size() > 1) {
                    if (!first) out.write('\n');  // a blank line between directories, as GNU ls
                    first = false;
                    out.write(dir, 0, dir.length);
                    out.write(':');
                    out.write('\n');
                }
                while (it.hasNext()) {
                    byte[] name = it.nextEntry().nameBytes();
                    out.write(name, 0, name.length);
                    out.write('\n');
                }
            } catch (FileNotFoundException | NoSuchFileException e) {
                fail("cannot access ", dir, Args.reason(e));
            } catch (IOException e) {
                fail("cannot open directory ", dir, Args.reason(e));
            }
        }
        return status();
    }
}
