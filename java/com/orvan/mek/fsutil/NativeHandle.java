package com.orvan.mek.fsutil;

import java.lang.ref.Cleaner;

/**
 * One native resource (a directory stream, a tree walk, a file descriptor) that any thread may
 * close at any time, also while other threads are inside a native call that uses it. Each use
 * is bracketed by {@link #enter()} and {@link #leave()}; {@link #close()} marks the handle closed
 * at once, wakes the users blocked in it, and the resource itself is released by the last one to
 * leave, so a native call never meets freed memory or a descriptor number the system has given to
 * another file meanwhile. A handle whose owner becomes unreachable unclosed is closed by the
 * Cleaner.
 */
final class NativeHandle {
    /** What closing does; must not refer to the owner, or the Cleaner would never run. */
    interface Natives {
        void release(long value);

        /** Makes the calls blocked in the resource return; called once, with users inside. */
        default void wake(long value) {}
    }

    private static final Cleaner CLEANER = Cleaner.create();

    private final State state;
    private final Cleaner.Cleanable cleanable;

    NativeHandle(Object owner, long value, Natives natives) {
        this.state = new State(value, natives);
        this.cleanable = CLEANER.register(owner, state);
    }

    /** The resource for one native call, or -1 once closed; any other value must be given back with leave(). */
    long enter() { return state.enter(); }

    void leave() { state.leave(); }

    boolean isClosed() { return state.isClosed(); }

    /** Closes the handle; calling it again does nothing. */
    void close() { cleanable.clean(); }

    private static final class State implements Runnable {
        private final Natives natives;
        private long value;
        private int users;
        private boolean closed;

        State(long value, Natives natives) {
            this.value = value;
            this.natives = natives;
        }

        synchronized long enter() {
            if (closed) return -1;
            users++;
            return value;
        }

        void leave() {
            long v;
            synchronized (this) {
                if (--users > 0 || !closed) return;
                v = value;
                value = -1;
            }
            natives.release(v);
        }

        synchronized boolean isClosed() { return closed; }

        @Override
        public void run() {
            long v;
            synchronized (this) {
                if (closed) return;
                closed = true;
                v = value;
                if (users == 0) {
                    value = -1;
                } else {
                    natives.wake(v);  // under the lock: the last user cannot release v meanwhile
                    return;
                }
            }
            natives.release(v);
        }
    }
}
