package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.*;
import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.Collectors;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Copying trees: the copy holds what the source holds, as find(1) and stat(1) see both, and as cp -a makes it.
class CopyTest {
    @TempDir Path tmp;

    static final String DEEP = "d".repeat(220);  // 41 levels of it: a chain past 9,000 bytes

    // find(1)'s view of a tree, a line per entry in its raw bytes: path, type, mode, owner, group,
    // size (not for directories: their size is the file system's), times in ns, link target;
    // then one line per group of hard links. Paths starting with a skipped prefix ("": the root) are left out.
    static List<String> view(Path root, String... skip) throws Exception {
        String[] f = new String(run(root, "find", ".", "-printf", "%P\\0%y %m %U %G %s %T@ %A@\\0%l\\0%i %n\\0").out(),
                StandardCharsets.ISO_8859_1).split("\0", -1);
        List<String> lines = new ArrayList<>();
        Map<String, SortedSet<String>> links = new HashMap<>();
        for (int i = 0; i + 3 < f.length; i += 4) {
            String path = f[i];
            if (Arrays.stream(skip).anyMatch(k -> k.isEmpty() ? path.isEmpty() : path.startsWith(k))) continue;
            String attrs = f[i + 1].replaceAll("(\\.\\d{9})\\d", "$1");
            if (attrs.startsWith("d")) attrs = attrs.replaceFirst("^(d \\S+ \\S+ \\S+) \\S+", "$1");
            lines.add(path + " | " + attrs + " -> " + f[i + 2]);
            String[] inode = f[i + 3].split(" ");
            if (!attrs.startsWith("d") && !inode[1].equals("1")) links.computeIfAbsent(inode[0], k -> new TreeSet<>()).add(path);
        }
        links.values().forEach(group -> lines.add("linked: " + group));
        Collections.sort(lines);
        return lines;
    }

    // Times in the future, atime after mtime: reading the tree (relatime) then changes no atime.
    static String settle(String dir) {
        return "find " + dir + " -execdir touch -h -m -d @1800000000.123456789 {} + && find " + dir + " -execdir touch -h -a -d @1900000000.987654321 {} +";
    }

    // A random tree (of seed) in s/r beside every kind of entry in s: hard links (one at the end of a
    // chain past PATH_MAX), a sparse file of `sparse` MiB, a file c/big of `big` bytes, a FIFO, links,
    // a device and other owners as root, set-id and sticky bits; as a script run beside s.
    static String everyKind(long seed, int sparse, int big) {
        StringBuilder sh = new StringBuilder("set -e\nmkdir -p s/r && cd s/r\n");
        FileTreeTest.tree(sh, new Random(seed), 1);
        return sh.append("cd ..\nmkdir -p a/b c " + DEEP + " && echo one > a/f && ln a/f a/same && ln a/f c/other && ln a/f " + DEEP + "/leaf"
                + " && truncate -s " + sparse + "M sparse && echo end >> sparse && head -c " + big + " /dev/urandom > c/big && mkfifo c/fifo"
                + " && ln -s '../a/f' c/link && ln -s nowhere dangling && for i in $(seq 40); do mkdir w && mv " + DEEP + " w/ && mv w " + DEEP + "; done"
                + (ROOT ? " && mknod chr c 1 3 && chown 1234:5678 a/b c/fifo && chown -h 4321:8765 c/link" : "")
                + " && chmod 4755 a/f && chmod 2750 a/b && chmod 1777 c").toString();
    }

    // Made once for the tests below: a random tree with every kind of entry and attribute (devices and
    // other owners as root), its copy and cp -a's copy of it.
    @TempDir static Path made;
    private static long seed;
    private static long created;
    private static final long[] progress = new long[2];
    private static final List<String> copyFailures = new ArrayList<>();

