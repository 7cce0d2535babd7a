package com.orvan.mek.fsutil;

import java.io.IOException;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;
import java.util.function.Consumer;

/**
 * The Java side of a running sync: its failures to the error handler and its changes to the change
 * listener, as they come, and its counts to the progress listener, on the calling thread, until the
 * sync is done.
 */
final class SyncRun {
    private SyncRun() {}

    static void drain(long job, BiConsumer<String, IOException> onError, FileTree.Progress progress,
            Consumer<FileTree.Change> onChange, byte[] root) {
        long[] done = new long[Records.JOB_DONE_COUNT];
        long next = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(JobRunner.PROGRESS_MILLIS);
        for (;;) {
            long left = next - System.nanoTime();
            byte[] f = NativeDispatcher.jobNext(job,
                    progress == null ? -1 : (int) Math.max(1, TimeUnit.NANOSECONDS.toMillis(left)), done);
            if (f == null) break;
            if (progress != null && next - System.nanoTime() <= 0) {
                progress.update(done[0], done[1]);
                next = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(JobRunner.PROGRESS_MILLIS);
            }
            if (f.length == 0) continue;
            if (Records.isChange(f)) {
                if (onChange != null) onChange.accept(Records.change(f, root));
                continue;
            }
            String path = Records.jobPath(f);
            onError.accept(path, Records.failure(f, 0, path));
        }
        if (progress != null) progress.update(done[0], done[1]);
    }
}
