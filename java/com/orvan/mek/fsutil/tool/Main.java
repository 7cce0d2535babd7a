package com.orvan.mek.fsutil.tool;

import java.io.PrintStream;
import java.util.Arrays;
import java.util.List;

/**
 * Command-line tool: {@code java -jar fsutil.jar COMMAND ARGS...} (or {@code java -p fsutil.jar -m
 * com.orvan.mek.fsutil COMMAND ARGS...}); one class per command.
 */
public final class Main {
    static final String USAGE = String.join("\n",
            "usage: java -jar fsutil.jar COMMAND ARGS...",
            "  df PATH...        file-system statistics (statvfs) of the file system holding each PATH",
            "  ls DIR...         entries of each DIR, one per line, in readdir order; devices, sockets,",
            "                    '.' and '..' left out; names are written as their bytes on disk",
            "  readlink LINK...  the full target of each symbolic link",
            Find.USAGE,
            Rm.USAGE,
            Du.USAGE,
            Cp.USAGE,
            "  --help            this text",
            "  --version         the version of fsutil",
            "Exit status: 0 when every PATH succeeded, 1 when any failed, 2 on a usage error.");

    private Main() {}

    /** The version the build wrote into the jar's manifest (or, on the module path, its module descriptor). */
    static String version() {
        String v = Main.class.getPackage().getImplementationVersion();
        if (v == null && Main.class.getModule().getDescriptor() != null) {
            v = Main.class.getModule().getDescriptor().rawVersion().orElse(null);
        }
        return v == null ? "(unknown version: not run from its jar)" : v;
    }

    /**
     * Runs one command and exits with its status.
     *
     * @param args the command and its arguments
     */
    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    /**
     * Runs one command.
     *
     * @param args the command and its arguments
     * @param out where results go
     * @param err where failures and usage errors go
     * @return the exit status: 0 when every path succeeded, 1 when any failed, 2 on a usage error
     */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 0 || args[0].equals("--help") || args[0].equals("-h")) {
            (args.length == 0 ? err : out).println(USAGE);
            return args.length == 0 ? 2 : 0;
        }
        if (args[0].equals("--version")) {
            out.println("fsutil " + version());
            return 0;
        }
        List<String> rest = Arrays.asList(args).subList(1, args.length);
        Command command;
        switch (args[0]) {
            case "df": command = new Df(); break;
            case "ls": command = new Ls(); break;
            case "readlink": command = new ReadLink(); break;
            case "find": command = new Find(); break;
            case "rm": command = new Rm(); break;
            case "du": command = new Du(); break;
            case "cp": command = new Cp(); break;
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
