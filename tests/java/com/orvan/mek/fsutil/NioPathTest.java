package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.sh;
import static org.junit.jupiter.api.Assertions.*;

import java.io.InputStream;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;

// Names of every byte value (but NUL and '/') through Entry.toPath(), java.nio.file and back
// into the library's Path calls, in whatever locale this JVM runs: nothing lost, every entry itself.
class NioPathTest {
    @TempDir Path tmp;

    // Each file "a<b>z" holds the decimal value of b; the twin a+C3A9+z (UTF-8 "é", which a
    // UTF-8 process reads a+E9+z as too) holds "twin".
    private static String expected(byte[] name) {
        return name.length == 3 ? String.valueOf(name[1] & 0xff) : "twin";
    }

    private static long inode(Path p) throws Exception {
        return (Long) Files.getAttribute(p, "unix:ino", LinkOption.NOFOLLOW_LINKS);
    }

    private static String read(InputStream in) throws Exception {
        try (in) {
            return new String(in.readAllBytes(), StandardCharsets.ISO_8859_1);
        }
    }

    // The JDK's own view of a tree: each entry's raw URI path below root, and its content ("dir" for a directory).
    private static Map<String, String> tree(Path root) throws Exception {
        String base = root.toUri().getRawPath();
        Map<String, String> tree = new HashMap<>();
        try (Stream<Path> s = Files.walk(root)) {
            for (Path p : s.collect(Collectors.toList())) {
                tree.put(p.toUri().getRawPath().substring(base.length()), Files.isDirectory(p, LinkOption.NOFOLLOW_LINKS)
                        ? "dir" : new String(Files.readAllBytes(p), StandardCharsets.ISO_8859_1));
            }
        }
        return tree;
    }

    // Made once, by the shell, for the tests below (which only read it): E9 FF / a<b>z for b in 1..255
    // but '/', and C0 AF / a FE z below it; dir is the JDK's own Path of E9 FF.
    @TempDir static Path made;
    private static Path dir;

    @BeforeAll
    static void nameEveryByte() throws Exception {
        sh(made, "set -e; d=\"$(printf '\\351\\377')\"; mkdir \"$d\" \"$d/$(printf '\\300\\257')\"\n"
                + "printf deep > \"$d/$(printf '\\300\\257')/$(printf 'a\\376z')\"\n"
                + "for i in $(seq 1 255); do [ $i = 47 ] && continue\n"
                + "  printf $i > \"$d/$(printf \"a\\\\$(printf %o $i)z\")\"; done");
        try (Stream<Path> s = Files.list(made)) {
            dir = s.findFirst().orElseThrow();
        }
    }

    // Each entry's Path is that very entry (its inode), and a file's reads what the shell wrote; the entries seen.
    private static int checkEachEntrysPath(Stream<FileTree.Entry> walk) throws Exception {
        int entries = 0;
        try (walk) {
            for (FileTree.Entry e : walk.collect(Collectors.toList())) {
                entries++;
                assertEquals(e.inode(), inode(e.toPath()), e::path);
                boolean deep = e.parent() != null && e.parent().nameBytes()[0] == (byte) 0xC0;
                if (e.type() == FileTree.Type.FILE) {
                    assertEquals(deep ? "deep" : expected(e.nameBytes()),
                            new String(Files.readAllBytes(e.toPath()), StandardCharsets.ISO_8859_1), e::path);
                }
            }
        }
        return entries;
    }

    @Test
    void aWalkFromAStringRootOrInParallelFromAPathGivesEachEntryItsOwnPath() throws Exception {
        assertEquals(257, checkEachEntrysPath(FileTree.walk(made.toString(), FileTree.Option.ATTRIBUTES)));
        assertEquals(256, checkEachEntrysPath(FileTree.walk(dir, FileTree.Option.ATTRIBUTES).parallel()));
    }

    @Test
    void toPathOfAStringLeadsWhereTheStringCallsLead() throws Exception {
        // In the C locale "a?z" is the twin of every a<non-ASCII>z: both calls reach the same one.
        try (Stream<FileTree.Entry> walk = FileTree.walk(made.toString())) {
            for (FileTree.Entry e : walk.filter(e -> e.type() == FileTree.Type.FILE).collect(Collectors.toList())) {
                String path = made + "/" + e.path();
                assertEquals(read(FileTree.newInputStream(path)),
                        new String(Files.readAllBytes(FileTree.toPath(path)), StandardCharsets.ISO_8859_1), path);
            }
        }
    }

