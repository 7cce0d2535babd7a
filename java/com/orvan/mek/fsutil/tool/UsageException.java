package com.orvan.mek.fsutil.tool;

/** A command line that cannot be run: the tool prints why and exits with the command's usage status. */
final class UsageException extends Exception {
    private static final long serialVersionUID = 1L;

    UsageException(String why) {
        super(why, null, false, false);
    }
}
