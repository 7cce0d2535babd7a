package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// close() from another thread at any moment, two threads on one walk, a blocked read woken by close().
class CloseRaceTest {
    private static final long BUDGET_NANOS = 1_500_000_000L; // per case: rounds stop at 3,000 or here
    @TempDir Path tmp;

    private interface Walk extends AutoCloseable {
        Iterator<?> iterator();

        @Override
        void close();
    }

    // The listing, its two streams and the tree walk, each as an iterator with its close().
    private static List<Callable<Walk>> walks(String dir) {
        return List.of(() -> of(new FolderIteratorNix(dir)), () -> of(FolderIteratorNix.stream(dir)),
                () -> of(FolderIteratorNix.entries(dir)), () -> of(FileTree.walk(dir)), () -> of(FileTree.walk(dir, FileTree.Option.ATTRIBUTES)));
    }

    private static Walk of(FolderIteratorNix it) { return new Walk() { public Iterator<?> iterator() { return it; } public void close() { it.close(); } }; }

    private static Walk of(Stream<?> s) { Iterator<?> it = s.iterator(); return new Walk() { public Iterator<?> iterator() { return it; } public void close() { s.close(); } }; }

    private void tree() throws Exception {
        sh(tmp, "mkdir -p d/e && cd d && touch $(seq -f long-file-name-%g 1500) && cd e && touch $(seq -f g%g 1500)");
    }

    @Test
    void closeDuringReadNeverCrashesAndStopsTheWalk() throws Exception {
        tree();
        String dir = tmp + "/d";
        long fds = streamsUnder(tmp);
        ExecutorService pool = Executors.newFixedThreadPool(2);
        try {
            for (Callable<Walk> open : walks(dir)) {
                long end = System.nanoTime() + BUDGET_NANOS;
                for (int round = 0; round < 3000 && System.nanoTime() < end; round++) {
                    Walk w = open.call();
                    Iterator<?> it = w.iterator();
                    CountDownLatch started = new CountDownLatch(1);
                    Future<?> reader = pool.submit(() -> {
                        started.countDown();
                        while (it.hasNext()) it.next();
                        return null;
                    });
                    int spin = ThreadLocalRandom.current().nextInt(20_000);
                    started.await();
                    for (int i = 0; i < spin; i++) Thread.onSpinWait();
                    w.close();
                    if (round % 2 == 0) w.close(); // twice does nothing
                    reader.get(10, TimeUnit.SECONDS);
                    assertFalse(it.hasNext(), "hasNext after close");
                }
            }
        } finally {
            pool.shutdownNow();
        }
        assertEquals(fds, streamsUnder(tmp), "descriptors");
    }

    @Test
    void twoThreadsOnOneWalkGetEachEntryOnce() throws Exception {
        tree();
        String dir = tmp + "/d";
        ExecutorService pool = Executors.newFixedThreadPool(2);
        try {
            for (Callable<Walk> open : walks(dir)) {
                int expected = -1;
                for (int round = 0; round < 20; round++) {
                    try (Walk w = open.call()) {
                        Iterator<?> it = w.iterator();
                        List<Future<List<String>>> halves = new ArrayList<>();
                        for (int t = 0; t < 2; t++) {
                            // One by one or a batch at a time; the JDK's iterator over a stream is not
                            // thread-safe itself, so threads share a stream's walk in batches only.
                            boolean bulk = (round + t) % 2 == 0 || !(it instanceof FolderIteratorNix);
                            halves.add(pool.submit(() -> {
                                List<String> seen = new ArrayList<>();
                                if (bulk) it.forEachRemaining(e -> seen.add(e.toString()));
                                try {
                                    while (!bulk && it.hasNext()) seen.add(it.next().toString());
                                } catch (NoSuchElementException lostTheRace) {
                                    // the other thread took the last entry between hasNext() and next()
                                }
                                return seen;
                            }));
                        }
                        List<String> both = new ArrayList<>(halves.get(0).get(10, TimeUnit.SECONDS));
                        both.addAll(halves.get(1).get(10, TimeUnit.SECONDS));
                        assertEquals(both.size(), new HashSet<>(both).size(), "an entry reported twice");
                        if (expected < 0) expected = both.size();
                        assertEquals(expected, both.size(), "entries lost");
                    }
                }
                assertTrue(expected > 1500, "walked " + expected);
            }
        } finally {
            pool.shutdownNow();
        }
    }

    @Test
    void closeWakesABlockedRead() throws Exception {
        sh(tmp, "mkfifo fifo");
        ExecutorService pool = Executors.newCachedThreadPool();
        try (FileOutputStream writer = openWriter(tmp + "/fifo")) { // keeps the FIFO open, writes nothing
            InputStream in = FileTree.newInputStream(tmp + "/fifo");
            Future<Exception> blocked = pool.submit(() -> assertThrows(IOException.class, () -> in.read(new byte[10])));
            Thread.sleep(200);
            assertFalse(blocked.isDone(), "the read must wait for data");
            long t0 = System.nanoTime();
            in.close();
            assertEquals("Stream closed", blocked.get(100, TimeUnit.MILLISECONDS).getMessage());
            assertTrue(System.nanoTime() - t0 < 100_000_000L);
            assertEquals("Stream closed", assertThrows(IOException.class, in::read).getMessage());
        } finally {
            pool.shutdownNow();
        }
        assertEquals(0, streamsUnder(tmp), "descriptors");
    }

    @Test
    void aReadRacingCloseNeverGetsAnotherFilesBytes() throws Exception {
        sh(tmp, "head -c 100000 /dev/zero | tr '\\0' x > x && head -c 100 /dev/zero | tr '\\0' y > y");
        ExecutorService pool = Executors.newCachedThreadPool();
        // Reads of x racing close() while other threads open and close y: a reused descriptor number would give 'y'.
        Future<?> churn = pool.submit(() -> {
            while (!Thread.currentThread().isInterrupted()) FileTree.newInputStream(tmp + "/y").close();
            return null;
        });
        long end = System.nanoTime() + BUDGET_NANOS;
        for (int round = 0; round < 3000 && System.nanoTime() < end; round++) {
            InputStream in = FileTree.newInputStream(tmp + "/x");
            Future<?> reader = pool.submit(() -> {
                byte[] b = new byte[4096];
                try {
                    for (int n; (n = in.read(b)) > 0;) {
                        for (int i = 0; i < n; i++) assertEquals('x', b[i], "read another file");
                    }
                } catch (IOException e) {
                    assertEquals("Stream closed", e.getMessage());
                }
                return null;
            });
            if (round % 2 == 0) Thread.yield();
            in.close();
            reader.get(10, TimeUnit.SECONDS);
        }
        churn.cancel(true);
        pool.shutdown();
        assertTrue(pool.awaitTermination(10, TimeUnit.SECONDS));
        assertEquals(0, streamsUnder(tmp), "descriptors");
    }

    private static FileOutputStream openWriter(String fifo) throws Exception {
        // Opening a FIFO for writing waits for a reader: one that comes and goes unblocks it.
        CompletableFuture<FileOutputStream> w = CompletableFuture.supplyAsync(() -> {
            try {
                return new FileOutputStream(fifo);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        });
        while (!w.isDone()) FileTree.newInputStream(fifo).close();
        return w.get();
    }
}
