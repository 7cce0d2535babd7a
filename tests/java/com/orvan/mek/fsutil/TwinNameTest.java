package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Every String call of the API, given root + "/" + e.path() for each entry e of a directory of twins
// (names that read alike in some locale: E9 and C3 A9, "?" and E9, U+FFFD's bytes and a byte that is
// not UTF-8): the call reaches e, or refuses as ambiguous and touches nothing. What is on disk after
// is compared, byte for byte, with what was there (less the entry the call was to remove).
class TwinNameTest {
    @TempDir Path tmp;

    // The twins, as printf writes them.
    private static final List<String> TWINS = List.of("caf\\351", "caf\\303\\251", "caf?", "caf\\357\\277\\275", "caf\\377",
            "\\303", "\\303\\203\\302\\251", "\\320\\266");

    // Each twin a directory holding "id" (its own name's bytes in hex, of a length of its own) and "n-<hex>".
    private static Path twins(Path dir) throws Exception {
        StringBuilder sh = new StringBuilder("set -e\n");
        for (int i = 0; i < TWINS.size(); i++) {
            String n = "\"$(printf '" + TWINS.get(i) + "')\"";
            sh.append("mkdir ").append(n).append(" && printf '%s' \"$(printf '").append(TWINS.get(i))
                    .append("' | od -An -tx1 | tr -d ' \\n')").append("x".repeat(i)).append("\" > ").append(n).append("/id\n");
            sh.append("touch ").append(n).append("/n-").append(i).append('\n');
        }
        sh(dir, sh.toString());
        return dir;
    }

    // Every entry below dir: its bytes relative to dir, and each file's content (a directory's: "/").
    private static Map<String, String> disk(Path dir) throws Exception {
        Map<String, String> all = new TreeMap<>();
        Result r = run(dir, "sh", "-c", "find . -mindepth 1 -print0");
        for (String p : new String(r.out(), StandardCharsets.ISO_8859_1).split("\0")) {
            if (p.isEmpty()) continue;
            Path path = NioPaths.path(p.getBytes(StandardCharsets.ISO_8859_1));
            all.put(p, Files.isDirectory(dir.resolve(path), LinkOption.NOFOLLOW_LINKS) ? "/" : Files.readString(dir.resolve(path), StandardCharsets.ISO_8859_1));
        }
        return all;
    }

    // The top entries: path() -> its id. Two with one path() are the ambiguous ones.
    private static Map<String, List<String>> byPath(Path dir) throws Exception {
        Map<String, List<String>> m = new TreeMap<>();
        try (Stream<FileTree.Entry> s = FileTree.walker(dir).maxDepth(1).stream()) {
            for (FileTree.Entry e : s.toList()) {
                m.computeIfAbsent(e.path(), k -> new ArrayList<>()).add(Files.readString(e.toPath().resolve("id")));
            }
        }
        return m;
    }

    interface Call {
        // What the call says of dir + "/" + path, a twin directory: its id as the call sees it.
        String on(String twin, Path scratch) throws Exception;
    }

    private static final Map<String, Call> CALLS = new LinkedHashMap<>();
    static {
        CALLS.put("newInputStream", (t, s) -> {
            try (InputStream in = FileTree.newInputStream(t + "/id")) {
                return new String(in.readAllBytes(), StandardCharsets.ISO_8859_1);
            }
        });
        CALLS.put("walk", (t, s) -> idIn(FileTree.walk(t)));
        CALLS.put("walker", (t, s) -> idIn(FileTree.walker(t).maxDepth(1).stream()));
        CALLS.put("listing", (t, s) -> {
            String n = FolderIteratorNix.list(t).stream().filter(x -> x.startsWith("n-")).findFirst().orElseThrow();
            return "#" + n.substring(2);
        });
        CALLS.put("toPath", (t, s) -> Files.readString(FileTree.toPath(t + "/id"), StandardCharsets.ISO_8859_1));
        CALLS.put("usage", (t, s) -> "bytes " + FileTree.usage(t + "/id").bytes());
        CALLS.put("copy", (t, s) -> {
            Path to = s.resolve("copy");
            FileTree.copy(t, to.toString());
            return Files.readString(to.resolve("id"));
        });
        CALLS.put("isDirectory+readLink", (t, s) -> {
            assertTrue(NativeFs.isDirectory(t));
            try {
                NativeFs.readLink(t);
                return "a link";
            } catch (IOException e) {
                return Files.readString(FileTree.toPath(t + "/id"));  // not a link: the right one was asked
            }
        });
    }

