package com.orvan.mek.fsutil.tool;

import java.io.BufferedOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
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
            Df.USAGE,
            Ls.USAGE,
            ReadLink.USAGE,
            Find.USAGE,
            Rm.USAGE,
            Du.USAGE,
            Cp.USAGE,
            Sync.USAGE,
            Watch.USAGE,
            "  COMMAND --help    that command's usage; -- ends a command's options",
            "  --help            this text",
            "  --version         the version of fsutil",
            "Exit status: 0 when every PATH succeeded, 1 when any failed; on a usage error 1 for find,",
            "du, rm and sync (as GNU's find, du, rm and cp), 2 for the others.");

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
     * Runs one command and exits with its status. The arguments are taken as the bytes the shell
     * passed; stdout is buffered and written a whole record at a time.
     *
     * @param args the command and its arguments
     */
    public static void main(String[] args) {
        PrintStream out = new PrintStream(new BufferedOutputStream(new FileOutputStream(FileDescriptor.out), 1 << 16), false);
        int status = run(Args.raw(args), out, System.err);
        out.flush();
        System.exit(out.checkError() && status == 0 ? 1 : status);
    }

    /**
     * Runs one command.
     *
     * @param args the command and its arguments
     * @param out where results go
     * @param err where failures and usage errors go
     * @return the exit status: 0 when every path succeeded, 1 when any failed, on a usage error
     *     that of the command's GNU namesake (1 for find, du and rm, else 2)
     */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        byte[][] bytes = new byte[args.length][];
        for (int i = 0; i < args.length; i++) bytes[i] = Args.bytes(args[i]);
        return run(bytes, out, err);
    }

    private static int run(byte[][] argv, PrintStream out, PrintStream err) {
        String name = argv.length == 0 ? "" : Args.text(argv[0]);
        if (argv.length == 0 || name.equals("--help") || name.equals("-h")) {
            (argv.length == 0 ? err : out).println(USAGE);
            return argv.length == 0 ? 2 : 0;
        }
        if (name.equals("--version")) {
            out.println("fsutil " + version());
            return 0;
        }
        List<byte[]> rest = Arrays.asList(argv).subList(1, argv.length);
        Command command;
        switch (name) {
            case "df": command = new Df(); break;
            case "ls": command = new Ls(); break;
            case "readlink": command = new ReadLink(); break;
            case "find": command = new Find(); break;
            case "rm": command = new Rm(); break;
            case "du": command = new Du(); break;
            case "cp": command = new Cp(); break;
            case "sync": command = new Sync(); break;
            case "watch": command = new Watch(); break;
            default:
                err.println("fsutil: unknown command '" + name + "' (see --help)");
                return 2;
        }
        for (byte[] a : rest) {
            if (Args.text(a).equals("--")) break;
            if (Args.text(a).equals("--help")) {
                out.println("usage: fsutil " + command.usage().substring(2));
                return 0;
            }
        }
        try {
            return command.run(rest, out, err);
        } catch (UsageException e) {
            out.flush();
            err.println("fsutil: " + name + ": " + e.getMessage() + " (see fsutil " + name + " --help)");
            return command.usageStatus();
        } catch (RuntimeException e) {
            // A fault of ours: one line saying what, never a trace.
            out.flush();
            err.println("fsutil: " + name + ": internal error: " + e);
            return 1;
        } finally {
            out.flush();
        }
    }
}
