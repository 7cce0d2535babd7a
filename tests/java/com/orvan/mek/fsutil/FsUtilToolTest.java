package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// The command-line tool, run as users run it.
class FsUtilToolTest {
    @TempDir Path tmp;

    @Test
    void dfPrintsTheElevenValuesAndNamesFailedPaths() throws Exception {
        Result r = tool("df", "/proc", "/nonexistent");
        assertEquals(1, r.status(), r::err);
        assertEquals("fsutil: df: /nonexistent: [UNIXFileSysUtil.getFileSysStat] statvfs failed for '/nonexistent'."
                + " Error='No such file or directory'\n", r.err());
        FileSysStatUnix s = new FileSystemStatLin().getFileSysStat("/proc"); // nothing on it changes
        assertEquals(List.of("File system of: /proc", s.getBlockSize(), s.getFragmentSize(), s.getBlocks(), s.getFreeBlocks(),
                s.getAvailableBlocks(), s.getFiles(), s.getFreeFiles(), s.getAvailableFiles(), "0x" + Long.toHexString(s.getFsId()),
                "0x" + Long.toHexString(s.getFlag()), s.getNameMax()).toString(),
                Arrays.toString(r.text().replaceAll("(?m)^  .{28} +(\\S+).*$", "$1").split("\n")));
    }

    @Test
    void lsWritesNameBytesReadlinkWholeTargetsUsageErrorsExitWithTwo() throws Exception {
        Result ls = tool("ls", fixture(tmp));
        assertEquals(0, ls.status(), ls::err);
        assertEquals(List.of("dangling", "file", "f\u00e9", "sub", "\u00c3\u00a9", "\u00e9"), records(ls.out(), "\n"));
        String target = "u" + "/t".repeat(600); // past readlink's first 512-byte try
        Files.createSymbolicLink(tmp.resolve("link"), Path.of(target));
        Result link = tool("readlink", tmp + "/link", tmp.toString());
        assertEquals(1, link.status(), link::err);
        assertEquals(target + "\n", link.text());
        assertTrue(link.err().startsWith("fsutil: readlink: " + tmp + ": "), link::err);
        assertTrue(tool("--help").text().startsWith("usage: java -jar fsutil.jar"));
        for (String[] args : List.of(new String[0], new String[] {"frobnicate", "/"}, new String[] {"ls"})) {
            Result r = tool(args);
            assertEquals(2, r.status(), r::err);
            assertTrue(r.err().startsWith(args.length == 0 ? "usage:" : "fsutil: "), r::err);
        }
        Map<String, String> bad = Map.of("-maxdepth", "-maxdepth needs a number", "-maxdepth -1 /", "-maxdepth: '-1' is not a number from 0 to 2147483647",
                "-maxdepth x /", "-maxdepth: 'x' is not a number from 0 to 2147483647", "-q /", "unknown option '-q'");
        for (var c : bad.entrySet()) {
            Result r = tool(("find " + c.getKey()).split(" "));
            assertEquals(2, r.status(), r::err);
            assertEquals("fsutil: find: " + c.getValue() + " (see --help)\n", r.err());
        }
    }
}
