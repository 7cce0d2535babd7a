package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.Set;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Random byte-string names: each is listed once and leads back to its own file. */
class NameSurvivalTest {
    private static final int NAMES = 3000;

    @TempDir Path tmp;

    @Test
    void everyRandomNameReachesItsOwnFile() throws Exception {
        long seed = Long.getLong("fsutil.seed", System.nanoTime());
        System.out.println("NameSurvivalTest seed=" + seed + " names=" + NAMES + " charset=" + Charset.defaultCharset());
        Random rnd = new Random(seed);
        Map<String, byte[]> byKey = new HashMap<>();
        while (byKey.size() < NAMES) {
            byte[] name = new byte[1 + rnd.nextInt(rnd.nextInt(8) == 0 ? 255 : 24)];
            for (int i = 0; i < name.length; i++) {
                do name[i] = (byte) rnd.nextInt(256); while (name[i] == 0 || name[i] == '/');
            }
            if (!Arrays.equals(name, new byte[] {'.'}) && !Arrays.equals(name, new byte[] {'.', '.'})) {
                byKey.put(hex(name), name);
            }
        }
        // The one rule under which a name cannot survive in a UTF-8 process: a name that is not
        // UTF-8 reaches Java as its ISO-8859-1 reading, and when the UTF-8 form of that reading
        // names another existing file, the way back prefers it. Plant such twins on purpose.
        boolean utf8 = Charset.defaultCharset().equals(StandardCharsets.UTF_8);
        List<byte[]> twins = new ArrayList<>();
        for (byte[] name : new ArrayList<>(byKey.values())) {
            if (twins.size() >= 50) break;
            byte[] twin = new String(name, StandardCharsets.ISO_8859_1).getBytes(StandardCharsets.UTF_8);
            if (!isUtf8(name) && twin.length <= 255) {
                byKey.put(hex(twin), twin);
                twins.add(name);
            }
        }
        Map<String, String> dirs = new HashMap<>();  // hex of a directory name -> its marker file
        StringBuilder script = new StringBuilder("set -e\n");
        int i = 0;
        for (Map.Entry<String, byte[]> e : byKey.entrySet()) {
            // The trailing x keeps $(...) from eating line feeds at the end of a name.
            script.append("n=\"$(printf %bx '").append(octal(e.getValue())).append("')\"; n=\"${n%x}\"\n");
            String quoted = "\"$n\"";
            if (i++ % 10 == 0) {
                dirs.put(e.getKey(), "m" + i);
                script.append("mkdir -- ").append(quoted).append(" && : > ").append(quoted).append("/m").append(i).append('\n');
            } else {
                script.append(": > ").append(quoted).append('\n');
            }
        }
        Path sh = tmp.resolve("make.sh");
        Files.writeString(sh, script);
        Path dir = Files.createDirectory(tmp.resolve("names"));
        Process p = new ProcessBuilder("sh", sh.toString()).directory(dir.toFile()).inheritIO().start();
        assertEquals(0, p.waitFor());

        String parent = dir.toString();
        byte[] parentBytes = NativeFs.nativePath(parent);
        Map<String, Integer> counts = new HashMap<>();
        for (String name : FolderIteratorNix.list(parent)) counts.merge(name, 1, Integer::sum);
        // The planted twins, and any pair that the random names formed by themselves.
        Set<String> planted = new HashSet<>();
        for (byte[] b : byKey.values()) {
            String latin1 = new String(b, StandardCharsets.ISO_8859_1);
            if (!isUtf8(b) && byKey.containsKey(hex(latin1.getBytes(StandardCharsets.UTF_8)))) planted.add(latin1);
        }
        int survived = 0;
        int lost = 0;
        for (Map.Entry<String, Integer> e : counts.entrySet()) {
            String name = e.getKey();
            byte[] full = NativeFs.nativePath(parent + "/" + name);
            byte[] back = Arrays.copyOfRange(full, parentBytes.length + 1, full.length);
            if (utf8 && !planted.contains(name) && tooLongAsUtf8(name)) {
                // A name that is not UTF-8, whose ISO-8859-1 reading needs more than 255 bytes as
                // UTF-8: the first probe fails with ENAMETOOLONG, not ENOENT, so the UTF-8 form is
                // kept and leads nowhere.
                assertArrayEquals(name.getBytes(StandardCharsets.UTF_8), back);
                lost++;
                continue;
            }
            assertTrue(byKey.containsKey(hex(back)), "the way back leads nowhere: " + hex(back));
            if (utf8 && planted.contains(name)) {
                // Twin and original read the same; the way back prefers the UTF-8 twin.
                assertEquals(2, e.getValue(), "twin pair " + hex(back));
                assertArrayEquals(name.getBytes(StandardCharsets.UTF_8), back);
                lost++;
            } else {
                assertEquals(1, e.getValue(), "reported more than once: " + hex(back));
            }
            if (dirs.containsKey(hex(back))) {
                assertEquals(List.of(dirs.get(hex(back))), FolderIteratorNix.list(parent + "/" + name));
            }
            survived++;
        }
        assertEquals(byKey.size(), survived + lost, "every entry reported");
        long tooLong = counts.keySet().stream().filter(n -> !planted.contains(n) && tooLongAsUtf8(n)).count();
        assertEquals(utf8 ? planted.size() + tooLong : 0, lost);
        System.out.println("NameSurvivalTest tried=" + byKey.size() + " survived=" + survived + " lost=" + lost);
    }

    private static boolean tooLongAsUtf8(String name) {
        return name.getBytes(StandardCharsets.UTF_8).length > 255;
    }

    private static boolean isUtf8(byte[] b) {
        return Arrays.equals(new String(b, StandardCharsets.UTF_8).getBytes(StandardCharsets.UTF_8), b);
    }

    private static String hex(byte[] b) {
        StringBuilder s = new StringBuilder();
        for (byte x : b) s.append(String.format("%02x", x & 0xff));
        return s.toString();
    }

    private static String octal(byte[] b) {
        StringBuilder s = new StringBuilder();
        for (byte x : b) s.append(String.format("\\0%03o", x & 0xff));
        return s.toString();
    }
}
