package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.file.ClosedWatchServiceException;
import java.nio.file.Path;
import java.util.ArrayDeque;
import java.util.Arrays;
import java.util.Objects;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.BiConsumer;

/**
 * The watch behind the facade's watch: one native tree watcher, one reader thread that drains
 * it into a bounded queue of changes and failures, and the consumer's side of that queue. When the
 * queue fills, the reader tells the watcher to drop what the kernel holds; once there is room
 * again the watcher reports OVERFLOW and the differences it finds by reading the tree, so nothing
 * queued is ever dropped and memory stays bounded. The reader holds the queue and the handle,
 * never this object, so a watch dropped unclosed is released by the handle's Cleaner. Its changes
 * are what the maker the facade gives builds of each record's plain values.
 *
 * @param <C> the change type the maker builds
 */
final class TreeWatcher<C> implements AutoCloseable {
    /** The queue's size unless the system property {@value #QUEUE_PROPERTY} says otherwise. */
    static final int DEFAULT_QUEUE = 65536;
    static final String QUEUE_PROPERTY = "com.orvan.mek.fsutil.watchQueue";
    private static final AtomicInteger THREADS = new AtomicInteger();
    private static final int BATCH = 65536;

    private final Queue queue;
    private final NativeHandle handle;
    private final Thread reader;
    private final BiConsumer<String, IOException> onError;

    /** Builds a change of a watch record's plain values. */
    @FunctionalInterface
    interface Maker<C> {
        /**
         * @param kind the record's kind code, WATCH_CREATED..WATCH_OVERFLOW
         * @param type an entry type code, 0 where unknown
         * @param root the watched root's bytes
         * @param path the path's bytes below the root
         * @param second the record's second path's bytes (for a move, where the entry was)
         */
        C change(int kind, int type, byte[] root, byte[] path, byte[] second);
    }

    private final Class<C> changes;

    /** A failure waiting in the queue for the consumer's handler. */
    private static final class Failed {
        final String path;
        final IOException error;

        Failed(String path, IOException error) {
            this.path = path;
            this.error = error;
        }
    }

    /**
     * Opens a watch of root (a String, or a Path's bytes when rootBytes is not null); sameFs: other
     * file systems are not watched. Its changes are of class changes, built by maker.
     */
    static <C> TreeWatcher<C> open(String root, byte[] rootBytes, BiConsumer<String, IOException> onError, int queueSize,
            boolean sameFs, Class<C> changes, Maker<C> maker) throws IOException {
        Objects.requireNonNull(onError, "[FileTree.watch] onError is null");
        if (queueSize < 1) throw new IllegalArgumentException("[FileTree.watch] queue size below 1: " + queueSize);
        Objects.requireNonNull(root, "[FileTree.watch] path is null");
        byte[] bytes = rootBytes != null ? rootBytes : NativeDispatcher.resolve(root);
        long h = rootBytes != null ? NativeDispatcher.watchOpenBytes(rootBytes, sameFs) : NativeDispatcher.watchOpen(root, sameFs);
        return new TreeWatcher<>(h, bytes, onError, queueSize, changes, maker);
    }

    /** The queue's size the system property asks for, else {@link #DEFAULT_QUEUE}. */
    static int queueSize() {
        return Integer.getInteger(QUEUE_PROPERTY, DEFAULT_QUEUE);
    }

    private TreeWatcher(long h, byte[] root, BiConsumer<String, IOException> onError, int capacity, Class<C> changes,
            Maker<C> maker) throws IOException {
        this.onError = onError;
        this.changes = changes;
        this.queue = new Queue(capacity);
        this.handle = new NativeHandle(this, h, new Release(queue));
        Reader r = new Reader(handle, queue, root, maker);
        // The failures met while watching the tree, on the calling thread, before watch() returns.
        try {
            while (r.drain(false)) {
                for (Object o; (o = queue.next()) != null;) deliver(o);
            }
        } catch (RuntimeException | Error e) {
            handle.close();
            throw e;
        }
        reader = new Thread(r, "fsutil-watch-" + THREADS.incrementAndGet());
        reader.setDaemon(true);
        reader.start();
    }

