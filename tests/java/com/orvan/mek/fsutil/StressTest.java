package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.lang.management.ManagementFactory;
import java.nio.file.*;
import java.util.*;
import java.util.concurrent.*;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Eight threads mixing every kind of call while a ninth changes the walked directory.
@Tag("stress")
class StressTest {
    private static final long SECONDS = Long.getLong("fsutil.stress.seconds", 30);
    @TempDir Path tmp;

    @Test
    void mixedLoadLeavesDescriptorsAndMemoryWhereTheyWere() throws Exception {
        TestUtil.sh(tmp, "touch $(seq -f f%g 200) && mkfifo fifo"); // never changed: each walk must report them all, once
        Set<String> fixed = new HashSet<>(Arrays.asList(TestUtil.sh(tmp, "seq -f f%g 200").split("\n")));
        // Memory is judged between two halves: malloc keeps the high-water mark of walks the
        // Cleaner had not closed yet, a leak keeps growing.
        run(fixed, 3);
        run(fixed, SECONDS / 2);
        long fds = TestUtil.streamsUnder(tmp), native0 = nativeKb();
        run(fixed, SECONDS - SECONDS / 2);
        long native1 = nativeKb();
        System.out.println("StressTest: resident minus JVM-committed " + native0 + " kB -> " + native1 + " kB");
        assertEquals(fds, TestUtil.streamsUnder(tmp), "descriptors");
        assertTrue(Boolean.getBoolean("fsutil.sanitized") || native1 < native0 + 16 * 1024, "native memory grew");
    }

    private void run(Set<String> fixed, long seconds) throws Exception {
        long end = System.nanoTime() + seconds * 1_000_000_000L;
        ExecutorService pool = Executors.newFixedThreadPool(9);
        List<Future<?>> threads = new ArrayList<>();
        for (int t = 0; t < 9; t++) {
            boolean changer = t == 8;
            threads.add(pool.submit(() -> {
                while (System.nanoTime() < end) step(fixed, changer ? 5 : ThreadLocalRandom.current().nextInt(5));
                return null;
            }));
        }
        for (Future<?> t : threads) t.get(); // a failure in a thread fails the test here
        pool.shutdown();
        for (int i = 0; i < 5; i++) { // abandoned walks are the Cleaner's: give it every chance
            System.gc();
            Thread.sleep(200);
        }
    }

    private void step(Set<String> fixed, int kind) throws IOException {
        String dir = tmp.toString();
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
                assertThrows(IOException.class, () -> new FolderIteratorNix(dir + "/fifo"));
                assertThrows(IOException.class, () -> new FileSystemStatSos().getFileSysStat(dir + "/missing/x"));
            }
            default -> {
                Path p = tmp.resolve("c" + ThreadLocalRandom.current().nextInt(50));
                if (!Files.deleteIfExists(p)) Files.createFile(p); // only this thread changes c*
            }
        }
    }

    // Resident size minus what the JVM committed for heap and non-heap: native memory, ours among it.
    private static long nativeKb() throws IOException {
        var mem = ManagementFactory.getMemoryMXBean();
        long committed = (mem.getHeapMemoryUsage().getCommitted() + mem.getNonHeapMemoryUsage().getCommitted()) / 1024;
        String status = Files.readString(Path.of("/proc/self/status"));
        return Long.parseLong(status.replaceAll("(?s).*VmRSS:\\s*(\\d+).*", "$1")) - committed;
    }
}
