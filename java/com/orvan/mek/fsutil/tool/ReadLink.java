package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.NativeFs;
import java.io.IOException;
import java.io.PrintStream;

/** {@code readlink LINK...}: the whole target of each symbolic link. */
final class ReadLink extends Command {
    @Override
    String name() { return "readlink"; }

    @Override
    void path(String link, boolean several, PrintStream out) throws IOException {
        out.println(NativeFs.readLink(link));
    }
}
