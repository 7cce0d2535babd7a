package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;

import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Every public call that takes a path, given the paths users get wrong or push to the edge: a NUL
// inside, 5,000 bytes and more, a link, a relative path, and a long path that does not exist.
class PathArgumentTest {
    @TempDir Path tmp;

    interface Call {
        Object on(String dir) throws Exception;
    }

    // Each call's answer for a directory `dir` holding a file "f", a directory "d" and a link "l" to "d".
    private static final Map<String, Call> CALLS = new LinkedHashMap<>();
    private static final java.util.concurrent.atomic.AtomicInteger COPIES = new java.util.concurrent.atomic.AtomicInteger();
    static {
        CALLS.put("walk", dir -> {
            try (var s = FileTree.walk(dir)) {
                return s.filter(e -> e.depth() == 1).map(FileTree.Entry::name).sorted().toList();
            }
        });
        CALLS.put("walker", dir -> {
            try (var s = FileTree.walker(dir).maxDepth(1).with(FileTree.Option.SORTED).stream()) {
                return s.map(FileTree.Entry::name).toList();
            }
        });
        CALLS.put("usage", dir -> FileTree.usage(dir).entries() > 3);
        CALLS.put("newInputStream", dir -> {
            try (InputStream in = FileTree.newInputStream(dir + "/f")) {
                return new String(in.readAllBytes());
            }
        });
        CALLS.put("FolderIteratorNix", dir -> {
            try (FolderIteratorNix it = new FolderIteratorNix(dir)) {
                List<String> names = new ArrayList<>();
                it.forEachRemaining(names::add);
                return names.stream().sorted().toList();
            }
        });
        CALLS.put("list", dir -> FolderIteratorNix.list(dir).stream().sorted().toList());
        CALLS.put("stream", dir -> {
            try (var s = FolderIteratorNix.stream(dir)) {
                return s.sorted().toList();
            }
        });
        CALLS.put("entries", dir -> {
            try (var s = FolderIteratorNix.entries(dir)) {
                return s.map(FolderIteratorNix.Entry::name).sorted().toList();
            }
        });
        CALLS.put("isDirectory", dir -> NativeFs.isDirectory(dir + "/d") + " " + NativeFs.isDirectory(dir + "/l"));
        CALLS.put("readLink", dir -> NativeFs.readLink(dir + "/l"));
        CALLS.put("nativePath", dir -> new String(NativeFs.nativePath(dir + "/f")).endsWith("/f"));
        CALLS.put("getFileSysStat", dir -> new FileSystemStatLin().getFileSysStat(dir).toString().isEmpty());
        CALLS.put("copy", dir -> {
            String to = dir + "/d/copy" + COPIES.incrementAndGet();  // below d: the listings of dir stay as they were
            long n = FileTree.copy(dir + "/f", to);
            try (InputStream in = FileTree.newInputStream(to)) {
                return n + " " + new String(in.readAllBytes());
            }
        });
        CALLS.put("delete", dir -> FileTree.delete(dir + "/l") + " " + NativeFs.isDirectory(dir + "/d"));
    }

    // What each call answers for a fresh short directory: every other kind of path must agree with it.
    private Map<String, Object> expected() throws Exception {
        Path ref = Files.createDirectory(tmp.resolve("ref"));
        sh(ref, "printf hello > f && mkdir d && ln -s d l");
        Map<String, Object> answers = new LinkedHashMap<>();
        for (var c : CALLS.entrySet()) {
            if (!c.getKey().equals("delete")) answers.put(c.getKey(), c.getValue().on(ref.toString()));
        }
        return answers;
    }

    @Test
    void aPathHoldingNulIsRefusedAndNothingIsTouched() throws Exception {
        sh(tmp, "mkdir victim && printf hello > victim/f && mkdir victim/d && ln -s d victim/l");
        String nul = tmp + "/victim\0zzz";
        for (var c : CALLS.entrySet()) {
            Exception e = assertThrows(Exception.class, () -> c.getValue().on(nul), c.getKey());
            Class<?> type = c.getKey().equals("getFileSysStat") ? IOException.class : InvalidPathException.class;
            assertEquals(type, e.getClass(), c.getKey() + ": " + e);
            assertTrue(e.getMessage().contains("Nul character not allowed"), c.getKey() + ": " + e.getMessage());
            if (type == IOException.class) {  // the contract's call: its own message, no raw NUL in it
                assertEquals("[UNIXFileSysUtil.getFileSysStat] Nul character not allowed in the path", e.getMessage());
            }
        }
        assertEquals(List.of("d", "f", "l"), FolderIteratorNix.list(tmp + "/victim").stream().sorted().toList());
    }

    @Test
    void everyCallWorksOnPathsPastFiveThousandBytes() throws Exception {
        Map<String, Object> expected = expected();
        String deep = chain(tmp, "deep", 2600) + "/d".repeat(2599);  // holds an empty "d" and "f"
        sh(tmp, "cd deep && p=$(printf 'd/%.0s' $(seq 1000)) && bash -c \"set -P; cd $p && cd $p && cd "
                + "$(printf 'd/%.0s' $(seq 599)) && printf hello > f && ln -s d l\"");
        assertTrue(deep.length() > 5000);
        answerAsExpected(expected, deep);
        assertEquals("1 true", CALLS.get("delete").on(deep));
        FileTree.delete(tmp + "/deep");
    }

    @Test
    void relativePathsAnswerAsTheirAbsoluteForm() throws Exception {
        Map<String, Object> expected = expected();
        answerAsExpected(expected, Path.of("").toAbsolutePath().relativize(tmp.resolve("ref")).toString());
    }

    private static void answerAsExpected(Map<String, Object> expected, String dir) throws Exception {
        for (var c : CALLS.entrySet()) {
            if (!c.getKey().equals("delete")) assertEquals(expected.get(c.getKey()), c.getValue().on(dir), c.getKey());
        }
    }

    @Test
    void aLongMissingPathIsNotFoundAndItsMessageKeepsTheReason() throws Exception {
        String missing = tmp + "/gone" + "/x".repeat(2600);
        for (String call : List.of("walk", "usage", "FolderIteratorNix", "newInputStream")) {
            Exception e = assertThrows(Exception.class, () -> CALLS.get(call).on(missing), call);
            if (call.equals("FolderIteratorNix")) {  // the published contract's exception and message
                assertEquals(FileNotFoundException.class, e.getClass(), call + ": " + e);
                assertTrue(e.getMessage().endsWith("'. Error='No such file or directory'"), call + ": " + e.getMessage());
                assertTrue(e.getMessage().length() <= 511, call);
            } else {
                assertEquals(NoSuchFileException.class, e.getClass(), call + ": " + e);
                assertEquals("No such file or directory", ((NoSuchFileException) e).getReason(), call);
            }
        }
    }
}
