package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.IOException;
import java.nio.file.*;
import java.util.*;
import java.util.logging.Logger;
import java.util.stream.Stream;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// GNU's rules for paths, through the String API: a '/' after a name that is not a directory, a link
// to a directory with and without one; and the exceptions that name the path. Each compares what
// is on disk after.
class PathRuleTest {
    @TempDir Path tmp;

    // d/sub/e, f, la -> d, lf -> f, dl -> nowhere.
    private String tree() throws Exception {
        sh(tmp, "mkdir -p d/sub && printf e > d/sub/e && printf f > f && ln -s d la && ln -s f lf && ln -s nowhere dl");
        return tmp.toString();
    }

    private String disk() throws Exception {
        return sh(tmp, "find . | LC_ALL=C sort && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r cksum");
    }

    interface Call {
        Object on(String path) throws Exception;
    }

    @Test
    void aSlashAfterANameThatIsNotADirectoryIsNotADirectory() throws Exception {
        String t = tree(), before = disk();
        Map<String, Call> calls = new LinkedHashMap<>();
        calls.put("delete", FileTree::delete);
        calls.put("usage", p -> FileTree.measurer(p).onError((x, e) -> fail(x + ": " + e)).run());
        calls.put("copy", p -> FileTree.copy(p, t + "/copy"));
        calls.put("walk", p -> {
            try (Stream<FileTree.Entry> s = FileTree.walk(p)) {
                return s.count();
            }
        });
        calls.put("newInputStream", p -> FileTree.newInputStream(p).readAllBytes());
        for (var c : calls.entrySet()) {
            for (String p : List.of(t + "/f/", t + "/lf/", t + "/f/x")) {
                NotDirectoryException e = assertThrows(NotDirectoryException.class, () -> c.getValue().on(p), c.getKey() + " " + p);
                assertEquals("Not a directory", e.getReason(), c.getKey() + " " + p);
            }
            assertEquals(before, disk(), c.getKey());
        }
    }

    @Test
    void aLinkToADirectoryIsTheLinkAndWithASlashItsTargetButNeverForARemoval() throws Exception {
        String t = tree(), before = disk();
        assertEquals(1, FileTree.usage(t + "/la").entries());
        assertEquals(FileTree.usage(t + "/d").toString(), FileTree.usage(t + "/la/").toString());
        NotDirectoryException e = assertThrows(NotDirectoryException.class, () -> FileTree.delete(t + "/la/"));
        assertEquals("Not a directory", e.getReason());
        assertEquals(before, disk());
        assertEquals(3, FileTree.copy(t + "/la/", t + "/copy"));
        assertEquals("e", Files.readString(tmp.resolve("copy/sub/e")));
        assertFalse(Files.isSymbolicLink(tmp.resolve("copy")));
        assertEquals(1, FileTree.copy(t + "/la", t + "/copy2"));
        assertEquals("d", Files.readSymbolicLink(tmp.resolve("copy2")).toString());
        assertEquals(1, FileTree.delete(t + "/la"));  // the link itself
        assertEquals("e", Files.readString(tmp.resolve("d/sub/e")));
        assertEquals(1, FileTree.delete(t + "/f"));  // a file alone
    }

    private static <T extends Exception> T refused(Class<T> type, String source, String target) {
        Exception e = assertThrows(Exception.class, () -> FileTree.copy(source, target), source + " to " + target);
        assertEquals(type, e.getClass(), source + " to " + target);
        return type.cast(e);
    }

    // A copy to an existing target (a directory, a dangling link, a link to a directory, with a slash
    // too) names it; into the source itself, or from or to a missing place, it is refused; nothing changes.
    @Test
    void refusedCopiesRaiseTheirExceptionAndLeaveNothingBehind() throws Exception {
        String t = tree(), before = disk();
        for (String target : List.of(t + "/d", t + "/dl", t + "/la", t + "/la/")) {
            for (String source : List.of(t + "/f", t + "/d/sub")) {
                FileAlreadyExistsException e = refused(FileAlreadyExistsException.class, source, target);
                assertEquals(List.of(target.replaceAll("/$", ""), "File exists"), List.of(e.getFile(), e.getReason()), source + " to " + target);
            }
        }
        assertEquals("[FileTree.copy] Cannot copy '" + t + "/d' into itself: '" + t + "/d/sub/copy' lies inside it",
                refused(IOException.class, t + "/d", t + "/d/sub/copy").getMessage());
        assertTrue(refused(IOException.class, t + "/d", t + "/d/copy").getMessage().startsWith("[FileTree.copy] "));
        for (String[] missing : new String[][] {{t + "/f", ""}, {t + "/d", t + "/missing/copy"}, {t + "/missing", t + "/x"}}) {
            assertEquals("No such file or directory", refused(NoSuchFileException.class, missing[0], missing[1]).getReason());
        }
        assertEquals(before, disk());
    }

    @Test
    @Tag("unprivileged")
    void theDefaultHandlerNamesARootFailureByTheRootsPath() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p locked/in && chmod 000 locked");
        List<String> logged = new ArrayList<>();
        Logger jul = Logger.getLogger(FileTree.class.getName());
        // The filter sees each record the logger would publish; false keeps it off the console.
        jul.setFilter(r -> !logged.add(java.text.MessageFormat.format(r.getMessage(), r.getParameters())));
        try {
            FileTree.measurer(tmp + "/locked").onError(FileTree.LOG_FAILURES).run();
        } finally {
            jul.setFilter(null);
            sh(tmp, "chmod 755 locked");
        }
        assertEquals(List.of(tmp + "/locked: Permission denied"), logged);
    }
}
