package com.orvan.mek.fsutil.tool;

import java.io.PrintStream;
import java.util.Arrays;
import java.util.List;

/** Command-line tool: {@code java -jar fsutil.jar COMMAND ARGS...}; one class per command. */
public final class Main {
    static final String USAGE = String.join("\n",
            "usage: java -jar fsutil.jar COMMAND ARGS...",
            "  df PATH...        file-system statistics (statvfs) of the file system holding each PATH",
            "  ls DIR...         entries of each DIR, one per line, in readdir order; devices, sockets,",
            "                    '.' and '..' left out; names are written as their bytes on disk",
            "  readlink LINK...  the full target of each symbolic link",
            Find.USAGE,
            Rm.USAGE,
            "  --help            this text",
            "Exit status: 0 when every PATH succeeded, 1 when any failed, 2 on a usage error.");

    private Main() {}

    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    /** Runs one command; returns its exit status. */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 0 || args[0].equals("--help") || args[0].equals("-h")) {
            (args.length == 0 ? err : out).println(USAGE);
            return args.length == 0 ? 2 : 0;
        }
        List<String> rest = Arrays.asList(args).subList(1, args.length);
        Command command;
        switch (args[0]) {
            case "df": command = new Df(); break;
            case "ls": command = new Ls(); break;
            case "readlink": command = new ReadLink(); break;
            case "find": command = new Find(); break;
            case "rm": command = new Rm(); break;
            default:
                err.println("fsutil: unknown command '" + args[0] + "' (see --help)");
                return 2;
        }
        try {
            return command.run(rest, out, err);
        } catch (UsageException e) {
            err.println("fsutil: " + args[0] + ": " + e.getMessage() + " (see --help)");
            return 2;
        } finally {
            out.flush();
        }
    }
}
