package com.orvan.mek.fsutil;

import java.util.concurrent.atomic.AtomicInteger;

/** Entries split off a walk for another thread: one directory's unread entries, and the native group that walks them. */
final class SplitGroup {
    final NativeHandle dir;
    final WalkNode[] items;
    final AtomicInteger users = new AtomicInteger(1);  // the parts that still walk some of them

    SplitGroup(long handle, WalkNode[] items) {
        this.dir = new NativeHandle(this, handle, NativeDispatcher::closeGroup);
        this.items = items;
    }

    void release(WalkState shared) {
        if (users.decrementAndGet() > 0) return;
        shared.remove(dir);
        dir.close();
    }
}
