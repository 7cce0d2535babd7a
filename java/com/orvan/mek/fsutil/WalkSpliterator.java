package com.orvan.mek.fsutil;

import java.util.ArrayDeque;
import java.util.Spliterator;
import java.util.function.Consumer;

/**
 * A part of a walk: first a native walk, then groups of split-off entries (each directory
 * among them walked by a native walk of its own when reached) and, in post-order, the
 * directories whose report comes after those entries. trySplit gives away a prefix: the part
 * keeps what comes last, so that forEachOrdered sees the sequential order.
 */
final class WalkSpliterator implements Spliterator<WalkNode> {
    private final WalkState shared;
    private WalkReader current;
    private final ArrayDeque<Object> rest = new ArrayDeque<>();  // Slice, or WalkNode (a directory to report)
    private long estimate;

    /** Some of a group's entries, [next, end). */
    private static final class Slice {
        final SplitGroup group;
        int next;
        final int end;

        Slice(SplitGroup group, int next, int end) {
            this.group = group;
            this.next = next;
            this.end = end;
        }
    }

    WalkSpliterator(WalkState shared, WalkReader current, long estimate) {
        this.shared = shared;
        this.current = current;
        this.estimate = estimate;
    }

    @Override
    public boolean tryAdvance(Consumer<? super WalkNode> action) {
        for (;;) {
            if (shared.closed) return false;  // nothing more once close() was called, on any thread
            if (current != null) {
                if (current.hasNext()) {
                    action.accept(current.next());
                    return true;
                }
                current = null;
                continue;
            }
            Object o = rest.pollFirst();
            if (o == null) return false;
            if (o instanceof WalkNode) {
                action.accept((WalkNode) o);
                return true;
            }
            Slice s = (Slice) o;
            if (s.next == s.end) {
                s.group.release(shared);
                continue;
            }
            WalkNode e = s.group.items[s.next++];
            rest.addFirst(s);
            boolean dir = e.isDirectory();
            if (dir && shared.postOrder) rest.addFirst(e);  // reported after what lies below it
            if (dir && e.depth < shared.maxDepth && (shared.prune == null || !shared.prune.test(e))) {
                current = open(s.group, e);
            }
            if (!dir || !shared.postOrder) {
                action.accept(e);
                return true;
            }
        }
    }

    /** The native walk of the directory e of group g. */
    private WalkReader open(SplitGroup g, WalkNode e) {
        long h = g.dir.enter();
        if (h == -1 || shared.closed) {
            if (h != -1) g.dir.leave();
            return null;
        }
        try {
            return new WalkReader(NativeDispatcher.openPart(h, e.nameBytes, shared.maxDepth - e.depth), shared, e);
        } finally {
            g.dir.leave();
        }
    }

    @Override
    public void forEachRemaining(Consumer<? super WalkNode> action) {
        do {
            if (current != null) current.forEachRemaining(action);  // a batch at a time
            current = null;
        } while (tryAdvance(action));
    }

    @Override
    public Spliterator<WalkNode> trySplit() {
        WalkSpliterator prefix = null;
        if (current != null) {
            WalkReader.Split split = current.split();
            if (split != null) {
                // This part keeps the entries taken off and, in post-order, the directories left after them.
                for (int i = split.after.length - 1; i >= 0; i--) rest.addFirst(split.after[i]);
                SplitGroup g = split.group;
                if (g.items.length == 0) {
                    g.release(shared);
                } else {
                    rest.addFirst(new Slice(g, 0, g.items.length));
                }
                prefix = new WalkSpliterator(shared, current, 0);
            } else if (!rest.isEmpty()) {
                prefix = new WalkSpliterator(shared, current, 0);
            }
            if (prefix != null) current = null;
        } else if (rest.peekFirst() instanceof Slice && ((Slice) rest.peekFirst()).end - ((Slice) rest.peekFirst()).next >= 2) {
            Slice s = (Slice) rest.peekFirst();
            int mid = (s.next + s.end) >>> 1;
            s.group.users.incrementAndGet();
            prefix = new WalkSpliterator(shared, null, 0);
            prefix.rest.add(new Slice(s.group, s.next, mid));
            s.next = mid;
        } else if (rest.size() >= 2) {
            prefix = new WalkSpliterator(shared, null, 0);
            prefix.rest.add(rest.pollFirst());
        }
        if (prefix == null) return null;
        estimate = prefix.estimate = estimate / 2;
        return prefix;
    }

    @Override
    public long estimateSize() { return estimate; }

    @Override
    public int characteristics() { return Spliterator.NONNULL | Spliterator.ORDERED; }
}
