package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.nio.charset.Charset;
import java.nio.file.*;
import java.util.*;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Random byte-string names: each is listed once and leads back to its own file. */
class NameSurvivalTest {
    private static final Charset LATIN1 = java.nio.charset.StandardCharsets.ISO_8859_1;
    private static final Charset UTF8 = java.nio.charset.StandardCharsets.UTF_8;
    @TempDir Path tmp;

    @Test
    void everyRandomNameReachesItsOwnFile() throws Exception {
        long seed = Long.getLong("fsutil.seed", System.nanoTime());
        Random rnd = new Random(seed);
        // Keys are the names' bytes read as ISO-8859-1: one character per byte.
        Set<String> byKey = new HashSet<>(), twins = new HashSet<>();
        while (byKey.size() < 3000) {
            byte[] name = new byte[1 + rnd.nextInt(rnd.nextInt(8) == 0 ? 255 : 24)];
            for (int i = 0; i < name.length; i++) {
                do name[i] = (byte) rnd.nextInt(256); while (name[i] == 0 || name[i] == '/');
            }
            String key = new String(name, LATIN1);
            if (!key.equals(".") && !key.equals("..")) byKey.add(key);
        }
        // In a UTF-8 process a name that is not UTF-8 reads as ISO-8859-1; when the UTF-8 form of that
        // reading names another file too (a twin), the way back leads to the twin. Plant 50 twins.
        int planted = 0;
        for (String key : new ArrayList<>(byKey)) {
            byte[] twin = key.getBytes(UTF8);
            if (planted < 50 && !isUtf8(key) && twin.length <= 255 && byKey.add(new String(twin, LATIN1))) planted++;
        }
        for (String key : byKey) if (!isUtf8(key) && byKey.contains(new String(key.getBytes(UTF8), LATIN1))) twins.add(key);
        Path dir = Files.createDirectory(tmp.resolve("names"));
        StringBuilder script = new StringBuilder("set -e\n");
        for (String key : byKey) { // the trailing x keeps $(...) from eating line feeds at the end of a name
            script.append("n=\"$(printf %bx '");
            for (byte b : key.getBytes(LATIN1)) script.append(String.format("\\0%03o", b & 0xff));
            script.append("')\"; n=\"${n%x}\"; ").append(key.hashCode() % 10 == 0 ? "mkdir -- \"$n\"; : > \"$n/m\"\n" : ": > \"$n\"\n");
        }
        Files.writeString(tmp.resolve("make.sh"), script);
        assertEquals(0, new ProcessBuilder("sh", tmp.resolve("make.sh").toString()).directory(dir.toFile()).start().waitFor());

        boolean utf8 = Charset.defaultCharset().equals(UTF8);
        int parentLen = NativeFs.nativePath(dir.toString()).length + 1, lost = 0;
        Map<String, Integer> counts = new HashMap<>();
        for (String name : FolderIteratorNix.list(dir.toString())) counts.merge(name, 1, Integer::sum);
        for (Map.Entry<String, Integer> e : counts.entrySet()) {
            String name = e.getKey();
            byte[] full = NativeFs.nativePath(dir + "/" + name);
            String back = new String(full, parentLen, full.length - parentLen, LATIN1);
            boolean twin = utf8 && twins.contains(name);
            // A name not UTF-8 whose ISO-8859-1 reading takes more than 255 bytes as UTF-8: the first probe
            // fails with ENAMETOOLONG, not ENOENT, so the UTF-8 form is kept and leads nowhere.
            boolean tooLong = utf8 && !twin && name.getBytes(UTF8).length > 255;
            String context = "seed " + seed + ", name " + HexFormat.of().formatHex(name.getBytes(LATIN1)) + " back " + back;
            if (twin || tooLong) {
                assertEquals(new String(name.getBytes(UTF8), LATIN1), back, context);
                lost++;
            }
            assertEquals(twin ? 2 : 1, e.getValue(), context);
            if (tooLong) continue;
            assertTrue(byKey.contains(back), context);
            if (back.hashCode() % 10 == 0) assertEquals(List.of("m"), FolderIteratorNix.list(dir + "/" + name), context);
        }
        assertEquals(byKey.size(), counts.values().stream().mapToInt(Integer::intValue).sum(), "seed " + seed);
        System.out.printf("NameSurvivalTest seed=%d charset=%s names=%d lost=%d%n", seed, Charset.defaultCharset(),
                byKey.size(), lost);
        if (!utf8) assertEquals(0, lost);
    }

    private static boolean isUtf8(String key) {
        byte[] b = key.getBytes(LATIN1);
        return Arrays.equals(new String(b, UTF8).getBytes(UTF8), b);
    }
}
