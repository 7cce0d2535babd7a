package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Disk usage in Java against GNU du on the same tree.
class UsageTest {
    @TempDir Path tmp;

    // Hard links (also across directories that different threads sum), a sparse file, links, a FIFO,
    // a socket, names that are not UTF-8, and enough directories to share out.
    private String tree() throws Exception {
        sh(tmp, "mkdir -p t/a/b t/c \"t/$(printf 'x\\351')\" && cd t && echo hello > a/f && ln a/f c/hard && ln a/f \"$(printf 'x\\351')/h2\""
                + " && truncate -s 10M a/b/sparse && head -c 5000 /dev/urandom > c/r && ln -s a lnk && mkfifo c/fifo"
                + " && for i in $(seq 40); do mkdir -p d$i/e && head -c $((i * 300)) /dev/zero > d$i/e/z && ln c/r d$i/r; done");
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(tmp.resolve("t/c/sock")));
        }
        return tmp + "/t";
    }

    private long number(String script) throws Exception {
        return Long.parseLong(sh(tmp, script).trim().split("\\s")[0]);
    }

    @Test
    void sumsAndTheToolMatchDu() throws Exception {
        String t = tree();
        List<String> failures = new ArrayList<>();
        FileTree.Usage u = FileTree.usage(t, (p, e) -> failures.add(p + ": " + e));
        assertEquals(List.of(), failures);
        assertEquals(number("du -sb t"), u.bytes());
        assertEquals(number("du -s -B512 t"), u.blocks());
        assertEquals(number("find t -printf '%i\\n' | sort -u | wc -l"), u.entries());
        assertEquals(number("find t -type d | wc -l"), u.directories());
        assertEquals(number("find t -type f -printf '%i\\n' | sort -u | wc -l"), u.files());
        assertEquals(1, FileTree.usage(t + "/a/f").entries());
        assertEquals("[FileTree.usage] Fail to open '" + t + "/missing'. Error='No such file or directory'",
                assertThrows(java.io.FileNotFoundException.class, () -> FileTree.usage(t + "/missing")).getMessage());
        assertEquals(0, streamsUnder(tmp));
    }

    @Test
    @Tag("unprivileged")
    void anUnreadableDirectoryIsReportedCountedAndTheSumGoesOn() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        String t = tree();
        sh(tmp, "mkdir -p t/d7/closed/in && touch t/d7/closed/in/x && chmod 000 t/d7/closed");
        List<String> failures = new ArrayList<>();
        FileTree.Usage u = FileTree.usage(t, (p, e) -> failures.add(p + ": " + e));
        assertEquals(List.of("d7/closed: Permission denied"), failures);
        assertEquals(number("du -sb t 2>/dev/null || true"), u.bytes());
    }
}
