package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import com.orvan.mek.fsutil.FileTree.Entry;
import com.orvan.mek.fsutil.FileTree.Option;
import java.io.IOException;
import java.nio.channels.FileChannel;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.Callable;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.Consumer;
import java.util.function.Function;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Streams and iterators as a caller drives them: deep post-order batches, close() from inside an
// action, actions that throw, and running out of descriptors.
class WalkStreamTest {
    @TempDir Path tmp;

    @Test
    void everyRoadThroughADeepPostOrderWalkGetsEveryEntry() throws Exception {
        String root = chain(tmp, "deep", 5000);
        try {
            FileTree.Walker w = FileTree.walker(root).with(Option.DIRECTORIES_LAST);
            List<Function<Stream<Entry>, Long>> roads = List.of(Stream::count, s -> s.parallel().count(), s -> {
                AtomicLong n = new AtomicLong();
                s.forEach(e -> n.incrementAndGet());
                return n.get();
            });
            for (Function<Stream<Entry>, Long> road : roads) {
                try (Stream<Entry> s = w.stream()) {
                    assertEquals(10_000L, road.apply(s).longValue());
                }
            }
            try (Stream<Entry> s = w.stream()) {
                Entry deepest = s.filter(e -> e.depth() == 5000 && e.type() == FileTree.Type.FILE).findFirst().orElseThrow();
                // The path of an entry 5,000 levels down, asked first on a small stack.
                AtomicReference<Object> path = new AtomicReference<>();
                Thread t = new Thread(null, () -> {
                    try {
                        path.set(deepest.path());
                    } catch (Throwable x) {
                        path.set(x);
                    }
                }, "small", 256 * 1024);
                t.start();
                t.join();
                assertEquals("d/".repeat(4999) + "f", path.get());
            }
        } finally {
            FileTree.delete(root);
        }
    }

    @Test
    void nothingIsDeliveredOnceCloseReturned() throws Exception {
        sh(tmp, "for i in $(seq 40); do mkdir d$i && touch d$i/a d$i/b d$i/c; done");
        String dir = tmp.toString();
        Map<String, Callable<Stream<?>>> walks = Map.of("listing", () -> FolderIteratorNix.stream(dir),
                "entries", () -> FolderIteratorNix.entries(dir), "walk", () -> FileTree.walk(dir), "parallel walk", () -> FileTree.walk(dir).parallel());
        for (Map.Entry<String, Callable<Stream<?>>> w : walks.entrySet()) {
            AtomicInteger handed = new AtomicInteger();
            AtomicInteger after = new AtomicInteger();
            AtomicBoolean closed = new AtomicBoolean();
            Stream<?> s = w.getValue().call();
            s.forEach(e -> {
                // Counted from the moment close() returned: what other threads took before that is theirs.
                if (closed.get()) after.incrementAndGet();
                if (handed.incrementAndGet() == 10) {
                    s.close();  // from inside a batch the walk handed out
                    closed.set(true);
                }
            });
            // In parallel, an entry another thread was already handing out as close() returned may still arrive:
            // at most one per other thread, never the rest of the walk.
            int inFlight = s.isParallel() ? java.util.concurrent.ForkJoinPool.getCommonPoolParallelism() : 0;
            assertTrue(after.get() <= inFlight, w.getKey() + ": " + after.get() + " after close()");
        }
        assertEquals(0, streamsUnder(tmp));
    }

    // A consumer that throws on its n-th call, and gathers what it was handed.
    private static <T> Consumer<T> throwingAt(int n, List<T> got) {
        AtomicInteger calls = new AtomicInteger();
        return x -> {
            got.add(x);
            if (calls.incrementAndGet() == n) throw new IllegalStateException("stop");
        };
    }

    @Test
    void whatAThrowingActionDidNotTakeComesNext() throws Exception {
        sh(tmp, "for i in $(seq 500); do touch f$i; done; mkdir sub && touch sub/x");
        List<String> names = new ArrayList<>();
        try (FolderIteratorNix it = new FolderIteratorNix(tmp.toString())) {
            assertThrows(IllegalStateException.class, () -> it.forEachRemaining(throwingAt(7, names)));
            it.forEachRemaining(names::add);
        }
        assertEquals(501, names.size());
        assertEquals(501, new HashSet<>(names).size());

        List<Entry> entries = new ArrayList<>();
        try (Stream<Entry> s = FileTree.walk(tmp.toString())) {
            Spliterator<Entry> it = s.spliterator();
            assertThrows(IllegalStateException.class, () -> it.forEachRemaining(throwingAt(7, entries)));
            it.forEachRemaining(entries::add);
        }
        assertEquals(502, entries.stream().map(Entry::path).distinct().count());
        assertEquals(502, entries.size());
    }

    @Test
    void runningOutOfDescriptorsIsAFileSystemException() throws Exception {
        sh(tmp, "mkdir -p a/b && touch a/b/c");
        assertEquals(3, FileTree.usage(tmp.toString()).entries() - 1);  // the library loaded while it still can be
        List<FileChannel> held = new ArrayList<>();
        try {
            try {
                for (;;) held.add(FileChannel.open(Path.of("/dev/null")));
            } catch (IOException full) {
                assertTrue(full.getMessage().contains("Too many open files"), full.getMessage());
            }
            for (var call : List.<org.junit.jupiter.api.function.Executable>of(
                    () -> FileTree.walk(tmp.toString()).close(), () -> FileTree.usage(tmp.toString()))) {
                FileSystemException e = assertThrows(FileSystemException.class, call);
                assertEquals("Too many open files", e.getReason());
            }
        } finally {
            for (FileChannel c : held) c.close();
        }
    }
}
