package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.*;
import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Removing trees: everything inside goes, nothing outside is touched.
class DeleteTest {
    @TempDir Path tmp;

    @Test
    void removesEveryKindOfEntryAtAnyDepthAndNothingOutside() throws Exception {
        String deep = "d".repeat(220);  // a chain past 8,000 bytes, built from the bottom up
        long seed = new Random().nextLong();
        StringBuilder random = new StringBuilder("set -e\nmkdir -p t/r && cd t/r\n");  // its links lead out of r, to t and tmp
        FileTreeTest.tree(random, new Random(seed), 2);
        sh(tmp, random.toString());
        sh(tmp, "mkdir -p out/sub && touch out/keep out/sub/keep && cd t && mkdir a b empty e2 && mkdir e2/e3 && touch \"$(printf 'f\\351')\" \"$(printf '\\303\\251')\""
                + " && mkfifo a/fifo && ln -s ../out a/out && ln -s " + tmp + "/out/keep b/keep && ln -s nowhere b/dangling"
                + " && for i in $(seq 30); do mkdir -p c$i/x && touch c$i/x/f c$i/g; done"
                + " && mkdir " + deep + " && touch " + deep + "/leaf && for i in $(seq 38); do mkdir w && mv " + deep + " w/ && mv w " + deep + "; done"
                + (ROOT ? " && mknod a/chr c 1 3 && mknod a/blk b 7 0" : ""));
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(tmp.resolve("t/a/sock")));
        }
        long entries = Long.parseLong(sh(tmp, "find t | wc -l").trim());
        List<String> failures = new ArrayList<>();
        assertEquals(entries, FileTree.deleter(tmp + "/t").onError(failures(failures)).run());
        assertEquals(List.of(), failures, "seed " + seed);
        assertFalse(Files.exists(tmp.resolve("t"), LinkOption.NOFOLLOW_LINKS));
        assertEquals("out\nout/keep\nout/sub\nout/sub/keep\n", sh(tmp, "find out | LC_ALL=C sort"));
        assertEquals(0, streamsUnder(tmp));
    }

    @Test
    void aMissingNullOrDotPathIsRefused() throws Exception {
        sh(tmp, "mkdir out");
        assertEquals("No such file or directory",
                assertThrows(NoSuchFileException.class, () -> FileTree.delete(tmp + "/missing")).getReason());
        assertEquals("[FileTree.delete] path is null", assertThrows(NullPointerException.class, () -> FileTree.delete((String) null)).getMessage());
        // Each refusal names the path as given, trailing slashes dropped.
        Map<String, String> refused = Map.of(tmp + "/out/..", tmp + "/out/..", tmp + "/./", tmp + "/.", "/", "/", "//", "/");
        refused.forEach((given, shown) -> assertTrue(assertThrows(IOException.class, () -> FileTree.delete(given)).getMessage()
                .startsWith("[FileTree.delete] Refusing to remove '" + shown + "'"), given));
        assertEquals("out\n", sh(tmp, "find * | LC_ALL=C sort"));
    }

    @Test
    void aDirectorySwappedForALinkNeverLeadsOutside() throws Exception {
        whileSwappedForLinks(tmp, 40, round -> sh(tmp, "rm -rf t && mkdir -p t && cd t && for i in $(seq 10); do mkdir -p d$i/s && touch d$i/s/f d$i/g$i; done"),
                round -> FileTree.deleter(tmp + "/t").onError((p, e) -> {}).run());
    }

    @Test
    @Tag("unprivileged")
    void whatCannotBeRemovedGoesToTheHandlerAndTheRestGoes() throws Exception {
        lockedTree();
        List<String> failures = new ArrayList<>();
        // Gone: free, free/f, free/sub, free/sub/g, top. Kept: t and locked with what it holds.
        assertEquals(5, FileTree.deleter(tmp + "/t").onError(failures(failures)).run());
        assertEquals(List.of("locked/f1: AccessDeniedException: Permission denied", "locked/f2: AccessDeniedException: Permission denied",
                "locked/in: AccessDeniedException: Permission denied"),
                failures.stream().sorted().toList());
        assertEquals("t\nt/locked\nt/locked/f1\nt/locked/f2\nt/locked/in\n", sh(tmp, "find t | LC_ALL=C sort"));
    }

    @Test
    @Tag("unprivileged")
    void withoutAHandlerTheFirstFailureIsThrownTypedWithTheOthersSuppressed() throws Exception {
        lockedTree();
        AccessDeniedException e = assertThrows(AccessDeniedException.class, () -> FileTree.delete(tmp + "/t"));
        assertTrue(e.getFile().matches(tmp + "/t/locked/(f1|f2|in)"), e.getFile());
        assertEquals("Permission denied", e.getReason());
        assertEquals("[FileTree.delete] 3 entries could not be removed, the first: " + e.getFile() + ": Permission denied", e.getMessage());
        assertEquals(List.of(AccessDeniedException.class, AccessDeniedException.class),
                Arrays.stream(e.getSuppressed()).map(Object::getClass).toList());
        assertEquals("t\nt/locked\nt/locked/f1\nt/locked/f2\nt/locked/in\n", sh(tmp, "find t | LC_ALL=C sort"), "the rest removed before the throw");
    }

    @Test
    @Tag("unprivileged")
    void theThrownFailureCountsEveryFailureButCarriesABoundedNumber() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p t/locked && cd t/locked && for i in $(seq 1000); do : > f$i; done && chmod 555 .");
        AccessDeniedException e = assertThrows(AccessDeniedException.class, () -> FileTree.delete(tmp + "/t"));
        assertTrue(e.getMessage().startsWith("[FileTree.delete] 1000 entries could not be removed, the first: "), e.getMessage());
        assertTrue(e.getSuppressed().length > 0 && e.getSuppressed().length < 999, () -> "suppressed " + e.getSuppressed().length);
        sh(tmp, "chmod 755 t/locked");
    }

    // t holds a read-only directory "locked" with two files and a directory, beside removable entries.
    private void lockedTree() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p t/locked/in t/free/sub && touch t/locked/f1 t/locked/f2 t/free/f t/free/sub/g t/top && chmod 555 t/locked");
    }

    // A mount below, of another file system or a bind mount of the same one: only its mount tells
    // the second. GNU's rm -r --one-file-system empties that one (it compares devices); we leave it
    // whole (intended difference).
    @Test
    void mountPointsAreNotCrossed() throws Exception {
        String t = tmp + "/t";
        sh(tmp, "mkdir -p outside/sub && echo kept > outside/sub/o");
        for (String mount : List.of("-t tmpfs x", "--bind outside")) {
            sh(tmp, "rm -rf t && mkdir -p t/a/m t/b && touch t/a/f t/b/g");
            Result r = inNamespace(tmp, "mount " + mount + " t/a/m && touch t/a/m/in && $TOOL rm -r " + t + "; echo $?; find t | LC_ALL=C sort");
            assertEquals("fsutil: rm: cannot remove '" + t + "/a/m': Mount point: not crossed\n", r.err(), mount);
            String inside = mount.startsWith("-t") ? "" : "t/a/m/sub\nt/a/m/sub/o\n";
            assertEquals("1\nt\nt/a\nt/a/m\nt/a/m/in\n" + inside, r.text(), mount);
        }
        assertEquals("kept\n", sh(tmp, "cat outside/sub/o"));
    }
}
