package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static java.nio.charset.StandardCharsets.ISO_8859_1;
import static org.junit.jupiter.api.Assertions.*;

import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Which charset names are read in: the JVM's default one, UTF-8 in every locale from JDK 18 on,
// the locale's under -Dfile.encoding=COMPAT (and on 17). Child JVMs in this JVM's locale walk a
// tree whose names are "é" as UTF-8 (C3 A9) and as ISO-8859-1 (E9), each file holding its name's hex.
class DefaultCharsetTest {
    @TempDir Path tmp;

    @Test
    void namesAreReadInTheDefaultCharsetInForceAndEachLeadsToItsOwnFile() throws Exception {
        sh(tmp, "printf c3a9 > \"$(printf '\\303\\251')\" && printf e9 > \"$(printf '\\351')\"");
        Charset locale = Charset.forName(System.getProperty("native.encoding"));
        boolean jep400 = Runtime.version().feature() >= 18;
        List<List<String>> runs = new ArrayList<>(List.of(List.of()));
        if (jep400) runs.add(List.of("-Dfile.encoding=COMPAT"));
        for (List<String> flags : runs) {
            Charset expected = jep400 && flags.isEmpty() ? StandardCharsets.UTF_8 : locale;
            String[] args = Stream.concat(flags.stream(), Stream.of("--enable-native-access=ALL-UNNAMED",
                    "-cp", JAR + ":" + Path.of(Walk.class.getProtectionDomain().getCodeSource().getLocation().toURI()),
                    Walk.class.getName(), tmp.toString())).toArray(String[]::new);
            Result r = java(args);
            assertEquals(0, r.status(), r::err);
            List<String> lines = r.text().lines().toList();
            assertEquals("charset " + expected.name(), lines.get(0), flags::toString);
            // Each name: its bytes in that charset where they read back as themselves, else one char per byte.
            List<String> want = new ArrayList<>();
            for (String hex : List.of("c3a9", "e9")) {
                byte[] b = HexFormat.of().parseHex(hex);
                String s = new String(b, expected);
                want.add((Arrays.equals(s.getBytes(expected), b) ? s : new String(b, ISO_8859_1)).chars()
                        .mapToObj(c -> String.format("%04x", c)).reduce("", String::concat) + " " + hex);
            }
            assertEquals(want.stream().sorted().toList(), lines.subList(1, lines.size()), flags.toString());
        }
    }

    // The child: its default charset, then each entry's name (UTF-16 units in hex) and what its toPath() reads.
    static final class Walk {
        public static void main(String[] args) throws Exception {
            System.out.println("charset " + Charset.defaultCharset().name());
            List<String> lines = new ArrayList<>();
            try (Stream<FileTree.Entry> walk = FileTree.walk(args[0])) {
                for (FileTree.Entry e : (Iterable<FileTree.Entry>) walk::iterator) {
                    String name = e.name().chars().mapToObj(c -> String.format("%04x", c)).reduce("", String::concat);
                    lines.add(name + " " + new String(Files.readAllBytes(e.toPath()), StandardCharsets.US_ASCII));
                }
            }
            lines.stream().sorted().forEach(System.out::println);
        }
    }
}
