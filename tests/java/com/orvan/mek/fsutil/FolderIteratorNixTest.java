package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import com.orvan.mek.fsutil.FolderIteratorNix.Entry;
import java.io.*;
import java.nio.charset.Charset;
import java.nio.file.*;
import java.time.Duration;
import java.util.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;

class FolderIteratorNixTest {
    private static final String FIRST = "[UNIXFileSysUtil.getFirstFile] Fail to get first file of '";
    @TempDir Path tmp;

    private static String failure(Class<? extends IOException> type, String dir) {
        IOException e = assertTimeoutPreemptively(Duration.ofSeconds(20),
                () -> assertThrows(IOException.class, () -> new FolderIteratorNix(dir)));
        assertEquals(type, e.getClass(), e::toString);
        return e.getMessage();
    }

    @Test
    void filterReportsFilesDirectoriesLinksAndFifosWithTheirTypes() throws Exception {
        // In a UTF-8 process both forms of "é" read as the same name; in ISO-8859-1, C3 A9 is "Ã©".
        List<String> want = List.of("DIRECTORY sub", "FIFO f\u00e9", "FILE file", "FILE \u00e9",
                "FILE " + (UTF8 ? "\u00e9" : "\u00c3\u00a9"), "SYMLINK dangling");
        try (Stream<Entry> s = FolderIteratorNix.entries(fixture(tmp))) {
            assertEquals(want.stream().sorted().toList(), s.map(Entry::toString).sorted().toList());
        }
        assertEquals(Set.of(), walk(tmp + "/sub"));
    }

    @Test
    void unopenableDirectoriesRaiseWithTheSystemsError() throws Exception {
        fixture(tmp);
        assertEquals(FIRST + tmp + "/missing'. Error='No such file or directory'",
                failure(FileNotFoundException.class, tmp + "/missing"));
        assertEquals(FIRST + tmp + "/file'. Error='Not a directory'", failure(IOException.class, tmp + "/file"));
        // A FIFO is probed without waiting for a writer. The message is decoded in the platform
        // charset, where the lone byte E9 is malformed UTF-8.
        assertEquals(FIRST + tmp + (UTF8 ? "/f\ufffd" : "/f\u00e9") + "'. Error='Not a directory'",
                failure(IOException.class, tmp + "/f\u00e9"));
        assertThrows(NullPointerException.class, () -> new FolderIteratorNix((String) null));
        assertThrows(FileNotFoundException.class, () -> FolderIteratorNix.stream(tmp + "/missing"));
    }

    // The permission cases of the walk and the statistics: ctest runs them as nobody too.
    @Test
    @Tag("unprivileged")
    void permissions() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir locked searchless && touch searchless/x && chmod 300 locked && chmod 400 searchless");
        assertEquals(FIRST + tmp + "/locked'. Error='Permission denied'", failure(IOException.class, tmp + "/locked"));
        assertEquals(Set.of(), walk(tmp + "/searchless")); // lstat of every "dir/name" fails there
        assertEquals(FileSysStatTest.PREFIX + "statvfs failed for '" + tmp + "/searchless/x'. Error='Permission denied'",
                FileSysStatTest.failure(tmp + "/searchless/x"));
    }

    @Test
    void namesOfEveryByteAndLengthLeadBackToTheirEntries() throws Exception {
        // A UTF-8 "é" holding a lone byte E9 and the reverse, walked down by dir + "/" + name: a name that
        // is not UTF-8 reads as ISO-8859-1 in a UTF-8 process, which is the native reading in the other.
        sh(tmp, "u=\"$(printf '\\303\\251')\"; l=\"$(printf '\\351')\"; mkdir -p m1/$u/$l/$u m2/$l/$u/$l/\"$(printf 'x\\200\\377')\""
                + " && ln -s target m1/$u/$l/$u/link && touch m2/$l/$u/$l/" + "n".repeat(255));
        String u = UTF8 ? "\u00e9" : "\u00c3\u00a9", l = "\u00e9";
        String m1 = tmp + "/m1/" + u + "/" + l + "/" + u, m2 = tmp + "/m2/" + l + "/" + u + "/" + l;
        assertEquals(Set.of(l), walk(tmp + "/m2"));
        assertEquals(Set.of("link"), walk(m1));
        assertEquals(Set.of("n".repeat(255), "x\u0080\u00ff"), walk(m2));
        assertEquals("target", NativeFs.readLink(m1 + "/link"));
        assertEquals("[UNIXFileSysUtil.readLink] path is null", assertThrows(NullPointerException.class, () -> NativeFs.readLink((String) null)).getMessage());
        // Names the JVM encodes itself (in the locale's charset) come back as written.
        List<String> names = LOCALE_UTF8 ? List.of("\u4e2d\u6587", "\ud83d\ude00", "\u00e9".repeat(127)) : List.of("\u00ff".repeat(255));
        for (String n : names) Files.createFile(tmp.resolve("m1").resolve(n));
        assertTrue(walk(tmp + "/m1").containsAll(names));
    }

    @Test
    void pathsPastPathMaxAreListed() throws Exception {
        String comp = "L".repeat(200);
        int levels = (3846 - tmp.toString().length() + 200) / 201;
        String dir = tmp + ("/" + comp).repeat(levels);
        sh(tmp, "for i in $(seq " + levels + "); do mkdir " + comp + " && cd " + comp + " || exit 1; done;"
                + " mkdir " + "E".repeat(250) + " && touch " + "F".repeat(250) + " s " + "E".repeat(250) + "/in");
        assertEquals(Set.of("E".repeat(250), "F".repeat(250), "s"), walk(dir)); // dir + "/" + name > 4095 bytes
        assertEquals(Set.of("in"), walk(dir + "/" + "E".repeat(250)));  // a directory's own path past PATH_MAX
        String missing = failure(FileNotFoundException.class, dir + "/" + "M".repeat(250));
        assertTrue(missing.startsWith(FIRST + tmp) && missing.endsWith("M'. Error='No such file or directory'"), missing);
        sh(tmp, "rm -rf " + comp); // the JDK cannot delete paths this long
    }

    @Test
    void longMessagesLoseTheMiddleOfThePathNotTheReasonNorHalfACharacter() throws Exception {
        for (String wide : List.of("\u00e9", "\u20ac", "\ud83d\ude00")) { // shortened at every byte of a 2-, 3- and 4-byte character
            // A character no form of a name maps is no path at all.
            if (!Charset.defaultCharset().newEncoder().canEncode(wide) && wide.charAt(0) > 0xff) continue;
            for (int shift = 0; shift < 4; shift++) {
                String msg = failure(FileNotFoundException.class, tmp + "/" + "x".repeat(shift) + (wide.repeat(50) + "/").repeat(6));
                assertFalse(msg.contains("\ufffd"), msg); // a character is kept or dropped whole
                assertTrue(msg.startsWith(FIRST + tmp) && msg.endsWith("'. Error='No such file or directory'"), msg);
                assertTrue(msg.getBytes(Charset.defaultCharset()).length <= 511, msg);
            }
        }
    }

    @Test
    void iteratorProtocol() throws Exception {
        sh(tmp, "touch a b c");
        Set<String> got = new HashSet<>();
        try (FolderIteratorNix it = new FolderIteratorNix(tmp.toString())) {
            while (it.hasNext() && it.hasNext()) got.add(it.next()); // asking twice must not skip an entry
            assertThrows(NoSuchElementException.class, it::next);
            it.close();
        } // and closed once more
        assertEquals(Set.of("a", "b", "c"), got);
    }
}
