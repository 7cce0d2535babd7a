package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.NativeFs;
import java.io.IOException;
import java.io.PrintStream;

/** {@code readlink LINK...}: the whole target of each symbolic link. */
final class ReadLink extends Command {
    static final String USAGE = "  readlink LINK...  the full target of each symbolic link";

    ReadLink() { super("readlink", USAGE, 2); }

    @Override
    void path(byte[] link, PrintStream out) throws IOException {
        byte[] target = NativeFs.readLink(Args.path(link));
        out.write(target, 0, target.length);
        out.println();
    }
}
