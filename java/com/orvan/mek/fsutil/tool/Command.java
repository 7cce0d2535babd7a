package com.orvan.mek.fsutil.tool;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.util.List;

/**
 * One command of the tool. The default run takes each argument as a path on its own: a path that
 * fails goes to stderr as "fsutil: COMMAND: PATH: reason" and the others go on.
 */
abstract class Command {
    private final String name;
    private final String usage;
    private final int usageStatus;
    private PrintStream out;
    private PrintStream err;
    private int status;

    /**
     * @param name its name on the command line
     * @param usage its lines of the tool's usage
     * @param usageStatus the exit status of a usage error: its GNU namesake's
     */
    Command(String name, String usage, int usageStatus) {
        this.name = name;
        this.usage = usage;
        this.usageStatus = usageStatus;
    }

    final String name() { return name; }

    final String usage() { return usage; }

    final int usageStatus() { return usageStatus; }

    /** Does the work for one path, given as its bytes (the default run's). */
    void path(byte[] path, PrintStream out) throws IOException {
        throw new UnsupportedOperationException(name());
    }

    /** Runs with the arguments after the command's name; the exit status. */
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        if (args.isEmpty()) throw new UsageException("no PATH given");
        for (byte[] path : args) {
            try {
                path(path, out);
            } catch (IOException e) {
                fail(Args.shown(path), Args.bytes(": " + Args.reason(e)));
            }
        }
        return status();
    }

    final void start(PrintStream out, PrintStream err) {
        this.out = out;
        this.err = err;
    }

    final int status() { return status; }

    /** One failure, a line on stderr made of "fsutil: COMMAND: " and these parts, after what stdout holds so far; the status is then 1. */
    final void fail(byte[]... parts) {
        ByteArrayOutputStream line = new ByteArrayOutputStream();
        line.writeBytes(Args.bytes("fsutil: " + name() + ": "));
        for (byte[] p : parts) line.writeBytes(p);
        line.write('\n');
        out.flush();
        err.write(line.toByteArray(), 0, line.size());
        err.flush();
        status = 1;
    }

    /** A failure worded "fsutil: COMMAND: what NAME: reason", the name quoted as coreutils quote it. */
    final void fail(String what, byte[] name, String reason) {
        fail(Args.bytes(what), Args.shellQuoted(name), Args.bytes(": " + reason));
    }
}
