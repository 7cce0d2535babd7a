package com.orvan.mek.fsutil;

import static java.nio.charset.StandardCharsets.ISO_8859_1;
import static java.nio.charset.StandardCharsets.UTF_8;
import static org.junit.jupiter.api.Assertions.*;

import java.nio.charset.Charset;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Random byte-string names: each is listed once and leads back to its own file.
class NameSurvivalTest {
    @TempDir Path tmp;

    @Test
    void everyRandomNameReachesItsOwnFile() throws Exception {
        long seed = Long.getLong("fsutil.seed", System.nanoTime());
        Random rnd = new Random(seed);
        // Keys are the names' bytes read as ISO-8859-1: one character per byte.
        Set<String> byKey = new HashSet<>();
        while (byKey.size() < 3000) {
            byte[] name = new byte[1 + rnd.nextInt(rnd.nextInt(8) == 0 ? 255 : 24)];
            for (int i = 0; i < name.length; i++) {
                do name[i] = (byte) rnd.nextInt(256); while (name[i] == 0 || name[i] == '/');
            }
            String key = new String(name, ISO_8859_1);
            if (!key.equals(".") && !key.equals("..")) byKey.add(key);
        }
        // In a UTF-8 process a name that is not UTF-8 reads as ISO-8859-1; when the UTF-8 form of that
        // reading names another file too (a twin), the way back leads to the twin. Plant 50 twins.
        int planted = 0;
        for (String key : new ArrayList<>(byKey)) {
            if (planted < 50 && twinOf(key).length() <= 255 && !isUtf8(key) && byKey.add(twinOf(key))) planted++;
        }
        StringBuilder script = new StringBuilder("set -e\n");
        for (String key : byKey) { // the trailing x keeps $(...) from eating line feeds at the end of a name
            script.append("n=\"$(printf %bx '");
            for (byte b : key.getBytes(ISO_8859_1)) script.append(String.format("\\0%03o", b & 0xff));
            script.append("')\"; n=\"${n%x}\"; ").append(key.hashCode() % 10 == 0 ? "mkdir -- \"$n\"; : > \"$n/m\"\n" : ": > \"$n\"\n");
        }
        Path dir = Files.createDirectory(tmp.resolve("names"));
        Files.writeString(tmp.resolve("make.sh"), script);
        TestUtil.sh(dir, "sh ../make.sh");

        int parentLen = NativeFs.nativePath(dir.toString()).length + 1, lost = 0;
        Map<String, Integer> counts = new HashMap<>();
        for (String name : FolderIteratorNix.list(dir.toString())) counts.merge(name, 1, Integer::sum);
        for (Map.Entry<String, Integer> e : counts.entrySet()) {
            String name = e.getKey();
            byte[] full = NativeFs.nativePath(dir + "/" + name);
            String back = new String(full, parentLen, full.length - parentLen, ISO_8859_1);
            boolean twin = TestUtil.UTF8 && !isUtf8(name) && byKey.contains(name) && byKey.contains(twinOf(name));
            // A name not UTF-8 whose ISO-8859-1 reading takes more than 255 bytes as UTF-8: the first probe
            // fails with ENAMETOOLONG, not ENOENT, so the UTF-8 form is kept and leads nowhere.
            boolean tooLong = TestUtil.UTF8 && !twin && twinOf(name).length() > 255;
            String context = "seed " + seed + ", name " + HexFormat.of().formatHex(name.getBytes(ISO_8859_1)) + " back " + back;
            assertEquals(twin ? 2 : 1, e.getValue(), context);
            if (twin || tooLong) {
                assertEquals(twinOf(name), back, context);
                lost++;
            } else {
                assertTrue(byKey.contains(back), context);
                if (back.hashCode() % 10 == 0) assertEquals(List.of("m"), FolderIteratorNix.list(dir + "/" + name), context);
            }
        }
        assertEquals(byKey.size(), counts.values().stream().mapToInt(Integer::intValue).sum(), "seed " + seed);
        System.out.printf("NameSurvivalTest seed=%d charset=%s names=%d lost=%d%n", seed, Charset.defaultCharset(), byKey.size(), lost);
        assertTrue(TestUtil.UTF8 || lost == 0, "seed " + seed);
    }

    // The UTF-8 bytes of a key's characters, as a key.
    private static String twinOf(String key) {
        return new String(key.getBytes(UTF_8), ISO_8859_1);
    }

    private static boolean isUtf8(String key) {
        return twinOf(new String(key.getBytes(ISO_8859_1), UTF_8)).equals(key);
    }
}
