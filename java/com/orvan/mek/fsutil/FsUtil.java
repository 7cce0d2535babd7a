package com.orvan.mek.fsutil;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.file.NotDirectoryException;
import java.util.Arrays;
import java.util.Iterator;
import java.util.stream.Stream;

/** Command-line tool: {@code java -jar fsutil.jar df|ls|readlink PATH...}. */
public final class FsUtil {
    private static final String USAGE = String.join("\n",
            "usage: java -jar fsutil.jar COMMAND PATH...",
            "  df PATH...        file-system statistics (statvfs) of the file system holding each PATH",
            "  ls DIR...         entries of each DIR, one per line, in readdir order; devices, sockets,",
            "                    '.' and '..' left out; names are written as their bytes on disk",
            "  readlink LINK...  the full target of each symbolic link",
            "  find [-print0] [-xdev] DIR...",
            "                    DIR and every entry below it, depth-first, as DIR/path in the bytes on",
            "                    disk, one per line (NUL-terminated with -print0); links are not followed",
            "                    below DIR; -xdev: directories of other file systems are printed, not entered;",
            "                    a directory that cannot be read is reported on stderr and skipped",
            "  --help            this text",
            "Exit status: 0 when every PATH succeeded, 1 when any failed, 2 on a usage error.");

    private FsUtil() {}

    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 0 || args[0].equals("--help") || args[0].equals("-h")) {
            (args.length == 0 ? err : out).println(USAGE);
            return args.length == 0 ? 2 : 0;
        }
        int first = 1;
        boolean print0 = false;
        boolean xdev = false;
        for (; args[0].equals("find") && first < args.length && args[first].startsWith("-"); first++) {
            if (args[first].equals("-print0")) {
                print0 = true;
            } else if (args[first].equals("-xdev")) {
                xdev = true;
            } else {
                err.println("fsutil: find: unknown option '" + args[first] + "' (see --help)");
                return 2;
            }
        }
        String[] paths = Arrays.copyOfRange(args, first, args.length);
        if (paths.length == 0) {
            err.println("fsutil: " + args[0] + ": no PATH given (see --help)");
            return 2;
        }
        int status = 0;
        for (String path : paths) {
            try {
                switch (args[0]) {
                    case "df": df(path, out); break;
                    case "ls": ls(path, out, paths.length > 1); break;
                    case "readlink": out.println(NativeFs.readLink(path)); break;
                    case "find": status |= find(path, print0 ? 0 : '\n', xdev, out, err); break;
                    default:
                        err.println("fsutil: unknown command '" + args[0] + "' (see --help)");
                        return 2;
                }
            } catch (IOException e) {
                err.println("fsutil: " + args[0] + ": " + path + ": " + e.getMessage());
                status = 1;
            }
            out.flush();
        }
        return status;
    }

    private static void df(String path, PrintStream out) throws IOException {
        FileSysStatUnix s = new FileSystemStatLin().getFileSysStat(path);
        out.println("File system of: " + path);
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

    private static void ls(String dir, PrintStream out, boolean header) throws IOException {
        try (FolderIteratorNix it = new FolderIteratorNix(dir)) {
            if (header) out.println(dir + ":");
            while (it.hasNext()) {
                byte[] name = it.nextEntry().bytes();  // as the directory gave them
                out.write(name, 0, name.length);
                out.write('\n');
            }
        }
    }

    /**
     * Prints root and every entry below it as root/path, in the bytes on disk. A directory path
     * is kept as bytes while its entries are printed, so deep trees cost no more per entry.
     */
    private static int find(String root, int separator, boolean xdev, PrintStream out, PrintStream err)
            throws IOException {
        byte[] path = root.getBytes(Charset.defaultCharset());
        int[] status = {0};
        try (Stream<FileTree.Entry> walk = FileTree.walk(root, (failed, error) -> {
                out.flush();
                err.println("fsutil: find: " + (failed.isEmpty() ? root : root + "/" + failed) + ": " + error);
                status[0] = 1;
            }, xdev ? new FileTree.Option[] {FileTree.Option.SAME_FILE_SYSTEM} : new FileTree.Option[0])) {
            out.write(path, 0, path.length);
            out.write(separator);
            int[] ends = new int[16];  // ends[d]: where the path of the directory at depth d ends
            ends[0] = root.endsWith("/") ? path.length - 1 : path.length;
            for (Iterator<FileTree.Entry> it = walk.iterator(); it.hasNext();) {
                FileTree.Entry e = it.next();
                byte[] name = e.nameBytes();
                int start = ends[e.depth() - 1];
                if (path.length < start + 1 + name.length) path = Arrays.copyOf(path, (start + 1 + name.length) * 2);
                path[start] = '/';
                System.arraycopy(name, 0, path, start + 1, name.length);
                out.write(path, 0, start + 1 + name.length);
                out.write(separator);
                if (e.type() == FileTree.Type.DIRECTORY) {
                    if (e.depth() >= ends.length) ends = Arrays.copyOf(ends, e.depth() * 2);
                    ends[e.depth()] = start + 1 + name.length;
                }
            }
        } catch (NotDirectoryException e) {
            out.write(path, 0, path.length);  // a file named as root is printed alone, as find does
            out.write(separator);
        }
        return status[0];
    }
}
