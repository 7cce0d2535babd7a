package com.orvan.mek.fsutil;

import java.io.IOException;
import java.lang.ref.Reference;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Iterator;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.function.BiConsumer;
import java.util.function.Consumer;
import java.util.function.Predicate;

/**
 * Reads one native walk (the whole walk, or a part split off it) a batch of records at a time and
 * hands out its entries; failures go to the walk's handler at their place. Any thread may close
 * it at any time.
 */
final class WalkReader implements Iterator<FileTree.Entry> {
    private final NativeHandle tree;
    private final WalkState shared;
    private final boolean attributes;
    private final boolean postOrder;
    private final Predicate<? super FileTree.Entry> prune;
    private final BiConsumer<String, IOException> onError;
    private final FileTree.Entry base;  // the directory this walk starts in; null for the root
    private final int offset;  // base's depth
    private final byte[] batch = new byte[Records.WALK_BATCH];
    private final ByteBuffer view = ByteBuffer.wrap(batch).order(ByteOrder.nativeOrder());
    private FileTree.Entry[] dirs = new FileTree.Entry[16];  // dirs[d]: the directory at this walk's depth d being walked
    private int pos;
    private int end;
    private FileTree.Entry next;
    /** Entries an action did not take before it threw, handed out before the batch goes on. */
    private final ArrayDeque<FileTree.Entry> returned = new ArrayDeque<>();
    /** Set by close() before it releases anything, so that no later hasNext() reports an entry. */
    private volatile boolean closed;

    /** The walk asks not to enter the directory that ended the last batch. */
    private boolean skip;

    WalkReader(long handle, WalkState shared, FileTree.Entry base) {
        this.tree = new NativeHandle(this, handle, NativeDispatcher::closeTree);
        this.shared = shared;
        this.attributes = shared.attributes;
        this.postOrder = shared.postOrder;
        this.prune = shared.prune;
        this.onError = shared.onError;
        this.base = base;
        this.offset = base == null ? 0 : base.depth();
        if (!shared.add(tree)) closed = true;
    }

    /**
     * Takes the unread entries of the shallowest directory that has any off this walk: a Group,
     * then in post-order the directories on the path down to it, deepest first, whose report
     * comes after those entries. Null when there is nothing to take.
     */
    synchronized Object[] split() {
        if (closed) return null;
        long h = tree.enter();
        if (h == -1) return null;
        long g;
        try {
            g = NativeDispatcher.splitTree(h);
        } finally {
            tree.leave();
        }
        if (g == 0) return null;
        int level = NativeDispatcher.groupDepth(g);
        byte[] records = NativeDispatcher.groupRecords(g);
        ByteBuffer v = ByteBuffer.wrap(records).order(ByteOrder.nativeOrder());
        FileTree.Entry parent = level == 0 ? base : dirs[level];
        List<FileTree.Entry> items = new ArrayList<>();
        for (int at = 0; at < records.length;) {
            items.add(Records.walkEntry(records, v, at, attributes, parent, offset + level + 1, shared.root));
            at += Records.entryLength(Records.nameLength(records, at), attributes);
        }
        SplitGroup group = new SplitGroup(g, items.toArray(new FileTree.Entry[0]));
        if (!shared.add(group.dir)) return null;  // closed meanwhile: nothing more is reported anyway
        Object[] out = new Object[1 + (postOrder ? level : 0)];
        out[0] = group;
        for (int d = level, i = 1; postOrder && d >= 1; d--) out[i++] = dirs[d];
        return out;
    }

    @Override
    public synchronized boolean hasNext() {
        if (next == null && shared.closed) return false;  // nothing more once close() returned
        if (next == null && !returned.isEmpty()) next = returned.poll();  // also after the end was read
        if (next == null && closed) return false;
        while (next == null) {
            if (pos == end && !fill()) return false;
            next = parse();
        }
        return true;
    }

    @Override
    public synchronized FileTree.Entry next() {
        // What hasNext() promised before a close() from another thread is still handed out.
        if (next == null && !hasNext()) throw new NoSuchElementException();
        FileTree.Entry e = next;
        next = null;
        return e;
    }

