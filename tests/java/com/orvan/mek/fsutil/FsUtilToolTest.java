package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The command-line tool, run as users run it: java -jar fsutil.jar, library taken from the jar. */
class FsUtilToolTest {
    @TempDir Path tmp;

    private static Result tool(String... args) {
        List<String> cmd = java("-jar", JAR);
        cmd.addAll(Arrays.asList(args));
        Result r = run(null, cmd);
        assertFalse((r.text() + r.err()).contains("WARNING in native method"), r::err);
        return r;
    }

    /** The value column of the table row whose label starts with {@code label}. */
    private static String cell(String table, String label) {
        for (String line : table.split("\n")) {
            if (line.trim().startsWith(label)) return line.substring(2 + 28).trim().split(" +")[0];
        }
        throw new AssertionError("no row " + label + " in\n" + table);
    }

    @Test
    void dfPrintsTheElevenValuesAndNamesFailedPaths() throws Exception {
        Result r = tool("df", "/", "/nonexistent");
        assertEquals(1, r.status(), r::err);
        assertEquals("fsutil: df: /nonexistent: [UNIXFileSysUtil.getFileSysStat] statvfs failed for '/nonexistent'."
                + " Error='No such file or directory'\n", r.err());
        String out = r.text();
        assertTrue(out.startsWith("File system of: /\n"), out);
        assertEquals(12, out.split("\n").length, out);
        FileSysStatUnix s = new FileSystemStatLin().getFileSysStat("/");
        assertEquals(s.getBlockSize(), Long.parseLong(cell(out, "Block size")));
        assertEquals(s.getFragmentSize(), Long.parseLong(cell(out, "Fragment size")));
        assertEquals(s.getBlocks(), Long.parseLong(cell(out, "Blocks")));
        assertEquals(s.getFreeBlocks(), Long.parseLong(cell(out, "Free blocks")), s.getBlocks() / 200 + 16);
        assertEquals(s.getAvailableBlocks(), Long.parseLong(cell(out, "Available blocks")), s.getBlocks() / 200 + 16);
        assertEquals(s.getFiles(), Long.parseLong(cell(out, "Inodes")));
        assertEquals(s.getFreeFiles(), Long.parseLong(cell(out, "Free inodes")), s.getFiles() / 200 + 16);
        assertEquals(s.getAvailableFiles(), Long.parseLong(cell(out, "Available inodes")), s.getFiles() / 200 + 16);
        assertEquals("0x" + Long.toHexString(s.getFsId()), cell(out, "File-system ID"));
        assertEquals("0x" + Long.toHexString(s.getFlag()), cell(out, "Mount flags"));
        assertEquals(s.getNameMax(), Long.parseLong(cell(out, "Max name length")));
    }

    @Test
    void usage() {
        Result help = tool("--help");
        assertEquals(0, help.status());
        assertTrue(help.text().startsWith("usage: java -jar fsutil.jar"), help::text);
        Result none = tool();
        assertEquals(2, none.status());
        assertTrue(none.err().startsWith("usage:"), none::err);
        assertEquals(2, tool("frobnicate", "/").status());
        assertEquals(2, tool("ls").status());
    }

    @Test
    void lsWritesNamesAsTheirBytesOnDisk() throws Exception {
        sh(tmp, "touch \"$(printf 'caf\\351')\" \"$(printf '\\303\\251t\\303\\251')\" plain && mkdir sub && mkfifo fifo");
        Result r = tool("ls", tmp.toString());
        assertEquals(0, r.status(), r::err);
        // ISO-8859-1 maps bytes one to one, so these strings stand for the exact bytes.
        Set<String> lines = Arrays.stream(new String(r.out(), StandardCharsets.ISO_8859_1).split("\n"))
                .collect(Collectors.toSet());
        assertEquals(Set.of("caf\u00e9", "\u00c3\u00a9t\u00c3\u00a9", "plain", "sub", "fifo"), lines);
        assertEquals(5, new String(r.out(), StandardCharsets.ISO_8859_1).split("\n").length);

        Result two = tool("ls", tmp + "/sub", tmp + "/missing");
        assertEquals(1, two.status());
        assertTrue(two.text().startsWith(tmp + "/sub:\n"), two::text);
        assertTrue(two.err().contains("Fail to get first file of '" + tmp + "/missing'"), two::err);
    }

    @Test
    void readlinkPrintsTheWholeTarget() throws Exception {
        String target = "u" + String.join("/", java.util.Collections.nCopies(10, "t".repeat(99)));
        assertEquals(1000, target.length());
        Path link = Files.createSymbolicLink(tmp.resolve("link"), Path.of(target));
        Result r = tool("readlink", link.toString());
        assertEquals(0, r.status(), r::err);
        assertEquals(target + "\n", r.text());

        Path file = Files.createFile(tmp.resolve("file"));
        Result bad = tool("readlink", file.toString());
        assertEquals(1, bad.status());
        assertTrue(bad.err().startsWith("fsutil: readlink: " + file + ": "), bad::err);
        assertEquals("", bad.text());
    }
}
