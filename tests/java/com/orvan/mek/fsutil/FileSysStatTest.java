package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.*;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;

class FileSysStatTest {
    static final String PREFIX = "[UNIXFileSysUtil.getFileSysStat] ";
    @TempDir Path tmp;

    private static FileSysStatUnix stat(String path) throws IOException {
        return new FileSystemStatLin().getFileSysStat(path);
    }

    static String failure(String path) {
        return assertThrows(IOException.class, () -> stat(path)).getMessage();
    }

    @Test
    void valuesMatchStatAndEveryClassAgrees() throws Exception {
        for (String path : List.of(tmp.toString(), "/proc", "/dev/shm", "/")) {
            String[] f = sh(null, "stat -f -c '%S %s %b %f %a %c %d %l %i' " + path).trim().split(" ");
            FileSysStatUnix s = stat(path);
            // Other builds write to these file systems: free counts may move a little in between.
            double blocks = s.getBlocks() / 200 + 16, files = s.getFiles() / 200 + 16;
            long[] got = {s.getFragmentSize(), s.getBlockSize(), s.getBlocks(), s.getFreeBlocks(),
                s.getAvailableBlocks(), s.getFiles(), s.getFreeFiles(), s.getNameMax()};
            double[] slack = {0, 0, 0, blocks, blocks, 0, files, 0};
            for (int i = 0; i < got.length; i++) assertEquals(Long.parseLong(f[i]), got[i], slack[i], path + " " + i);
            assertEquals(s.getFreeFiles(), s.getAvailableFiles(), files, path); // Linux keeps no inodes back
            // stat(1) prints the two 32-bit words of the fsid in the opposite order to statvfs;
            // a 32-bit library's f_fsid is the low word alone, widened without sign.
            long fsid = Long.rotateLeft(Long.parseUnsignedLong(f[8], 16), 32);
            assertEquals(System.getProperty("sun.arch.data.model").equals("32") ? fsid & 0xFFFFFFFFL : fsid, s.getFsId(), path);
            String opts = "," + sh(null, "findmnt -no OPTIONS -T " + path).trim() + ",";
            long flags = Map.of("ro", 1, "nosuid", 2, "nodev", 4, "noexec", 8, "noatime", 1024, "nodiratime", 2048, "relatime", 4096)
                    .entrySet().stream().filter(bit -> opts.contains("," + bit.getKey() + ",")).mapToLong(Map.Entry::getValue).sum();
            assertEquals(flags, s.getFlag() & 0x1C0F, path);
        }
        FileSysStatUnix proc = stat("/proc"); // nothing on it changes between the calls: all four classes agree
        assertEquals(List.of(proc, proc, proc), List.of(new FileSystemStatFbd().getFileSysStat("/proc"),
                new FileSystemStatMac().getFileSysStat("/proc"), new FileSystemStatSos().getFileSysStat("/proc")));
        assertEquals(Long.MAX_VALUE, new FileSysStatUnix(1, 1L << 40, 1L << 40, 0, 0, 0, 0, 0, 0, 0, 0).getTotalSpace());
    }

    // Block and inode counts past 2^32 arrive whole, also from a 32-bit library.
    @Test
    void countsPast32BitsArriveWhole() throws Exception {
        assumeTrue(ROOT, "mounting a file system needs root");
        // tmpfs takes any size and inode limit without using memory: both counts pass 2^32.
        long size = 20L << 40, inodes = 5_000_000_000L;
        Result m = run(tmp, "mount", "-t", "tmpfs", "-o", "size=" + size + ",nr_inodes=" + inodes, "fsutil-wide", ".");
        assumeTrue(m.status() == 0, () -> "cannot mount here: " + m.err());
        try {
            FileSysStatUnix s = stat(tmp.toString());
            long blocks = size / s.getFragmentSize();
            assertEquals(List.of(blocks, blocks, blocks, inodes, inodes - 1, inodes - 1), // the root takes one inode
                    List.of(s.getBlocks(), s.getFreeBlocks(), s.getAvailableBlocks(), s.getFiles(), s.getFreeFiles(),
                            s.getAvailableFiles()), s::toString);
        } finally {
            sh(null, "umount '" + tmp + "'");
        }
    }

    @Test
    void onlyTheLocalesFormOfANameIsFound() throws Exception {
        // é is C3 A9 in UTF-8 and E9 in ISO-8859-1; the String form goes by the locale, whatever the default charset.
        sh(tmp, "touch \"$(printf '\\303\\251')\" \"$(printf 'l\\351')\"");
        assertEquals(stat(tmp.toString()).getFsId(), stat(tmp + (LOCALE_UTF8 ? "/\u00e9" : "/l\u00e9")).getFsId());
        String other = tmp + (LOCALE_UTF8 ? "/l\u00e9" : "/\u00e9");
        assertEquals(PREFIX + "statvfs failed for '" + other + "'. Error='No such file or directory'", failure(other));
    }

    @Test
    void failuresRaiseIOExceptionWithExactText() throws Exception {
        sh(tmp, "touch plain");
        assertEquals(PREFIX + "statvfs failed for ''. Error='No such file or directory'", failure(""));
        assertEquals(PREFIX + "statvfs failed for '" + tmp + "/plain/x'. Error='Not a directory'", failure(tmp + "/plain/x"));
        assertEquals(PREFIX + "convert failed for a null path", failure(null));
        String msg = failure(tmp + "/" + "d".repeat(5000));  // too long a path: its message shortened, the reason kept
        assertTrue(msg.startsWith(PREFIX + "statvfs failed for '" + tmp) && msg.endsWith("'. Error='File name too long'"), msg);
        assertTrue(msg.length() < 5000, msg);
        // A character outside the locale's charset, a NUL, a lone surrogate: an IOException all the same.
        for (String odd : List.of(tmp + "/\ud83d\ude00", tmp + "/a\u0000b", "\ud800")) assertTrue(failure(odd).startsWith(PREFIX), odd);
    }
}