    /**
     * Hands the rest to action a batch at a time: one lock per batch, not per entry. Entries not
     * yet handed when action throws go back, so the next call starts with them; none is handed
     * once close() was called.
     */
    @Override
    public void forEachRemaining(Consumer<? super FileTree.Entry> action) {
        FileTree.Entry[] taken = new FileTree.Entry[Records.WALK_BATCH / Records.WALK_HEADER + 1];
        for (int n; (n = take(taken)) > 0;) {
            int i = 0;
            try {
                // Only the caller's close() stops the handing out: the walk's own end (closed) does not.
                while (i < n && !shared.closed) action.accept(taken[i++]);
            } finally {
                if (i < n) putBack(taken, i, n);
            }
            if (shared.closed) return;
        }
    }

    /**
     * Moves the entries left in the current batch (read first if none) into out; 0 at the end.
     * It stops before a failure, so that the handler hears of it after the entries before it,
     * and at the end of the batch: a take never reads a second one.
     */
    private synchronized int take(FileTree.Entry[] out) {
        int n = 0;
        while (n < out.length) {
            if (next == null && !returned.isEmpty()) next = returned.poll();
            while (next == null && pos < end && !closed) next = parse();
            if (next == null && (n > 0 || !hasNext())) break;
            out[n++] = next;
            next = null;
            if (returned.isEmpty() && (pos == end || failureNext())) break;
        }
        return n;
    }

    /** Puts taken[from, to) back, first in line. */
    private synchronized void putBack(FileTree.Entry[] taken, int from, int to) {
        if (next != null) returned.addFirst(next);
        for (int i = to - 1; i > from; i--) returned.addFirst(taken[i]);
        next = taken[from];
    }

    /** Whether a failure comes before the next entry to report in the batch. */
    private boolean failureNext() {
        for (int p = pos; p < end; p += Records.entryLength(Records.nameLength(batch, p), attributes)) {
            if (Records.kind(batch, p) == Records.FAILURE) return true;
            if (!postOrder || Records.kind(batch, p) != Records.DIRECTORY) return false;  // only a directory's first record reports nothing
        }
        return false;
    }

    /** Any thread, any time: a batch being read meanwhile is dropped, the walk released after it. */
    void close() {
        closed = true;
        shared.remove(tree);
        tree.close();
    }

    private boolean fill() {
        if (closed) return false;
        long h = tree.enter();
        if (h == -1) return false;
        try {
            pos = 0;
            end = NativeDispatcher.readTree(h, batch, skip);
            skip = false;
        } finally {
            tree.leave();
            Reference.reachabilityFence(this);
        }
        if (end > 0 && !closed) return true;
        end = 0;
        close();
        return false;
    }

    /**
     * The record at pos as the entry to report; null for a failure, which goes to the handler,
     * and for a directory whose report comes later (post-order).
     */
    private FileTree.Entry parse() {
        int kind = Records.kind(batch, pos);
        int depth = Records.depth(batch, pos);
        int len = Records.nameLength(batch, pos);
        if (kind == Records.LEAVE) {
            pos += Records.WALK_HEADER;
            return dirs[depth];
        }
        FileTree.Entry parent = depth > 1 ? dirs[depth - 1] : base;
        if (kind == Records.FAILURE) {
            String name = Records.name(batch, pos, len);
            String text = Records.failureText(batch, pos, len);
            int errno = Records.failureErrno(batch, pos, len);
            pos += Records.failureLength(batch, pos, len);
            String dir = depth == 0 ? (base == null ? "" : base.path()) : parent == null ? name : parent.path() + "/" + name;
            onError.accept(dir, Failures.of(dir, errno, text));
            return null;
        }
        FileTree.Entry e = Records.walkEntry(batch, view, pos, attributes, parent, offset + depth, shared.root);
        pos += Records.entryLength(len, attributes);
        if (e.type() != FileTree.Type.DIRECTORY) return e;
        if (depth >= dirs.length) dirs = Arrays.copyOf(dirs, depth * 2);
        dirs[depth] = e;
        // The walk stops a batch after a directory it would enter, so that this answer comes first.
        if (prune != null && prune.test(e) && pos == end) skip = true;
        return postOrder ? null : e;
    }
}
