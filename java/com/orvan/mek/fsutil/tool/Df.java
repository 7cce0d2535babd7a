package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileSysStatUnix;
import com.orvan.mek.fsutil.NativeFs;
import java.io.IOException;
import java.io.PrintStream;

/** {@code df PATH...}: the eleven statvfs values of the file system holding each path, as a table. */
final class Df extends Command {
    static final String USAGE = "  df PATH...        file-system statistics (statvfs) of the file system holding each PATH";

    Df() { super("df", USAGE, 2); }

    @Override
    void path(byte[] path, PrintStream out) throws IOException {
        FileSysStatUnix s = NativeFs.fileSystemStat(Args.path(path));
        out.print("File system of: ");
        out.write(path, 0, path.length);
        out.println();
        row(out, "Block size (f_bsize)", s.getBlockSize(), "");
        row(out, "Fragment size (f_frsize)", s.getFragmentSize(), "");
        row(out, "Blocks (f_blocks)", s.getBlocks(), human(s.getTotalSpace()));
        row(out, "Free blocks (f_bfree)", s.getFreeBlocks(), human(s.getFreeSpace()));
        row(out, "Available blocks (f_bavail)", s.getAvailableBlocks(), human(s.getUsableSpace()));
        row(out, "Inodes (f_files)", s.getFiles(), "");
        row(out, "Free inodes (f_ffree)", s.getFreeFiles(), "");
        row(out, "Available inodes (f_favail)", s.getAvailableFiles(), "");
        out.printf("  %-28s %20s%n", "File-system ID (f_fsid)", "0x" + Long.toHexString(s.getFsId()));
        out.printf("  %-28s %20s  %s%n", "Mount flags (f_flag)", "0x" + Long.toHexString(s.getFlag()),
                s.isReadOnly() ? "read-only" : "read-write");
        row(out, "Max name length (f_namemax)", s.getNameMax(), "");
    }

    private static void row(PrintStream out, String label, long value, String note) {
        out.printf("  %-28s %20d  %s%n", label, value, note);
    }

    private static String human(long bytes) {
        String[] units = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
        double v = bytes;
        int u = 0;
        while (v >= 1024 && u < units.length - 1) {
            v /= 1024;
            u++;
        }
        return String.format("%.1f %s", v, units[u]);
    }
}
