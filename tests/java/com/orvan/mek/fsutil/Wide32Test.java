package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.*;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Block and inode counts past 2^32 arrive whole, also from a 32-bit library.
class Wide32Test {
    @TempDir Path tmp;

    @Test
    void countsPast32BitsArriveWhole() throws Exception {
        assumeTrue(ROOT, "mounting a file system needs root");
        // tmpfs takes any size and inode limit without using memory: both counts pass 2^32.
        long size = 20L << 40, inodes = 5_000_000_000L;
        Result m = run(tmp, "mount", "-t", "tmpfs", "-o", "size=" + size + ",nr_inodes=" + inodes, "fsutil-wide", ".");
        assumeTrue(m.status() == 0, () -> "cannot mount here: " + m.err());
        try {
            FileSysStatUnix s = new FileSystemStatLin().getFileSysStat(tmp.toString());
            long blocks = size / s.getFragmentSize();
            assertTrue(blocks > 1L << 32, s::toString);
            assertEquals(List.of(blocks, blocks, blocks, inodes, inodes - 1, inodes - 1), // the root takes one inode
                    List.of(s.getBlocks(), s.getFreeBlocks(), s.getAvailableBlocks(), s.getFiles(), s.getFreeFiles(),
                            s.getAvailableFiles()), s::toString);
        } finally {
            sh(null, "umount '" + tmp + "'");
        }
    }
}