    /** @return the next change, waiting for one; failures met meanwhile go to the handler first */
    C take() throws InterruptedException {
        while (true) {
            C c = deliver(queue.take(-1));
            if (c != null) return c;
        }
    }

    /** @return the next change, or null when none is waiting */
    C poll() {
        while (true) {
            Object o = queue.poll();
            if (o == null) return null;
            C c = deliver(o);
            if (c != null) return c;
        }
    }

    /** @return the next change, or null when none came within timeout */
    C poll(long timeout, TimeUnit unit) throws InterruptedException {
        long end = System.nanoTime() + unit.toNanos(timeout);
        while (true) {
            Object o = queue.take(Math.max(0, end - System.nanoTime()));
            if (o == null) return null;
            C c = deliver(o);
            if (c != null) return c;
        }
    }

    /** What closing the handle does; holds the queue, never the TreeWatcher, so that the Cleaner can run. */
    private static final class Release implements NativeHandle.Natives {
        private final Queue queue;

        Release(Queue queue) { this.queue = queue; }

        @Override
        public void release(long value) {
            queue.close(false);
            NativeDispatcher.watchClose(value);
        }

        @Override
        public void wake(long value) {
            queue.close(false);
            NativeDispatcher.watchWake(value);
        }
    }

    /** A change to return, or null after handing a failure to the handler. */
    private C deliver(Object o) {
        if (changes.isInstance(o)) return changes.cast(o);
        Failed f = (Failed) o;
        onError.accept(f.path, f.error);
        return null;
    }

