package com.orvan.mek.fsutil;

import java.io.IOException;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;

/**
 * The Java side of a whole-tree job (delete, usage, copy) running natively on every core: hands
 * its failures to the caller's handler as they come and its counts to the progress watcher, on
 * the calling thread, until the job is done.
 */
final class TreeJob {
    static final int PROGRESS_MILLIS = 250;

    private TreeJob() {}

    /** Runs the loop over the job's failures; every PROGRESS_MILLIS its counts go to progress. */
    static void failures(long job, BiConsumer<String, IOException> onError, FileTree.Progress progress) {
        long[] done = new long[Records.JOB_DONE_COUNT];
        long next = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PROGRESS_MILLIS);
        for (;;) {
            long left = next - System.nanoTime();
            byte[] f = NativeDispatcher.jobNext(job,
                    progress == null ? -1 : (int) Math.max(1, TimeUnit.NANOSECONDS.toMillis(left)), done);
            if (f == null) break;
            if (progress != null && next - System.nanoTime() <= 0) {
                progress.update(done[0], done[1]);
                next = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(PROGRESS_MILLIS);
            }
            if (f.length == 0) continue;
            String path = Records.jobPath(f);
            onError.accept(path, Records.failure(f, 0, path));
        }
        if (progress != null) progress.update(done[0], done[1]);
    }
}