    // What the walk's entry "id" holds, read by its Path.
    private static String idIn(Stream<FileTree.Entry> walk) throws IOException {
        try (walk) {
            return Files.readString(walk.filter(e -> e.name().equals("id")).findFirst().orElseThrow().toPath());
        }
    }

    private static String expected(String call, String id, int index) {
        if (call.equals("listing")) return "#" + index;
        if (call.equals("usage")) return "bytes " + id.length();
        return id;
    }

    @Test
    void everyStringCallReachesTheEntryItNamesOrRefusesAsAmbiguous() throws Exception {
        Path dir = twins(Files.createDirectory(tmp.resolve("t")));
        Map<String, String> before = disk(dir);
        Map<String, List<String>> paths = byPath(dir);
        List<String> ids = new ArrayList<>();
        for (String id : before.keySet()) if (id.endsWith("/id")) ids.add(before.get(id));
        for (var call : CALLS.entrySet()) {
            for (var p : paths.entrySet()) {
                String twin = dir + "/" + p.getKey(), what = call.getKey() + " of " + p.getValue();
                Path scratch = Files.createTempDirectory(tmp, "s");
                if (p.getValue().size() > 1) {
                    Exception e = assertThrows(Exception.class, () -> call.getValue().on(twin, scratch), what);
                    assertAmbiguous(e, call.getKey().equals("toPath"), what);
                } else {
                    String id = p.getValue().get(0);
                    int index = indexOf(id);
                    assertEquals(expected(call.getKey(), id, index), call.getValue().on(twin, scratch), what);
                }
                assertEquals(before, disk(dir), what);
            }
        }
    }

    private static int indexOf(String id) {
        return id.length() - id.replace("x", "").length();
    }

    private static void assertAmbiguous(Exception e, boolean toPath, String what) {
        String reason = toPath ? assertInstanceOf(InvalidPathException.class, e, what).getReason()
                : assertInstanceOf(FileSystemException.class, e, what).getReason();
        assertTrue(reason.startsWith("Ambiguous name") && reason.contains("Path"), reason);
        if (!toPath) assertNotNull(((FileSystemException) e).getFile(), what);
    }

    @Test
    void deleteRemovesTheEntryItNamesAndNoTwin() throws Exception {
        Map<String, List<String>> paths = byPath(twins(Files.createDirectory(tmp.resolve("ref"))));
        int n = 0;
        for (var p : paths.entrySet()) {
            Path dir = twins(Files.createDirectory(tmp.resolve("d" + n++)));
            Map<String, String> before = disk(dir);
            String what = "delete of " + p.getValue();
            if (p.getValue().size() > 1) {
                assertAmbiguous(assertThrows(Exception.class, () -> FileTree.delete(dir + "/" + p.getKey()), what), false, what);
            } else {
                assertEquals(3, FileTree.delete(dir + "/" + p.getKey()), what);
                String id = p.getValue().get(0);
                Set<String> gone = new HashSet<>();
                for (var x : before.entrySet()) if (x.getValue().equals(id)) gone.add(x.getKey().split("/")[1]);
                before.keySet().removeIf(k -> gone.contains(k.split("/")[1]));
            }
            assertEquals(before, disk(dir), what);
        }
    }

