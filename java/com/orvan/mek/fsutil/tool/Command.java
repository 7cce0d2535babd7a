package com.orvan.mek.fsutil.tool;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.FileSystemException;
import java.util.List;

/**
 * One command of the tool. The default run takes each argument as a path on its own: a path that
 * fails goes to stderr as "fsutil: COMMAND: PATH: message" and the others go on.
 */
abstract class Command {
    /** Its name on the command line. */
    abstract String name();

    /** Does the work for one path. */
    abstract void path(String path, boolean several, PrintStream out) throws IOException;

    int run(List<String> args, PrintStream out, PrintStream err) throws UsageException {
        if (args.isEmpty()) throw new UsageException("no PATH given");
        int status = 0;
        for (String path : args) {
            try {
                path(path, args.size() > 1, out);
            } catch (IOException e) {
                out.flush();
                err.println("fsutil: " + name() + ": " + path + ": " + reason(e));
                status = 1;
            }
            out.flush();
        }
        return status;
    }

    /** The system's text of a failure: a FileSystemException's reason, else the message. */
    static String reason(IOException e) {
        return e instanceof FileSystemException ? ((FileSystemException) e).getReason() : e.getMessage();
    }
}
