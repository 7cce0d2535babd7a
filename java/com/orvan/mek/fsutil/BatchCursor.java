package com.orvan.mek.fsutil;

import java.lang.ref.Reference;
import java.util.ArrayDeque;
import java.util.Iterator;
import java.util.NoSuchElementException;
import java.util.function.Consumer;

/**
 * The reading loop of a native stream of records (a directory listing, a walk): fills a batch
 * with one native call, hands its items out one at a time or a batch per lock, puts back what an
 * action that threw was not handed, and may be closed by any thread at any time: once close()
 * has returned, no item is handed to an action, also not by a forEachRemaining already running.
 * A subclass says how a batch is read and how a record becomes an item.
 */
abstract class BatchCursor<T> implements Iterator<T> {
    /** The current batch: records [pos, end) are still to be read. */
    final byte[] batch;
    int pos;
    int end;
    private final NativeHandle handle;
    /**
     * Guards the batch and the items: the owner's monitor where the owner's own calls hold it (its
     * synchronized methods) and use the ...Held() methods; else this cursor.
     */
    final Object lock;
    /** Items taken out of their records: an action did not take them before it threw, or hasNext() promised one. */
    private final ArrayDeque<T> returned = new ArrayDeque<>();
    /** The longest take: every record of a batch, and an item promised before it. */
    private final int takeMax;
    /** Set before the stream is released (its end, or a close), so that no later hasNext() reads from it. */
    private volatile boolean released;
    /** Set by close() alone, not by the end of the records: nothing more is handed out. */
    private volatile boolean stopped;

    /**
     * @param lock the owner whose monitor guards this cursor; null for the cursor itself
     * @param stream the native stream, released by natives (also when this cursor becomes unreachable unclosed)
     * @param batchBytes the bytes of one batch
     * @param recordMin the bytes of the shortest record
     */
    BatchCursor(Object lock, long stream, NativeHandle.Natives natives, int batchBytes, int recordMin) {
        this.lock = lock == null ? this : lock;
        this.handle = new NativeHandle(this, stream, natives);
        this.batch = new byte[batchBytes];
        this.takeMax = batchBytes / recordMin + 1;
    }

    /** Reads the next batch of the stream into {@link #batch}: its length, 0 at the end. */
    abstract int read(long stream);

    /**
     * The record at {@link #pos} as its item, {@link #pos} moved past it; null for a record that
     * hands out nothing (yet). Called under {@link #lock}.
     */
    abstract T parse();

    /** Whether each record makes one item, so that hasNext() need not decode one ahead. */
    boolean everyRecordIsAnItem() { return false; }

    /** Whether a batch per lock must end before the record at {@link #pos}; it always ends with its batch. */
    boolean endsTake() { return false; }

    /** Whether nothing more is handed out; a subclass may share the answer with others. */
    boolean stopped() { return stopped; }

    final NativeHandle handle() { return handle; }

    @Override
    public boolean hasNext() {
        synchronized (lock) {
            return hasNextHeld();
        }
    }

    /** {@link #hasNext()} for a caller that holds {@link #lock}. */
    final boolean hasNextHeld() {
        if (stopped()) return false;
        if (!returned.isEmpty()) return true;  // also after the end was read
        if (everyRecordIsAnItem()) return nextRecord();  // the item is read when asked for
        T next = advance();
        if (next == null) return false;
        returned.addFirst(next);
        return true;
    }

    @Override
    public T next() {
        synchronized (lock) {
            return nextHeld();
        }
    }

    /** {@link #next()} for a caller that holds {@link #lock}. */
    final T nextHeld() {
        T next = returned.pollFirst();
        if (next == null) next = advance();
        if (next == null) throw new NoSuchElementException();
        return next;
    }

    /** The next item of the records, batches read as needed; null at the end. */
    private T advance() {
        T next = null;
        while (next == null && nextRecord()) next = parse();
        return next;
    }

    /** An item hasNext() promised or an action put back, else null; under {@link #lock}. */
    final T promised() { return returned.pollFirst(); }

    /**
     * Whether a record is at {@link #pos}: one left in the batch (also after a close() from another
     * thread: hasNext() may have promised it), else the first of the next batch unless stopped.
     */
    final boolean nextRecord() { return pos < end || !stopped() && fill(); }

    /**
     * Hands the rest to action a batch per lock, not an item per lock. Items not yet handed when
     * action throws go back, so the next call starts with them.
     */
    @Override
    public void forEachRemaining(Consumer<? super T> action) {
        @SuppressWarnings("unchecked")
        T[] taken = (T[]) new Object[takeMax];
        for (int n; (n = take(taken)) > 0;) {
            int i = 0;
            try {
                while (i < n && !stopped()) action.accept(taken[i++]);  // handed from here on, also when action throws
            } finally {
                if (i < n && !stopped()) putBack(taken, i, n);
            }
            if (stopped()) return;
        }
    }

    /** Moves the items up to the end of the batch (read first if none) into out: their count, 0 at the end. */
    private int take(T[] out) {
        synchronized (lock) {
            return takeHeld(out);
        }
    }

    private int takeHeld(T[] out) {
        int n = 0;
        while (n < out.length) {
            T next = returned.pollFirst();
            while (next == null && pos < end && !released) next = parse();
            if (next == null && (n > 0 || stopped() || (next = advance()) == null)) break;
            out[n++] = next;
            if (returned.isEmpty() && (pos == end || endsTake())) break;
        }
        return n;
    }

    /** Puts taken[from, to) back, first in line. */
    private void putBack(T[] taken, int from, int to) {
        synchronized (lock) {
            for (int i = to - 1; i >= from; i--) returned.addFirst(taken[i]);
        }
    }

    private boolean fill() {
        if (released) return false;
        long h = handle.enter();
        if (h == -1) return false;
        try {
            pos = 0;
            end = read(h);
        } finally {
            handle.leave();
            Reference.reachabilityFence(this);
        }
        if (end > 0 && !released) return true;
        end = 0;
        release();
        return false;
    }

    /**
     * Any thread, any time: stops the handing out and releases the stream. A batch being read
     * meanwhile is dropped; the stream is released once that read has returned.
     */
    void close() {
        stopped = true;
        release();
    }

    /** Releases the stream, at its end or on close(); calling it again does nothing. */
    void release() {
        released = true;
        handle.close();
    }

    /** Whether the stream was released. */
    final boolean released() { return released; }
}
