package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The command-line tool, run as users run it: java -jar fsutil.jar, the library taken from the jar. */
class FsUtilToolTest {
    @TempDir Path tmp;

    private static Result tool(String... args) throws Exception {
        List<String> cmd = java("-jar", JAR);
        cmd.addAll(Arrays.asList(args));
        Result r = run(null, cmd);
        assertFalse((r.text() + r.err()).contains("WARNING"), r::err);
        return r;
    }

    @Test
    void dfPrintsTheElevenValuesAndNamesFailedPaths() throws Exception {
        Result r = tool("df", "/proc", "/nonexistent");
        assertEquals(1, r.status(), r::err);
        assertEquals("fsutil: df: /nonexistent: [UNIXFileSysUtil.getFileSysStat] statvfs failed for '/nonexistent'."
                + " Error='No such file or directory'\n", r.err());
        FileSysStatUnix s = new FileSystemStatLin().getFileSysStat("/proc"); // nothing on it changes
        StringBuilder values = new StringBuilder("File system of: /proc");
        for (Object v : new Object[] {s.getBlockSize(), s.getFragmentSize(), s.getBlocks(), s.getFreeBlocks(),
                s.getAvailableBlocks(), s.getFiles(), s.getFreeFiles(), s.getAvailableFiles(),
                "0x" + Long.toHexString(s.getFsId()), "0x" + Long.toHexString(s.getFlag()), s.getNameMax()}) {
            values.append('\n').append(v);
        }
        assertEquals(values.toString(), r.text().replaceAll("(?m)^  .{28} +(\\S+).*$", "$1").trim(), r::text);
    }

    @Test
    void usageErrorsExitWithTwo() throws Exception {
        assertTrue(tool("--help").text().startsWith("usage: java -jar fsutil.jar"));
        for (String[] args : List.of(new String[0], new String[] {"frobnicate", "/"}, new String[] {"ls"})) {
            Result r = tool(args);
            assertEquals(2, r.status(), r::err);
            assertTrue(r.err().startsWith(args.length == 0 ? "usage:" : "fsutil: "), r::err);
        }
    }

    @Test
    void lsWritesNamesAsTheirBytesOnDisk() throws Exception {
        sh(tmp, "touch \"$(printf '\\351')\" \"$(printf '\\303\\251')\" plain && mkdir sub && mkfifo fifo"); // twins
        Result r = tool("ls", tmp.toString());
        assertEquals(0, r.status(), r::err);
        // ISO-8859-1 maps bytes one to one, so these strings stand for the exact bytes.
        List<String> lines = Arrays.asList(new String(r.out(), StandardCharsets.ISO_8859_1).split("\n"));
        assertEquals(Set.of("\u00e9", "\u00c3\u00a9", "plain", "sub", "fifo"), new HashSet<>(lines));
        assertEquals(5, lines.size());
        Result two = tool("ls", tmp + "/sub", tmp + "/missing");
        assertEquals(1, two.status());
        assertEquals(tmp + "/sub:\n", two.text());
        assertTrue(two.err().contains("Fail to get first file of '" + tmp + "/missing'"), two::err);
    }

    @Test
    void readlinkPrintsTheWholeTarget() throws Exception {
        String target = "u" + "/t".repeat(600);
        Path link = Files.createSymbolicLink(tmp.resolve("link"), Path.of(target));
        Result r = tool("readlink", link.toString(), tmp.toString());
        assertEquals(1, r.status(), r::err);
        assertEquals(target + "\n", r.text());
        assertTrue(r.err().startsWith("fsutil: readlink: " + tmp + ": "), r::err);
    }
}
