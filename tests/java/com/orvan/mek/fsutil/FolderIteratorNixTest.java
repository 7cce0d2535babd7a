package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.*;
import java.net.*;
import java.nio.channels.*;
import java.nio.charset.Charset;
import java.nio.file.*;
import java.time.Duration;
import java.util.*;
import com.orvan.mek.fsutil.FolderIteratorNix.Entry;
import com.orvan.mek.fsutil.FolderIteratorNix.EntryType;
import java.util.stream.*;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
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
    void filterReportsFilesDirectoriesLinksAndFifosOnceWithTheirTypes() throws Exception {
        sh(tmp, "mkdir empty d && cd d && mkfifo fifo && ln -s nowhere dangling && ln -s sock tosock && mkdir sub"
                + " && touch file" + (ROOT ? " && mknod chr c 1 3 && mknod blk b 7 0" : ""));
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(tmp.resolve("d/sock")));
        }
        assertEquals(Set.of(), walk(tmp + "/empty"));
        try (Stream<Entry> s = FolderIteratorNix.entries(tmp + "/d")) { // a name reported twice fails toMap
            assertEquals(Map.of("fifo", EntryType.FIFO, "dangling", EntryType.SYMLINK, "tosock", EntryType.SYMLINK,
                    "sub", EntryType.DIRECTORY, "file", EntryType.FILE), s.collect(Collectors.toMap(Entry::name, Entry::type)));
        }
    }

    @Test
    void unopenableDirectoriesRaiseWithTheSystemsError() throws Exception {
        sh(tmp, "touch plain && mkfifo \"$(printf 'p\\351')\""); // probed without waiting for a writer
        assertEquals(FIRST + tmp + "/missing'. Error='No such file or directory'",
                failure(FileNotFoundException.class, tmp + "/missing"));
        assertEquals(FIRST + tmp + "/plain'. Error='Not a directory'", failure(IOException.class, tmp + "/plain"));
        // The message is decoded in the platform charset, where the lone byte E9 is malformed UTF-8.
        assertEquals(FIRST + tmp + (UTF8 ? "/p\ufffd" : "/p\u00e9") + "'. Error='Not a directory'",
                failure(IOException.class, tmp + "/p\u00e9"));
        assertThrows(NullPointerException.class, () -> new FolderIteratorNix(null));
        assertThrows(FileNotFoundException.class, () -> FolderIteratorNix.stream(tmp + "/missing"));
    }

    @Test
    @Tag("unprivileged")
    void permissions() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir locked searchless && touch searchless/x && chmod 300 locked && chmod 400 searchless");
        assertEquals(FIRST + tmp + "/locked'. Error='Permission denied'", failure(IOException.class, tmp + "/locked"));
        assertEquals(Set.of(), walk(tmp + "/searchless")); // lstat of every "dir/name" fails there
        sh(tmp, "chmod 700 searchless");
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
        Path own = Files.createDirectory(tmp.resolve("own")); // names the JVM encodes itself come back as written
        List<String> names = new ArrayList<>(List.of("\u00e9t\u00e9", "a b", "\u00ff" + "y".repeat(200)));
        if (UTF8) names.addAll(List.of("\u4e2d\u6587", "\ud83d\ude00", "\u00e9".repeat(127)));
        for (String n : names) Files.createFile(own.resolve(n));
        assertEquals(new HashSet<>(names), walk(own.toString()));
    }

    @Test
    void entriesPastPathMaxAreReported() throws Exception {
        String comp = "L".repeat(200);
        int levels = (3846 - tmp.toString().length() + 200) / 201;
        String dir = tmp + ("/" + comp).repeat(levels);
        assertTrue(dir.length() > 3845 && dir.length() < 4095, "fixture: " + dir.length());
        sh(tmp, "for i in $(seq " + levels + "); do mkdir " + comp + " && cd " + comp + " || exit 1; done;"
                + " mkdir " + "E".repeat(250) + " && touch " + "F".repeat(250) + " s");
        assertEquals(Set.of("E".repeat(250), "F".repeat(250), "s"), walk(dir)); // dir + "/" + name > 4095 bytes
        assertEquals(511, failure(IOException.class, dir + "/" + "E".repeat(250)).getBytes("UTF-8").length);
        sh(tmp, "rm -rf " + comp); // the JDK cannot delete paths this long
        for (String wide : List.of("\u00e9", "\u20ac", "\ud83d\ude00")) { // cut at every byte of a 2-, 3- and 4-byte character
            for (int shift = 0; shift < 4; shift++) {
                String msg = failure(FileNotFoundException.class, tmp + "/" + "x".repeat(shift) + (wide.repeat(50) + "/").repeat(6));
                assertFalse(msg.contains("\ufffd"), msg); // a character split by the cut is dropped whole
                assertTrue(!UTF8 || msg.getBytes(Charset.defaultCharset()).length > 507, msg); // cut indeed
            }
        }
    }

    @Test
    void iteratorProtocolLeavesNothingOpen() throws Exception {
        Path d = Files.createDirectory(tmp.resolve("api"));
        Set<String> names = touch(d, 5), got = new HashSet<>();
        try (FolderIteratorNix it = new FolderIteratorNix(d.toString())) {
            assertEquals(d.toString(), it.directory());
            while (it.hasNext() && it.hasNext()) got.add(it.next()); // asking twice must not skip an entry
            assertThrows(NoSuchElementException.class, it::next);
            it.close();
        } // and closed once more
        assertEquals(names, got);
        try (Stream<String> s = FolderIteratorNix.stream(d.toString())) {
            assertEquals(2, s.limit(2).count());
        }
        FolderIteratorNix early = new FolderIteratorNix(d.toString());
        early.next();
        early.close();
        assertFalse(early.hasNext());
        assertEquals(0, streamsUnder(d));
    }
}