    @Override
    public void close() {
        queue.close(true);
        handle.close();
        Thread r = reader;
        if (r == null || r == Thread.currentThread()) return;
        boolean interrupted = false;
        while (r.isAlive()) {
            try {
                r.join();
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) Thread.currentThread().interrupt();
    }

    @Override
    public String toString() {
        return "FileTree.Watch[" + (handle.isClosed() ? "closed" : "open") + "]";
    }

    /** The reader thread's work: the handle's records into the queue. Holds no TreeWatcher. */
    private static final class Reader implements Runnable {
        private final NativeHandle handle;
        private final Queue queue;
        private final byte[] root;
        private final Maker<?> maker;
        private byte[] batch = new byte[BATCH];

        Reader(NativeHandle handle, Queue queue, byte[] root, Maker<?> maker) {
            this.handle = handle;
            this.queue = queue;
            this.root = root;
            this.maker = maker;
        }

        @Override
        public void run() {
            try {
                while (drain(true)) { /* until closed or ended */ }
            } finally {
                // Ended, the watch lets go of everything at once; what is queued stays to be taken.
                handle.close();
                queue.close(false);
            }
        }

        /** One read into the queue; false once the watch is closed or has ended. */
        boolean drain(boolean wait) {
            int room = queue.room();
            long v = handle.enter();
            if (v == -1) return false;
            try {
                if (room == 0) {
                    // The consumer stalls: an overflow, recovered once it has taken half.
                    NativeDispatcher.watchOverflow(v);
                    handle.leave();
                    v = -1;
                    room = queue.awaitRoom();
                    if (room == 0) return false;
                    v = handle.enter();
                    if (v == -1) return false;
                }
                int n = NativeDispatcher.watchRead(v, batch, room, wait);
                if (n == Records.WATCH_ENDED) {
                    queue.end();
                    return false;
                }
                if (n < 0) {
                    batch = new byte[-n];
                    return true;
                }
                queue.put(records(n));
                return n > 0 || wait;
            } finally {
                if (v != -1) handle.leave();
            }
        }

        private Object[] records(int n) {
            int count = 0;
            for (int at = 0; at < n; at += Records.watchLength(batch, at)) count++;
            Object[] items = new Object[count];
            int i = 0;
            for (int at = 0; at < n; at += Records.watchLength(batch, at)) {
                int pathLen = Records.watchPathLength(batch, at), secondLen = Records.watchSecondLength(batch, at);
                int p = at + Records.WATCH_HEADER;
                byte[] path = Arrays.copyOfRange(batch, p, p + pathLen);
                int kind = batch[at];
                if (kind == Records.WATCH_FAILURE) {
                    String rel = NameCodec.decodePath(path, 0, path.length);
                    String text = NameCodec.text(batch, p + pathLen, secondLen);
                    items[i++] = new Failed(rel, Failures.of(rel, Records.s32(batch, at + Records.WATCH_ERRNO_AT), Records.watchType(batch, at), text));
                } else {
                    byte[] second = Arrays.copyOfRange(batch, p + pathLen, p + pathLen + secondLen);
                    items[i++] = maker.change(kind, Records.watchType(batch, at), root, path, second);
                }
            }
            return items;
        }
    }

    /** The bounded queue between the reader and the consumers. */
    private static final class Queue {
        private final ReentrantLock lock = new ReentrantLock();
        private final Condition changed = lock.newCondition();
        private final ArrayDeque<Object> items = new ArrayDeque<>();
        private final int capacity;
        private boolean closed;
        private boolean ended;

        Queue(int capacity) { this.capacity = capacity; }

        int room() {
            lock.lock();
            try {
                return closed ? 0 : capacity - items.size();
            } finally {
                lock.unlock();
            }
        }

        /** Waits until at most half the capacity is taken; the room then, 0 once closed. */
        int awaitRoom() {
            lock.lock();
            try {
                while (!closed && items.size() > capacity / 2) changed.awaitUninterruptibly();
                return closed ? 0 : capacity - items.size();
            } finally {
                lock.unlock();
            }
        }

        void put(Object[] batch) {
            if (batch.length == 0) return;
            lock.lock();
            try {
                if (closed) return;
                items.addAll(Arrays.asList(batch));
                changed.signalAll();
            } finally {
                lock.unlock();
            }
        }

        /** The next item, without waiting and without checking for close: the first failures. */
        Object next() {
            lock.lock();
            try {
                return items.poll();
            } finally {
                lock.unlock();
            }
        }

        Object poll() {
            lock.lock();
            try {
                return pollHeld();
            } finally {
                lock.unlock();
            }
        }

        /** The next item, waiting at most nanos (for ever when negative); null on time-out. */
        Object take(long nanos) throws InterruptedException {
            lock.lockInterruptibly();
            try {
                while (true) {
                    Object o = pollHeld();
                    if (o != null || nanos == 0) return o;
                    if (nanos < 0) {
                        changed.await();
                    } else {
                        nanos = changed.awaitNanos(nanos);
                        if (nanos <= 0) return pollHeld();
                    }
                }
            } finally {
                lock.unlock();
            }
        }

        private Object pollHeld() {
            if (closed) throw new ClosedWatchServiceException();
            Object o = items.poll();
            if (o == null && ended) {
                closed = true;  // the root is gone and its REMOVED taken: the watch ends as if closed
                changed.signalAll();
                throw new ClosedWatchServiceException();
            }
            if (o != null && items.size() <= capacity / 2) changed.signalAll();
            return o;
        }

        void end() {
            lock.lock();
            try {
                ended = true;
                changed.signalAll();
            } finally {
                lock.unlock();
            }
        }

        /** Closes the queue (but for what an ended watch still holds, unless everything) and wakes every waiter. */
        void close(boolean everything) {
            lock.lock();
            try {
                if (ended && !everything) return;
                closed = true;
                items.clear();
                changed.signalAll();
            } finally {
                lock.unlock();
            }
        }
    }

    /** The Path form of {@link #open}: its own bytes. */
    static <C> TreeWatcher<C> open(Path root, BiConsumer<String, IOException> onError, int queueSize, boolean sameFs,
            Class<C> changes, Maker<C> maker) throws IOException {
        byte[] b = NioPaths.bytes(root, "[FileTree.watch] ");
        return open(root.toString(), b, onError, queueSize, sameFs, changes, maker);
    }
}
