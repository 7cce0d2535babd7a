package com.orvan.mek.fsutil;

import java.io.IOException;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;

/**
 * Runs a whole-tree job (delete, usage, copy, sync) that works natively on every core to its end,
 * on the calling thread: hands its failures to the handler and a sync's changes to their listener
 * as they come and its counts to the progress listener, then ends the job and returns what its end
 * gives.
 */
final class JobRunner {
    static final int PROGRESS_MILLIS = 250;

    private JobRunner() {}

    /** Told the entries and bytes done so far. */
    @FunctionalInterface
    interface Counts {
        void update(long entries, long bytes);
    }

    /** Told a sync's change as plain values: its kind and type codes and the path's bytes below the target. */
    @FunctionalInterface
    interface Changes {
        void change(int kind, int type, byte[] path);
    }

    /** Ends a job (its handle freed) and gives its result. */
    @FunctionalInterface
    interface End<R> {
        R end(long job);
    }

    /**
     * Hands the job's failures to onError, its changes to changes (null for none), its counts to
     * progress (null for none) every PROGRESS_MILLIS and once at the end; ends the job also when a
     * handler throws.
     */
    static <R> R run(long job, BiConsumer<String, IOException> onError, Counts progress, Changes changes, End<R> end) {
        try {
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
                if (Records.isChange(f)) {
                    if (changes != null) changes.change(Records.changeKind(f), Records.changeType(f), Records.changePath(f));
                    continue;
                }
                String path = Records.jobPath(f);
                onError.accept(path, Records.failure(f, 0, path));
            }
            if (progress != null) progress.update(done[0], done[1]);
        } catch (Throwable t) {
            end.end(job);
            throw t;
        }
        return end.end(job);
    }
}
