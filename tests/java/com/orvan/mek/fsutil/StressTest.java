package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Eight threads mixing every kind of call while the walked directories change under them. */
class StressTest {
    private static final long SECONDS = Long.getLong("fsutil.stress.seconds", 30);

    @TempDir Path tmp;

    private final AtomicLong finished = new AtomicLong();
    private final AtomicLong abandoned = new AtomicLong();
    private final AtomicLong closedEarly = new AtomicLong();
    private final AtomicLong stats = new AtomicLong();
    private final AtomicLong failures = new AtomicLong();
    private final AtomicLong churn = new AtomicLong();

    @Test
    void mixedLoadLeavesDescriptorsAndMemoryWhereTheyWere() throws Exception {
        List<Path> dirs = new ArrayList<>();
        for (int d = 0; d < 4; d++) {
            Path dir = Files.createDirectory(tmp.resolve("d" + d));
            for (int i = 0; i < 200; i++) Files.createFile(dir.resolve("f" + i));
            dirs.add(dir);
        }
        Path fifo = tmp.resolve("fifo");
        assertEquals(0, new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor());

        // Memory is judged between two halves of the run: malloc keeps the high-water mark of
        // the walks the Cleaner had not closed yet, a leak keeps growing.
        run(dirs, fifo, 3);
        run(dirs, fifo, SECONDS / 2);
        long fds0 = TestUtil.streamsUnder(tmp);
        long rss0 = rssKb();
        long[] jvmCommittedKb = {jvmCommittedKb(), 0};
        run(dirs, fifo, SECONDS - SECONDS / 2);
        long fds1 = TestUtil.streamsUnder(tmp);
        long rss1 = rssKb();
        jvmCommittedKb[1] = jvmCommittedKb();
        System.out.printf("StressTest: walks finished=%d abandoned=%d closedEarly=%d, stats=%d, failing calls=%d,"
                        + " churn=%d; fds %d -> %d; RSS %d kB -> %d kB%n", finished.get(), abandoned.get(),
                closedEarly.get(), stats.get(), failures.get(), churn.get(), fds0, fds1, rss0, rss1);
        assertEquals(fds0, fds1, "descriptors");
        // The heap and the JVM's own pools may grow and keep what they took; what is left of
        // the resident size is native memory, ours among it.
        long native0 = rss0 - jvmCommittedKb[0];
        long native1 = rss1 - jvmCommittedKb[1];
        System.out.printf("StressTest: resident minus JVM-committed %d kB -> %d kB%n", native0, native1);
        assertTrue(Boolean.getBoolean("fsutil.sanitized") || native1 < native0 + 16 * 1024,
                "native memory grew from " + native0 + " kB to " + native1 + " kB");
    }

    private void run(List<Path> dirs, Path fifo, long seconds) throws Exception {
        long end = System.nanoTime() + seconds * 1_000_000_000L;
        List<Throwable> errors = new ArrayList<>();
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < 8; t++) {
            threads.add(new Thread(() -> {
                try {
                    while (System.nanoTime() < end) step(dirs, fifo);
                } catch (Throwable e) {
                    synchronized (errors) {
                        errors.add(e);
                    }
                }
            }));
        }
        Thread changer = new Thread(() -> {
            ThreadLocalRandom r = ThreadLocalRandom.current();
            while (System.nanoTime() < end) {
                Path p = dirs.get(r.nextInt(dirs.size())).resolve("c" + r.nextInt(50));
                try {
                    if (!Files.deleteIfExists(p)) Files.createFile(p);
                    churn.incrementAndGet();
                } catch (IOException raced) {
                    // another round created or removed it first
                }
            }
        });
        threads.add(changer);
        threads.forEach(Thread::start);
        for (Thread t : threads) t.join();
        assertTrue(errors.isEmpty(), () -> "thread failed: " + errors.get(0));
        // Abandoned walks are the Cleaner's; give it every chance before counting.
        for (int i = 0; i < 5; i++) {
            System.gc();
            Thread.sleep(200);
        }
    }

    private void step(List<Path> dirs, Path fifo) throws IOException {
        ThreadLocalRandom r = ThreadLocalRandom.current();
        String dir = dirs.get(r.nextInt(dirs.size())).toString();
        switch (r.nextInt(6)) {
            case 0:
                assertTrue(FolderIteratorNix.list(dir).size() >= 200);
                finished.incrementAndGet();
                break;
            case 1:
                new FolderIteratorNix(dir).next();  // dropped open: the Cleaner closes it
                abandoned.incrementAndGet();
                break;
            case 2:
                try (FolderIteratorNix it = new FolderIteratorNix(dir)) {
                    for (int i = r.nextInt(50); i > 0 && it.hasNext(); i--) it.next();
                }
                closedEarly.incrementAndGet();
                break;
            case 3:
                assertTrue(new FileSystemStatLin().getFileSysStat(dir).getBlocks() > 0);
                stats.incrementAndGet();
                break;
            case 4:
                assertThrows(FileNotFoundException.class, () -> new FolderIteratorNix(dir + "/missing"));
                assertThrows(IOException.class, () -> new FolderIteratorNix(fifo.toString()));
                failures.addAndGet(2);
                break;
            default:
                assertThrows(IOException.class, () -> new FileSystemStatSos().getFileSysStat(dir + "/missing/x"));
                assertThrows(IOException.class, () -> new FileSystemStatMac().getFileSysStat(null));
                failures.addAndGet(2);
        }
    }

    private static long jvmCommittedKb() {
        var mem = java.lang.management.ManagementFactory.getMemoryMXBean();
        return (mem.getHeapMemoryUsage().getCommitted() + mem.getNonHeapMemoryUsage().getCommitted()) / 1024;
    }

    private static long rssKb() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("\\D", ""));
        }
        throw new IOException("no VmRSS");
    }
}
