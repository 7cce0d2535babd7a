package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Disk usage in Java against GNU du on the same tree.
class UsageTest {
    @TempDir Path tmp;

    // Made once for the tests below: hard links (also across directories that different threads sum), a
    // sparse file, links, a FIFO, a socket, names that are not UTF-8, and enough directories to share out;
    // its usage and the failures reported summing it.
    @TempDir static Path made;
    private static String t;
    private static FileTree.Usage u;
    private static final List<String> failures = new ArrayList<>();

    @BeforeAll
    static void sumATreeOfEveryKind() throws Exception {
        sh(made, "mkdir -p t/a/b t/c \"t/$(printf 'x\\351')\" && cd t && echo hello > a/f && ln a/f c/hard && ln a/f \"$(printf 'x\\351')/h2\""
                + " && truncate -s 10M a/b/sparse && head -c 5000 /dev/urandom > c/r && ln -s a lnk && mkfifo c/fifo"
                + " && for i in $(seq 40); do mkdir -p d$i/e && head -c $((i * 300)) /dev/zero > d$i/e/z && ln c/r d$i/r; done");
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(made.resolve("t/c/sock")));
        }
        t = made + "/t";
        u = FileTree.measurer(t).onError(failures(failures)).run();
    }

    private static long number(String script) throws Exception {
        return Long.parseLong(sh(made, script).trim().split("\\s")[0]);
    }

    @Test
    void theSumsAreDusAndEachInodeCountsOnceInEveryCounter() throws Exception {
        assertEquals(List.of(), failures);
        assertEquals(List.of(number("du -sb t"), number("du -s -B512 t")), List.of(u.bytes(), u.blocks()));
        assertEquals(List.of(number("find t -printf '%i\\n' | LC_ALL=C sort -u | wc -l"), number("find t -type d | wc -l"),
                number("find t -type f -printf '%i\\n' | LC_ALL=C sort -u | wc -l")), List.of(u.entries(), u.directories(), u.files()));
    }

    @Test
    void aFileIsItsOwnTree() throws Exception {
        assertEquals(1, FileTree.usage(t + "/a/f").entries());
    }

    @Test
    void aMissingRootIsNoSuchFileNamingIt() {
        NoSuchFileException missing = assertThrows(NoSuchFileException.class, () -> FileTree.usage(t + "/missing"));
        assertEquals(List.of(t + "/missing", "No such file or directory"), List.of(missing.getFile(), missing.getReason()));
    }

    @Test
    void theSumLeavesNoDescriptorOpen() throws Exception {
        assertEquals(0, streamsUnder(made));
    }

    @Test
    void followingLinksIsRefused() {
        assertThrows(IllegalArgumentException.class, () -> FileTree.measurer(t).with(FileTree.Option.FOLLOW_LINKS));
    }

    @Test
    @Tag("unprivileged")
    void anUnreadableDirectoryIsReportedCountedAndTheSumGoesOn() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p t/d7/closed/in t/d8 && touch t/d7/closed/in/x t/d8/f && chmod 000 t/d7/closed");
        List<String> seen = new ArrayList<>();
        FileTree.Usage v = FileTree.measurer(tmp + "/t").onError(failures(seen)).run();
        assertEquals(List.of("d7/closed: AccessDeniedException: Permission denied"), seen);
        assertEquals(Long.parseLong(sh(tmp, "du -sb t 2>/dev/null || true").trim().split("\\s")[0]), v.bytes());
    }
}
