package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import com.orvan.mek.fsutil.FolderIteratorNix.Entry;
import com.orvan.mek.fsutil.FolderIteratorNix.EntryType;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.ServerSocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Entry types, and paths that mix encodings from one component to the next. */
class WalkEntriesTest {
    @TempDir Path tmp;

    @Test
    void entriesCarryTheTypeThatLstatSees() throws Exception {
        sh(tmp, "mkdir d && touch f && mkfifo p && ln -s d tod && ln -s nowhere dangling");
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(tmp.resolve("sock")));
        }
        Map<String, EntryType> want = new HashMap<>();
        for (String n : expectedListing(tmp)) {
            Path p = tmp.resolve(n);
            want.put(n, Files.isSymbolicLink(p) ? EntryType.SYMLINK : Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)
                    ? EntryType.DIRECTORY : Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS) ? EntryType.FILE : EntryType.FIFO);
        }
        assertEquals(5, want.size(), want::toString);
        try (Stream<Entry> s = FolderIteratorNix.entries(tmp.toString())) {
            assertEquals(want, s.collect(Collectors.toMap(Entry::name, Entry::type)));
        }
        assertEquals(want.keySet(), walk(tmp.toString()));
    }

    /** Names met going down by dir + "/" + name through the one subdirectory of each level. */
    private static List<String> descend(String dir) throws Exception {
        List<String> seen = new ArrayList<>();
        for (String d = dir; d != null; ) {
            List<Entry> in;
            try (Stream<Entry> s = FolderIteratorNix.entries(d)) {
                in = s.sorted(Comparator.comparing(Entry::name)).collect(Collectors.toList());
            }
            String down = null;
            for (Entry e : in) {
                seen.add(e.name());
                if (e.type() == EntryType.DIRECTORY) down = d + "/" + e.name();
            }
            d = down;
        }
        return seen;
    }

    @Test
    void mixedEncodingsAlongThePathAreReachable() throws Exception {
        // A UTF-8 "é" holding a lone Latin-1 byte E9, and the reverse, three levels deep.
        sh(tmp, "u=\"$(printf '\\303\\251')\"; l=\"$(printf '\\351')\"; mkdir -p a/$u/$l/$u b/$l/$u/$l"
                + " && touch a/$u/$l/$u/bottom b/$l/$u/$l/bottom && ln -s target a/$u/$l/$u/link");
        // In a UTF-8 JVM both read as "é" (the lone byte through ISO-8859-1); else byte by byte.
        String u = UTF8 ? "\u00e9" : "\u00c3\u00a9";
        String l = "\u00e9";
        assertEquals(List.of(u, l, u, "bottom", "link"), descend(tmp + "/a"));
        assertEquals(List.of(l, u, l, "bottom"), descend(tmp + "/b"));
        // The tool resolves its paths the same way.
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        String link = tmp + "/a/" + u + "/" + l + "/" + u + "/link";
        assertEquals(0, FsUtil.run(new String[] {"readlink", link}, new PrintStream(out, true), System.err));
        assertEquals("target\n", out.toString());
    }

    @Test
    void lsWritesTwinsAsTheirOwnBytes() throws Exception {
        sh(tmp, "touch \"$(printf '\\303\\251')\" \"$(printf '\\351')\"");
        Result r = run(null, java("-Djava.library.path=" + LIBDIR, "-jar", JAR, "ls", tmp.toString()));
        assertEquals(0, r.status(), r::err);
        assertEquals(Set.of("\u00c3\u00a9", "\u00e9"),
                Set.of(new String(r.out(), StandardCharsets.ISO_8859_1).split("\n")));
    }
}
