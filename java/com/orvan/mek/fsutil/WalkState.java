package com.orvan.mek.fsutil;

import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import java.util.function.BiConsumer;
import java.util.function.Predicate;

/** What every part of one walk shares: its configuration and what a close() must release. */
final class WalkState {
    final boolean attributes;
    final boolean postOrder;
    final int maxDepth;
    final Predicate<WalkNode> prune;
    final BiConsumer<String, IOException> onError;
    final NioPaths.Root root;
    final WalkNode.Maker maker;
    private final List<NativeHandle> open = new ArrayList<>();
    volatile boolean closed;

    WalkState(boolean attributes, boolean postOrder, int maxDepth, Predicate<WalkNode> prune,
            BiConsumer<String, IOException> onError, NioPaths.Root root, WalkNode.Maker maker) {
        this.attributes = attributes;
        this.postOrder = postOrder;
        this.maxDepth = maxDepth;
        this.prune = prune;
        this.onError = onError;
        this.root = root;
        this.maker = maker;
    }

    /** Keeps h for close(); false (h closed) when the walk is closed already. */
    synchronized boolean add(NativeHandle h) {
        if (!closed) return open.add(h);
        h.close();
        return false;
    }

    synchronized void remove(NativeHandle h) { open.remove(h); }

    /** Any thread, any time: releases what every part of the walk holds. */
    void close() {
        List<NativeHandle> all;
        synchronized (this) {
            closed = true;
            all = new ArrayList<>(open);
            open.clear();
        }
        for (NativeHandle h : all) h.close();
    }
}