    @Test
    void aCopysNewNameIsTheExactPlatformFormElseIso88591() throws Exception {
        Path dir = Files.createDirectory(tmp.resolve("c"));
        sh(dir, "printf x > f");
        for (String name : List.of("new\u00e9", "new\u0436", "new?", "new\ufffd")) {
            byte[] platform = name.getBytes(java.nio.charset.Charset.defaultCharset());
            boolean exact = new String(platform, java.nio.charset.Charset.defaultCharset()).equals(name);
            byte[] want = exact ? platform : name.getBytes(StandardCharsets.ISO_8859_1);
            if (!exact && name.chars().anyMatch(c -> c > 0xff)) {
                assertThrows(InvalidPathException.class, () -> FileTree.copy(dir + "/f", dir + "/" + name), name);
                continue;
            }
            FileTree.copy(dir + "/f", dir + "/" + name);
            assertEquals("x", Files.readString(NioPaths.path(dir.toString().getBytes(StandardCharsets.ISO_8859_1)).resolve(NioPaths.path(want))), name);
        }
    }

    // Names of 200 to 255 bytes no charset but ISO-8859-1 reads (E9 each): one level down, and at the
    // end of a chain of 250-byte names past PATH_MAX, the chain itself named by Strings.
    @Test
    void longNonAsciiNamesAreReachedByEveryStringCall() throws Exception {
        String link = "\"$(printf '" + "\\351".repeat(250) + "')\"";
        StringBuilder made = new StringBuilder("set -e\nmkdir c top\n");
        for (int len : new int[] {200, 255}) {
            String e9 = "\"$(printf '" + "\\351".repeat(len) + "')\"";
            made.append("for d in . c; do mkdir $d/" + e9 + " && printf hello > $d/" + e9 + "/f; done\n");
        }
        // Nested by renames, each step a short path.
        made.append("for i in $(seq 19); do mkdir n && mv c n/" + link + " && mv n c; done\nmv c top/" + link + "\n");
        sh(tmp, made.toString());
        String deep = tmp + "/top" + ("/" + "\u00e9".repeat(250)).repeat(20);
        for (int len : new int[] {200, 255}) {
            for (String root : List.of(tmp.toString(), deep)) {
                String entry;
                try (Stream<FileTree.Entry> s = FileTree.walker(root).maxDepth(1).stream()) {
                    entry = s.filter(e -> e.nameBytes().length == len).findFirst().orElseThrow().path();
                }
                String path = root + "/" + entry, what = len + " bytes under " + root.length();
                try (Stream<FileTree.Entry> w = FileTree.walk(path)) {
                    assertEquals(List.of("f"), w.map(FileTree.Entry::name).toList(), what);
                }
                try (InputStream in = FileTree.newInputStream(path + "/f")) {
                    assertEquals("hello", new String(in.readAllBytes()), what);
                }
                assertEquals(5, FileTree.usage(path + "/f").bytes(), what);
                assertEquals(List.of("f"), FolderIteratorNix.list(path), what);
                if (root.length() < 4000) assertEquals("hello", Files.readString(FileTree.toPath(path + "/f")), what);  // the JDK: PATH_MAX
                String copy = root + "/copy" + len;
                assertEquals(2, FileTree.copy(path, copy), what);
                assertEquals(2, FileTree.delete(path), what);
                assertEquals(2, FileTree.delete(copy), what);
                try (Stream<FileTree.Entry> s = FileTree.walker(root).maxDepth(1).stream()) {
                    assertEquals(List.of(), s.filter(e -> e.nameBytes().length == len).map(FileTree.Entry::path).toList(), what);
                }
            }
        }
        FileTree.delete(tmp.resolve("top"));  // past what the JDK removes
    }

    @Test
    void aNameNoCharsetMapsIsAnInvalidPath() throws Exception {
        String bad = tmp + "/\ud800";  // a lone surrogate: no charset writes it, and no listing reads a name as it
        assertThrows(InvalidPathException.class, () -> FileTree.newInputStream(bad));
        assertThrows(InvalidPathException.class, () -> FileTree.toPath(bad));
        assertThrows(InvalidPathException.class, () -> FileTree.delete(bad));
        assertEquals(Set.of(), Files.list(tmp).map(Path::toString).collect(Collectors.toSet()));
    }
}