    // java.nio.file writes the top files of dir into tmp/copy by the entries' own names, with the UTF-8 twin beside them.
    private Path writtenByNio() throws Exception {
        Path copy = Files.createDirectory(tmp.resolve("copy"));
        try (Stream<FileTree.Entry> walk = FileTree.walk(dir).filter(e -> e.type() == FileTree.Type.FILE && e.depth() == 1)) {
            for (FileTree.Entry e : walk.collect(Collectors.toList())) {
                Files.write(copy.resolve(e.toPath().getFileName()), Files.readAllBytes(e.toPath()));
            }
        }
        sh(copy, "printf twin > \"$(printf 'a\\303\\251z')\"");
        return copy;
    }

    @Test
    void filesNamedByJavaNioAreReadSummedListedAndWalkedByTheirPaths() throws Exception {
        Path copy = writtenByNio();
        Set<String> contents = new HashSet<>(), listed = new HashSet<>(), walked = new HashSet<>();
        try (Stream<Path> s = Files.list(copy)) {
            for (Path p : s.collect(Collectors.toList())) {
                String text = read(FileTree.newInputStream(p));
                assertEquals(new String(Files.readAllBytes(p), StandardCharsets.ISO_8859_1), text);
                assertEquals(text.length(), FileTree.usage(p).bytes());
                contents.add(text);
            }
        }
        try (Stream<FolderIteratorNix.Entry> s = FolderIteratorNix.entries(copy)) {
            s.forEach(e -> listed.add(new String(e.nameBytes(), StandardCharsets.ISO_8859_1)));
        }
        try (Stream<FileTree.Entry> walk = FileTree.walk(copy)) {
            for (FileTree.Entry e : walk.collect(Collectors.toList())) {
                walked.add(new String(e.nameBytes(), StandardCharsets.ISO_8859_1));
                assertEquals(expected(e.nameBytes()), read(FileTree.newInputStream(e.toPath())));
            }
        }
        assertEquals(List.of(255, 255, 255), List.of(contents.size(), listed.size(), FolderIteratorNix.list(copy).size()));
        assertEquals(listed, walked);
    }

    @Test
    void aCopyByPathsIntoANameOnlyLatin1ShowsHoldsEveryNameAndByteAndADeleteByPathRemovesThem() throws Exception {
        Path copied = Path.of(URI.create(tmp.toUri() + "%FE%E9"));
        assertEquals(257, FileTree.copy(dir, copied));
        assertEquals(tree(dir), tree(copied));
        assertEquals(257, FileTree.deleter(copied).onError((p, e) -> fail(p + ": " + e)).run());
        assertFalse(Files.exists(copied, LinkOption.NOFOLLOW_LINKS));
    }

    @Test
    void relativePathsStayRelative() throws Exception {
        // "." and ".." are names like any other: kept, not normalized away.
        assertEquals(Path.of("../x/./y"), FileTree.toPath("../x/./y"));
        sh(tmp, "mkdir -p d/e");
        Path rel = Path.of("").toAbsolutePath().relativize(tmp.resolve("d"));
        try (Stream<FileTree.Entry> walk = FileTree.walk(rel)) {
            Path e = walk.findFirst().orElseThrow().toPath();
            assertFalse(e.isAbsolute());
            assertEquals(inode(tmp.resolve("d/e")), inode(e));
        }
    }

    @Test
    void aPathOfAnotherFileSystemIsRefused() throws Exception {
        try (FileSystem zip = FileSystems.newFileSystem(tmp.resolve("z.zip"), Map.of("create", "true"))) {
            assertThrows(ProviderMismatchException.class, () -> FileTree.usage(zip.getPath("/")));
        }
    }

    @Test
    void aNullPathIsRefusedWithTheCallsTag() {
        Map<String, Executable> calls = Map.of("[FileTree.delete] path is null", () -> FileTree.delete((Path) null),
                "[FileTree.walk] path is null", () -> FileTree.walker((Path) null),
                "[FileTree.usage] path is null", () -> FileTree.measurer((Path) null),
                "[FileTree.copy] source is null", () -> FileTree.copier(null, tmp));
        calls.forEach((message, call) -> assertEquals(message, assertThrows(NullPointerException.class, call).getMessage()));
    }
}
