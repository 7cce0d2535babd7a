package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.lang.management.ManagementFactory;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.ThreadLocalRandom;
import java.util.concurrent.atomic.AtomicLongArray;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Eight threads mixing every kind of call while one thread changes the walked directories. */
class StressTest {
    private static final long SECONDS = Long.getLong("fsutil.stress.seconds", 30);
    private final AtomicLongArray counts = new AtomicLongArray(6); // per kind of step
    private Set<String> fixed; // never changed: each walk must report them all, once
    @TempDir Path tmp;

    @Test
    void mixedLoadLeavesDescriptorsAndMemoryWhereTheyWere() throws Exception {
        List<String> dirs = new ArrayList<>();
        for (int d = 0; d < 4; d++) {
            dirs.add(Files.createDirectory(tmp.resolve("d" + d)).toString());
            fixed = TestUtil.touch(tmp.resolve("d" + d), 200, "f");
        }
        TestUtil.sh(tmp, "mkfifo fifo");
        // Memory is judged between two halves: malloc keeps the high-water mark of walks the
        // Cleaner had not closed yet, a leak keeps growing.
        run(dirs, 3);
        run(dirs, SECONDS / 2);
        long fds = TestUtil.streamsUnder(tmp), native0 = nativeKb();
        run(dirs, SECONDS - SECONDS / 2);
        long native1 = nativeKb();
        System.out.println("StressTest: walks, abandoned, closed early, stats, failures, changes " + counts
                + "; resident minus JVM-committed " + native0 + " kB -> " + native1 + " kB");
        assertEquals(fds, TestUtil.streamsUnder(tmp), "descriptors");
        assertTrue(Boolean.getBoolean("fsutil.sanitized") || native1 < native0 + 16 * 1024, "native memory grew");
    }

    private void run(List<String> dirs, long seconds) throws Exception {
        long end = System.nanoTime() + seconds * 1_000_000_000L;
        List<Throwable> errors = Collections.synchronizedList(new ArrayList<>());
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t <= 8; t++) {
            boolean changer = t == 8;
            threads.add(new Thread(() -> {
                try {
                    while (System.nanoTime() < end) step(dirs.get(ThreadLocalRandom.current().nextInt(4)), changer);
                } catch (Throwable e) {
                    errors.add(e);
                }
            }));
        }
        threads.forEach(Thread::start);
        for (Thread t : threads) t.join();
        assertEquals(List.of(), errors);
        for (int i = 0; i < 5; i++) { // abandoned walks are the Cleaner's: give it every chance
            System.gc();
            Thread.sleep(200);
        }
    }

    private void step(String dir, boolean changer) throws IOException {
        int kind = changer ? 5 : ThreadLocalRandom.current().nextInt(5);
        switch (kind) {
            case 0 -> assertTrue(TestUtil.walk(dir).containsAll(fixed));
            case 1 -> new FolderIteratorNix(dir).next(); // dropped open: the Cleaner closes it
            case 2 -> {
                try (FolderIteratorNix it = new FolderIteratorNix(dir)) {
                    for (int i = ThreadLocalRandom.current().nextInt(50); i > 0 && it.hasNext(); i--) it.next();
                }
            }
            case 3 -> assertTrue(new FileSystemStatLin().getFileSysStat(dir).getBlocks() > 0);
            case 4 -> {
                assertThrows(FileNotFoundException.class, () -> new FolderIteratorNix(dir + "/missing"));
                assertThrows(IOException.class, () -> new FolderIteratorNix(tmp + "/fifo"));
                assertThrows(IOException.class, () -> new FileSystemStatSos().getFileSysStat(dir + "/missing/x"));
                assertThrows(IOException.class, () -> new FileSystemStatMac().getFileSysStat(null));
            }
            default -> {
                Path p = Path.of(dir, "c" + ThreadLocalRandom.current().nextInt(50));
                try {
                    if (!Files.deleteIfExists(p)) Files.createFile(p);
                } catch (IOException raced) {
                    return; // a walk's own check raced with it; nothing changed
                }
            }
        }
        counts.incrementAndGet(kind);
    }

    /** Resident size minus what the JVM committed for heap and non-heap: native memory, ours among it. */
    private static long nativeKb() throws IOException {
        var mem = ManagementFactory.getMemoryMXBean();
        long committed = (mem.getHeapMemoryUsage().getCommitted() + mem.getNonHeapMemoryUsage().getCommitted()) / 1024;
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("\\D", "")) - committed;
        }
        throw new IOException("no VmRSS");
    }
}
