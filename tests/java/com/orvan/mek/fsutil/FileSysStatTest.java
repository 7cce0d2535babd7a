package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.*;
import java.util.function.Function;
import java.util.jar.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class FileSysStatTest {
    private static final String PREFIX = "[UNIXFileSysUtil.getFileSysStat] ";
    private static final long KNOWN_FLAGS = 1 | 2 | 4 | 8 | 1024 | 2048 | 4096; // ro nosuid nodev noexec *atime

    @TempDir Path tmp;

    private static FileSysStatUnix stat(String path) throws IOException {
        return new FileSystemStatLin().getFileSysStat(path);
    }

    private static String failure(String path) {
        return assertThrows(IOException.class, () -> stat(path)).getMessage();
    }

    private static long flagsOfMount(String mountPoint) throws IOException {
        String opts = null;
        for (String line : Files.readAllLines(Path.of("/proc/self/mounts"))) {
            String[] f = line.split(" ");
            if (f[1].equals(mountPoint)) opts = "," + f[3] + ",";
        }
        assertNotNull(opts, mountPoint);
        String[] names = {"ro", "nosuid", "nodev", "noexec", "noatime", "nodiratime", "relatime"};
        long[] bits = {1, 2, 4, 8, 1024, 2048, 4096};
        long flags = 0;
        for (int i = 0; i < names.length; i++) if (opts.contains("," + names[i] + ",")) flags |= bits[i];
        return flags;
    }

    @Test
    void valuesMatchWhatThePlatformReports() throws Exception {
        Path file = Files.writeString(tmp.resolve("f"), "x");
        for (String path : List.of(tmp.toString(), file.toString(), "/proc", "/dev/shm", "/")) {
            String[] f = sh(null, "stat -f -c '%S %s %b %f %a %c %d %i %l' '" + path + "'").trim().split(" ");
            FileSysStatUnix s = stat(path);
            String at = path + ": " + s;
            assertEquals(Long.parseLong(f[0]), s.getFragmentSize(), at);
            assertEquals(Long.parseLong(f[1]), s.getBlockSize(), at);
            assertEquals(Long.parseLong(f[2]), s.getBlocks(), at);
            assertEquals(Long.parseLong(f[5]), s.getFiles(), at);
            assertEquals(Long.parseLong(f[8]), s.getNameMax(), at);
            // Other builds write to these file systems: free counts may move a little in between.
            long slackBlocks = s.getBlocks() / 200 + 16, slackFiles = s.getFiles() / 200 + 16;
            assertEquals(Long.parseLong(f[3]), s.getFreeBlocks(), slackBlocks, at);
            assertEquals(Long.parseLong(f[4]), s.getAvailableBlocks(), slackBlocks, at);
            assertEquals(Long.parseLong(f[6]), s.getFreeFiles(), slackFiles, at);
            assertEquals(s.getFreeFiles(), s.getAvailableFiles(), slackFiles, at); // Linux has no inode reserve
            // stat(1) prints the two 32-bit words of the fsid in the opposite order to statvfs;
            // a 32-bit library's f_fsid is the low word alone, widened without sign.
            long fsid = Long.rotateLeft(Long.parseUnsignedLong(f[7], 16), 32);
            assertEquals(System.getProperty("sun.arch.data.model").equals("32") ? fsid & 0xFFFFFFFFL : fsid, s.getFsId(), at);
            if (List.of("/proc", "/dev/shm", "/").contains(path)) {
                assertEquals(flagsOfMount(path), s.getFlag() & KNOWN_FLAGS, at);
            }
            assertEquals(s.getBlocks() * s.getFragmentSize(), s.getTotalSpace(), at);
            assertEquals(s.getFreeBlocks() * s.getFragmentSize(), s.getFreeSpace(), at);
            assertEquals(s.getAvailableBlocks() * s.getFragmentSize(), s.getUsableSpace(), at);
            assertEquals((s.getFlag() & FileSysStatUnix.ST_RDONLY) != 0, s.isReadOnly(), at);
        }
    }

    @Test
    void fourClassesAgreeAndValueSemantics() throws Exception {
        String p = "/proc"; // nothing on it changes between the calls
        FileSysStatUnix lin = stat(p);
        List<FileSysStatUnix> all = List.of(new FileSystemStatFbd().getFileSysStat(p),
                new FileSystemStatMac().getFileSysStat(p), new FileSystemStatSos().getFileSysStat(p), lin);
        for (FileSysStatUnix s : all) {
            assertEquals(lin, s);
            assertEquals(lin.hashCode(), s.hashCode());
            assertEquals(lin.toString(), s.toString());
        }
        assertNotEquals(lin, stat("/dev/shm"));
        FileSysStatUnix v = new FileSysStatUnix(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);
        for (int i = 0; i < 11; i++) { // every value takes part in equality
            long[] a = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
            a[i] += 100;
            assertNotEquals(v, new FileSysStatUnix(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10]));
        }
        assertEquals(Long.MAX_VALUE, new FileSysStatUnix(1, 1L << 40, 1L << 40, 0, 0, 0, 0, 0, 0, 0, 0).getTotalSpace());
    }

    @Test
    void badPathsRaiseIOExceptionWithExactText() throws Exception {
        String missing = tmp + "/missing\u00e9";
        assertEquals(PREFIX + "statvfs failed for '" + missing + "'. Error='No such file or directory'", failure(missing));
        assertEquals(PREFIX + "statvfs failed for ''. Error='No such file or directory'", failure(""));
        Path file = Files.createFile(tmp.resolve("plain"));
        assertEquals(PREFIX + "statvfs failed for '" + file + "/x'. Error='Not a directory'", failure(file + "/x"));
        assertTrue(failure(null).startsWith(PREFIX));

        String longPath = tmp + "/" + "d".repeat(5000 - tmp.toString().length() - 1);
        byte[] msg = failure(longPath).getBytes(StandardCharsets.UTF_8);
        assertTrue(msg.length <= 1023, "message of " + msg.length + " bytes");
        assertTrue(new String(msg, StandardCharsets.UTF_8).startsWith(PREFIX + "statvfs failed for '" + tmp), "cut");

        // Modified UTF-8 (UTF-8 codeset) or '?' / refusal (other codesets): never a crash, always an IOException.
        for (String odd : List.of(tmp + "/\ud83d\ude00", tmp + "/a\u0000b", "\u0000", "\ud800")) {
            assertTrue(failure(odd).startsWith(PREFIX), odd);
        }
    }

    @Test
    void noSearchPermission() throws Exception {
        assumeFalse(isRoot(), "root passes every permission check");
        Path locked = Files.createDirectory(tmp.resolve("locked"));
        Files.createDirectory(locked.resolve("in"));
        Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("---------"));
        try {
            assertEquals(PREFIX + "statvfs failed for '" + locked + "/in'. Error='Permission denied'",
                    failure(locked + "/in"));
        } finally {
            Files.setPosixFilePermissions(locked, PosixFilePermissions.fromString("rwx------"));
        }
    }

    /** Free counts move while other builds write to the same file system: compare the fixed ones. */
    private static void assertSameFileSystem(String a, String b) throws IOException {
        FileSysStatUnix x = stat(a), y = stat(b);
        assertEquals(List.of(x.getFsId(), x.getBlocks(), x.getFiles()), List.of(y.getFsId(), y.getBlocks(), y.getFiles()));
    }

    @Test
    void pathCharsetFollowsTheLocale() throws Exception {
        if (UTF8) {
            Files.createFile(tmp.resolve("\u00e9")); // bytes C3 A9
            assertSameFileSystem(tmp.toString(), tmp + "/\u00e9");
            sh(tmp, "mkdir sub && touch \"sub/$(printf '\\351')\"");
            // Statistics do not retry in ISO-8859-1: the byte E9 alone is not found.
            assertTrue(failure(tmp + "/sub/\u00e9").endsWith("Error='No such file or directory'"));
        } else {
            sh(tmp, "touch \"$(printf '\\351')\"");
            assertSameFileSystem(tmp.toString(), tmp + "/\u00e9");
        }
    }

    /** Runs in a child JVM whose classpath lacks FileSysStatUnix. */
    static final class MissingResultClass {
        public static void main(String[] args) {
            System.out.println("BEFORE");
            try {
                Object o = new FileSystemStatLin().getFileSysStat(args[0]);
                System.out.println("|RESULT " + o);
            } catch (Throwable t) {
                Throwable c = t.getCause();
                System.out.println("|THROWN " + t.getClass().getName() + ": " + t.getMessage());
                System.out.println("CAUSE " + (c == null ? "none" : c.getClass().getName()));
                System.out.println("SUPPRESSED " + t.getSuppressed().length);
            }
            System.out.println("END");
        }
    }

    @Test
    void missingResultClassGivesOneIOException() throws Exception {
        Path classes = Files.createDirectory(tmp.resolve("classes"));
        try (JarFile jar = new JarFile(JAR)) {
            for (JarEntry e : (Iterable<JarEntry>) jar.stream()::iterator) {
                if (!e.getName().endsWith(".class") || e.getName().endsWith("/FileSysStatUnix.class")) continue;
                Path to = classes.resolve(e.getName());
                Files.createDirectories(to.getParent());
                try (InputStream in = jar.getInputStream(e)) {
                    Files.copy(in, to);
                }
            }
        }
        assertTrue(Files.exists(classes.resolve("com/orvan/mek/fsutil/FileSystemStatLin.class")));
        String testsJar = Path.of(TestUtil.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
        Result r = run(null, java("-Djava.library.path=" + LIBDIR, "-cp", classes + ":" + testsJar,
                MissingResultClass.class.getName(), "/"));
        String out = r.text(), all = out + r.err();
        String msg = PREFIX + "FindClass returns NULL for 'com/orvan/mek/fsutil/FileSysStatUnix'";
        assertEquals(0, r.status(), all);
        Function<String, Integer> count = s -> out.split(java.util.regex.Pattern.quote(s), -1).length - 1;
        assertEquals(1, count.apply("|THROWN"), all);
        // The diagnostic is printed without a line break, right before Java's own next output.
        assertTrue(out.contains("BEFORE\n" + msg + "|THROWN java.io.IOException: " + msg + "\n"), all);
        assertTrue(out.contains("CAUSE java.lang.NoClassDefFoundError\nSUPPRESSED 0\nEND\n"), all);
        assertFalse(all.contains("WARNING in native method"), all);
        assertFalse(all.contains("FATAL ERROR"), all);
    }
}