    @BeforeAll
    static void copyEveryKindOfEntryAndAttribute() throws Exception {
        seed = new Random().nextLong();
        System.out.println("CopyTest seed " + seed);
        String sh = everyKind(seed, 20, 5000000) + " && cp c/big a/b/copy" + (ROOT ? " && mknod blk b 7 0" : "") + " && chmod 6711 c/big"
                + " && setfacl -m u:1234:rw,g:5678:r a/b/copy && setfacl -d -m u:1234:rwx,o::- a/b"
                + " && python3 -c \"import os; os.setxattr('a/f', 'user.file', b'\\xc3\\xa9 value'); os.setxattr('a', 'user.dir', b'dir value')\""
                + " && " + settle(".") + " && touch -h -m -d @1500000000.5 c/link a/b c/big";
        sh(made, sh);
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(made.resolve("s/c/sock")));
        }
        sh(made, "touch -h -m -d @1800000000.123456789 s/c/sock s/c s && touch -h -a -d @1900000000.987654321 s/c/sock s/c s");  // the socket's times, and its directory's after it was made
        created = FileTree.copier(made + "/s", made + "/t").onError(failures(copyFailures)).progress((n, b) -> {
            progress[0] = n;
            progress[1] = b;
        }).run();
        run(made, "cp", "-a", "s", "cp");
    }

    @AfterAll
    static void removeTreesPastPathMax() throws IOException {
        for (String tree : List.of("s", "t", "cp")) FileTree.delete(made + "/" + tree);  // beyond the JDK's reach
    }

    @Test
    void theCopyHoldsWhatTheSourceHoldsAsFindSeesThemAndCountsEveryEntry() throws Exception {
        assertEquals(List.of(), copyFailures, "seed " + seed);
        assertEquals(view(made.resolve("s")), view(made.resolve("t")), "seed " + seed);
        assertEquals(Long.parseLong(sh(made, "find s | wc -l").trim()), created, "seed " + seed);
    }

    @Test
    void extendedAttributesAndAclsAreCopiedAsCpCopiesThem() throws Exception {
        List<String> attrs = SyncTest.xattrs(made.resolve("s"));
        assertTrue(attrs.containsAll(List.of("./a/f user.file=c3a92076616c7565", "./a user.dir=6469722076616c7565")), attrs::toString);
        assertTrue(attrs.stream().anyMatch(a -> a.startsWith("./a/b/copy system.posix_acl_access="))
                && attrs.stream().anyMatch(a -> a.startsWith("./a/b system.posix_acl_default=")), attrs::toString);
        for (String copy : List.of("t", "cp")) assertEquals(attrs, SyncTest.xattrs(made.resolve(copy)), copy);
    }

    @Test
    void devicesKeepTheirNumbers() throws Exception {
        String devices = "find . \\( -type b -o -type c \\) -exec stat -c '%n %t %T' {} +";
        assertEquals(sh(made.resolve("s"), devices), sh(made.resolve("t"), devices));
    }

    @Test
    void sparseFilesKeepTheirHolesAndEveryFileItsBytes() throws Exception {
        String[] blocks = sh(made, "stat -c %b s/sparse t/sparse").split("\n");
        assertTrue(Long.parseLong(blocks[1]) <= Long.parseLong(blocks[0]), "holes kept: " + Arrays.toString(blocks));
        sh(made, "cmp s/sparse t/sparse && cmp s/c/big t/c/big && cmp s/a/b/copy t/a/b/copy");
    }

    @Test
    void cpMakesTheSameTreeUpToPathMax() throws Exception {
        // cp -a stops at PATH_MAX in the chain; everywhere else it makes what the copy made.
        assertEquals(view(made.resolve("cp"), DEEP, ""), view(made.resolve("t"), DEEP, ""), "seed " + seed);
    }

    @Test
    void theCopyLeavesNoDescriptorOpen() throws Exception {
        assertEquals(0, streamsUnder(made));
    }

    @Test
    void progressEndsWithEachCallsOwnTotals() throws Exception {
        assertEquals(created, progress[0]);
        assertTrue(progress[1] >= 10_000_000, () -> "bytes " + progress[1]);  // the big files' bytes at least
        sh(tmp, "mkdir -p s/in && touch s/in/f");
        long[] seen = {-1};
        assertEquals(FileTree.measurer(tmp + "/s").progress((n, b) -> seen[0] = n).run().entries(), seen[0]);
        assertEquals(FileTree.deleter(tmp + "/s").progress((n, b) -> seen[0] = n).run(), seen[0]);
    }

    // A source s (a directory and a file in it) and a directory "exists"; s's path.
    private String source() throws Exception {
        sh(tmp, "mkdir -p s/in && touch s/in/f && mkdir exists");
        return tmp + "/s";
    }

    @Test
    void nullArgumentsAndFollowingLinksAreRefused() throws Exception {
        String s = source();
        assertEquals("[FileTree.copy] source is null", assertThrows(NullPointerException.class, () -> FileTree.copy(null, s)).getMessage());
        assertEquals("[FileTree.copy] target is null", assertThrows(NullPointerException.class, () -> FileTree.copy(s, null)).getMessage());
        assertThrows(IllegalArgumentException.class, () -> FileTree.copy(s, tmp + "/x", FileTree.Option.FOLLOW_LINKS));
    }

    @Test
    void aDirectoryIsCopiedWhateverWalkOptionsAreGiven() throws Exception {
        String s = source();
        assertEquals(3, FileTree.copy(s, tmp + "/exists/s", FileTree.Option.SORTED, FileTree.Option.ATTRIBUTES));
    }

    // Unreadable directories at the first and second level (read by the calling thread) and deeper (by a worker),
    // and an unreadable file, in s; what cannot be read, relative to s.
    private static final String CLOSED = "s/closed s/open/shut s/open/sub/deep";
    private static final List<String> UNREADABLE = List.of("closed", "open/shut", "open/sub/deep", "secret");

    private void unreadableSource() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p s/closed/in s/open/sub/deep/x s/open/shut/x && touch s/secret s/open/f s/open/sub/g s/closed/in/x"
                + " s/open/shut/x/y && echo data > s/open/sub/h && " + settle("s") + " && chmod 000 s/secret " + CLOSED);
    }

    private void reopen(String... trees) throws Exception {
        for (String tree : trees) sh(tmp, "chmod 700 " + CLOSED.replace("s/", tree + "/"));
    }

    @Test
    @Tag("unprivileged")
    void whatCannotBeReadGoesToTheHandlerAndTheRestIsCopiedAsCpCopiesIt() throws Exception {
        unreadableSource();
        List<String> failures = new ArrayList<>();
        FileTree.copier(tmp + "/s", tmp + "/t").onError(failures(failures)).run();
        assertEquals(UNREADABLE.stream().map(p -> p + ": AccessDeniedException: Permission denied").toList(),
                failures.stream().sorted().toList());
        // Each unreadable directory made with its mode and times, and empty; the unreadable file left out.
        assertEquals(view(tmp.resolve("s"), "secret"), view(tmp.resolve("t")));
        Result gnu = run(tmp, "cp", "-a", "s", "cp");
        assertEquals(1, gnu.status(), gnu.err());
        assertEquals(view(tmp.resolve("cp")), view(tmp.resolve("t")));
        reopen("s", "t", "cp");
        String closed = CLOSED.replace("s/", "t/");
        assertEquals(closed.replace(' ', '\n') + "\n", sh(tmp, "find " + closed + " | LC_ALL=C sort"));
    }

    @Test
    @Tag("unprivileged")
    void theToolReportsWhatCannotBeReadAsCpDoes() throws Exception {
        unreadableSource();
        Result cp = tool("cp", "-a", tmp + "/s", tmp + "/t");
        assertEquals(1, cp.status());
        assertEquals(UNREADABLE.stream().map(p -> "fsutil: cp: " + tmp + "/s/" + p + ": Permission denied").toList(),
                cp.err().lines().sorted().toList());
        assertEquals(view(tmp.resolve("s"), "secret"), view(tmp.resolve("t")));
        reopen("s", "t");
    }

    @Test
    @Tag("unprivileged")
    void withoutAHandlerTheFirstFailureIsThrownTypedWithTheOthersSuppressed() throws Exception {
        unreadableSource();
        AccessDeniedException e = assertThrows(AccessDeniedException.class, () -> FileTree.copy(tmp + "/s", tmp + "/t"));
        assertEquals(UNREADABLE.size() - 1, e.getSuppressed().length);
        assertEquals("Permission denied", e.getReason());
        assertTrue(e.getFile().startsWith(tmp + "/s/"), e.getFile());
        assertEquals("[FileTree.copy] " + UNREADABLE.size() + " entries could not be copied, the first: " + e.getFile()
                + ": Permission denied", e.getMessage());
        assertEquals(view(tmp.resolve("s"), "secret"), view(tmp.resolve("t")), "the rest copied before the throw");
        reopen("s", "t");
    }

    // s/d1..s/d10, each with a subdirectory s and files in both.
    static final String SWAP_SOURCE = "mkdir s && cd s && for i in $(seq 10); do mkdir -p d$i/s/u && for j in $(seq 40); do"
            + " echo $j > d$i/f$j; echo $j > d$i/s/g$j; done; done";

    @Tag("long")
    @Test
    void targetDirectoriesSwappedForLinksNeverLeadOutside() throws Exception {
        sh(tmp, SWAP_SOURCE);
        whileSwappedForLinks(tmp, 30, round -> sh(tmp, "rm -rf t"), round -> FileTree.copier(tmp + "/s", tmp + "/t").onError((p, e) -> {}).run());
    }

    @Test
    void aMountBelowIsCopiedThroughUnlessSameFileSystem() throws Exception {
        sh(tmp, "mkdir -p s/a/m && touch s/a/f");
        Result r = inNamespace(tmp, "mount -t tmpfs -o mode=751 x s/a/m && touch s/a/m/in && $TOOL cp -a s t && $TOOL cp -ax s x"
                + " && find t x -printf '%p %m\\n' | LC_ALL=C sort");
        assertEquals("", r.err());
        assertEquals("t 755\nt/a 755\nt/a/f 644\nt/a/m 751\nt/a/m/in 644\nx 755\nx/a 755\nx/a/f 644\nx/a/m 751\n", r.text());
    }

    // cp -ax compares devices, so it copies what a bind mount of the same file system shows;
    // ours stops at the mount (intended difference), and the source is left as it was.
    @Test
    void aBindMountIsAnotherFileSystemForCopyX() throws Exception {
        sh(tmp, "mkdir -p s/a/m outside && touch s/a/f && echo kept > outside/o");
        Result r = inNamespace(tmp, "mount --bind outside s/a/m && $TOOL cp -ax s x && cp -ax s g"
                + " && find x g -printf '%p %y\\n' | LC_ALL=C sort && cat s/a/m/o");
        assertEquals("", r.err());
        assertEquals("g d\ng/a d\ng/a/f f\ng/a/m d\ng/a/m/o f\nx d\nx/a d\nx/a/f f\nx/a/m d\nkept\n", r.text());
    }

    @Test
    void aFullDiskIsReportedAndLeavesNoPartialFile() throws Exception {
        sh(tmp, "mkdir -p s/d && head -c 3000000 /dev/urandom > s/big && for i in $(seq 30); do head -c 20000 /dev/urandom > s/d/f$i; done");
        Result r = inNamespace(tmp, "mkdir small && mount -t tmpfs -o size=1m x small && $TOOL cp -a s small/t; echo status $?"
                + " && cd small/t && find . -type f | while read f; do cmp -s \"$f\" \"../../s/$f\" || echo partial $f; done");
        assertTrue(r.text().startsWith("status 1\n"), r.text() + r.err());
        assertFalse(r.text().contains("partial"), r.text());
        assertTrue(r.err().lines().allMatch(l -> l.startsWith("fsutil: cp: s/") && l.endsWith(": No space left on device")), r.err());
        assertTrue(r.err().contains("fsutil: cp: s/big: No space left on device"), r.err());
    }

    @Test
    void theToolCopiesAsDstOrIntoAnExistingDirectory() throws Exception {
        sh(tmp, "mkdir -p s/e && echo x > s/e/f && mkdir into && " + settle("s"));
        for (String[] c : new String[][] {{"cp", "-a", tmp + "/s", tmp + "/as"}, {"cp", "-a", "--progress", tmp + "/s/", tmp + "/into"}}) {
            Result r = tool(c);
            assertEquals(0, r.status(), r::err);
        }
        assertEquals("as\nas/e\nas/e/f\ninto\ninto/s\ninto/s/e\ninto/s/e/f\n", sh(tmp, "find as into | LC_ALL=C sort"));
        assertEquals(view(tmp.resolve("s")), view(tmp.resolve("into/s")));
        assertEquals(2, tool("cp", tmp + "/s", tmp + "/y").status());  // only -a is offered
        assertEquals(2, tool("cp", "-a", tmp + "/s").status());
        assertTrue(tool("--help").text().lines().anyMatch(l -> l.startsWith("  cp -a ")), "cp in --help");
        Result exists = tool("cp", "-a", tmp + "/s", tmp + "/into");
        assertEquals(1, exists.status());
        assertTrue(exists.err().startsWith("fsutil: cp: " + tmp + "/s: "), exists.err());
    }
}
