package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.BiConsumer;
import java.util.function.Predicate;

/**
 * Reads one native walk (the whole walk, or a part split off it) a batch of records at a time and
 * hands out its entries; failures go to the walk's handler at their place. The walk's close()
 * stops every reader of it.
 */
final class WalkReader extends BatchCursor<WalkNode> {
    private final WalkState shared;
    private final boolean attributes;
    private final boolean postOrder;
    private final Predicate<WalkNode> prune;
    private final BiConsumer<String, IOException> onError;
    private final WalkNode base;  // the directory this walk starts in; null for the root
    private final int offset;  // base's depth
    private final ByteBuffer view = ByteBuffer.wrap(batch).order(ByteOrder.nativeOrder());
    private WalkNode[] dirs = new WalkNode[16];  // dirs[d]: the directory at this walk's depth d being walked

    /** The walk asks not to enter the directory that ended the last batch. */
    private boolean skip;

    WalkReader(long handle, WalkState shared, WalkNode base) {
        super(null, handle, NativeDispatcher::closeTree, Records.WALK_BATCH, Records.WALK_HEADER);
        this.shared = shared;
        this.attributes = shared.attributes;
        this.postOrder = shared.postOrder;
        this.prune = shared.prune;
        this.onError = shared.onError;
        this.base = base;
        this.offset = base == null ? 0 : base.depth;
        if (!shared.add(handle())) release();
    }

    /**
     * Entries taken off a walk for another part: a group of one directory's unread entries, then
     * in post-order the directories on the path down to it, deepest first, whose report comes
     * after those entries.
     */
    static final class Split {
        final SplitGroup group;
        final WalkNode[] after;

        Split(SplitGroup group, WalkNode[] after) {
            this.group = group;
            this.after = after;
        }
    }

    /** Takes the unread entries of the shallowest directory that has any off this walk; null when there is nothing to take. */
    synchronized Split split() {
        if (released()) return null;
        long h = handle().enter();
        if (h == -1) return null;
        long g;
        try {
            g = NativeDispatcher.splitTree(h);
        } finally {
            handle().leave();
        }
        if (g == 0) return null;
        int level = NativeDispatcher.groupDepth(g);
        byte[] records = NativeDispatcher.groupRecords(g);
        ByteBuffer v = ByteBuffer.wrap(records).order(ByteOrder.nativeOrder());
        WalkNode parent = level == 0 ? base : dirs[level];
        List<WalkNode> items = new ArrayList<>();
        for (int at = 0; at < records.length;) {
            items.add(node(records, v, at, parent, offset + level + 1));
            at += Records.entryLength(Records.nameLength(records, at), attributes);
        }
        SplitGroup group = new SplitGroup(g, items.toArray(new WalkNode[0]));
        if (!shared.add(group.dir)) return null;  // closed meanwhile: nothing more is reported anyway
        WalkNode[] after = new WalkNode[postOrder ? level : 0];
        for (int d = level, i = 0; postOrder && d >= 1; d--) after[i++] = dirs[d];
        return new Split(group, after);
    }

    /** The entry record at `at` of b (v: b in native order) as the walk's node. */
    private WalkNode node(byte[] b, ByteBuffer v, int at, WalkNode parent, int depth) {
        int len = Records.nameLength(b, at);
        return shared.maker.make(parent, Records.name(b, at, len), Records.nameBytes(b, at, len), Records.kind(b, at), depth,
                attributes ? Records.attributes(v, at, len) : null, shared.root);
    }

    /**
     * A batch per lock ends before a failure, so that the handler hears of it after the entries
     * before it (in post-order, also before a directory's first record, which reports nothing).
     */
    @Override
    boolean endsTake() {
        for (int p = pos; p < end; p += Records.entryLength(Records.nameLength(batch, p), attributes)) {
            if (Records.kind(batch, p) == Records.FAILURE) return true;
            if (!postOrder || Records.kind(batch, p) != Records.DIRECTORY) return false;  // only a directory's first record reports nothing
        }
        return false;
    }

    @Override
    boolean stopped() { return shared.closed; }

    @Override
    int read(long tree) {
        int n = NativeDispatcher.readTree(tree, batch, skip);
        skip = false;
        return n;
    }

    @Override
    void release() {
        super.release();
        shared.remove(handle());
    }

    /**
     * The record at pos as the entry to report; null for a failure, which goes to the handler,
     * and for a directory whose report comes later (post-order).
     */
    @Override
    WalkNode parse() {
        int kind = Records.kind(batch, pos);
        int depth = Records.depth(batch, pos);
        int len = Records.nameLength(batch, pos);
        if (kind == Records.LEAVE) {
            pos += Records.WALK_HEADER;
            return dirs[depth];
        }
        WalkNode parent = depth > 1 ? dirs[depth - 1] : base;
        if (kind == Records.FAILURE) {
            String name = Records.name(batch, pos, len);
            String dir = depth == 0 ? (base == null ? "" : base.relativePath()) : parent == null ? name : parent.relativePath() + "/" + name;
            IOException failure = Records.walkFailure(batch, pos, len, dir);
            pos += Records.failureLength(batch, pos, len);
            onError.accept(dir, failure);
            return null;
        }
        WalkNode e = node(batch, view, pos, parent, offset + depth);
        pos += Records.entryLength(len, attributes);
        if (!e.isDirectory()) return e;
        if (depth >= dirs.length) dirs = Arrays.copyOf(dirs, depth * 2);
        dirs[depth] = e;
        // The walk stops a batch after a directory it would enter, so that this answer comes first.
        if (prune != null && prune.test(e) && pos == end) skip = true;
        return postOrder ? null : e;
    }
}
