package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.file.FileSystemException;
import java.util.ArrayList;
import java.util.List;
import java.util.function.BiConsumer;

/**
 * The handler of a whole-tree call given none: keeps the failures, and once the call is done
 * throws the first, of the class the handler got it as, its message naming how many failed and
 * the others attached as suppressed (at most {@link #MAX_SUPPRESSED}).
 */
final class FailureThrower implements BiConsumer<String, IOException> {
    static final int MAX_SUPPRESSED = 100;

    private final String tag;
    private final String root;
    private final String failed;
    private final List<IOException> others = new ArrayList<>();
    private IOException first;
    private String firstPath;
    private long count;

    /**
     * @param tag the call's tag, "[FileTree.delete] "
     * @param root the path as the caller named it; failures name paths below it
     * @param failed what failed entries were not, "removed"
     */
    FailureThrower(String tag, String root, String failed) {
        this.tag = tag;
        this.root = root;
        this.failed = failed;
    }

    @Override
    public void accept(String path, IOException error) {
        if (count++ == 0) {
            first = error;
            firstPath = path.isEmpty() ? root : root + "/" + path;
        } else if (others.size() < MAX_SUPPRESSED) {
            others.add(error);
        }
    }

    /** Throws the first failure, if any, as the class description says. */
    void throwFirst() throws IOException {
        if (count == 0) return;
        String reason = first instanceof FileSystemException ? ((FileSystemException) first).getReason() : first.getMessage();
        IOException e = Failures.retold(first, firstPath, reason, tag + count + (count == 1 ? " entry" : " entries")
                + " could not be " + failed + ", the first: " + firstPath + ": " + reason);
        for (IOException o : others) e.addSuppressed(o);
        throw e;
    }
}
