package com.orvan.mek.fsutil.tool;

import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/**
 * A command's single-letter flags, as GNU reads them: clustered ("-rf"), long names standing for a
 * letter ("--force"), "--" ending them; everything else, and all after "--", is an operand.
 */
final class Flags {
    private final Set<Character> seen = new HashSet<>();
    private final List<byte[]> operands = new ArrayList<>();

    /** longs: pairs of a long name (without "--") and the letter it stands for, as "force=f". */
    Flags(List<byte[]> args, String letters, String... longs) throws UsageException {
        boolean flags = true;
        for (byte[] arg : args) {
            String a = Args.text(arg);
            if (!flags || !a.startsWith("-") || a.length() == 1) {
                operands.add(arg);
            } else if (a.equals("--")) {
                flags = false;
            } else if (a.startsWith("--")) {
                seen.add(longName(a.substring(2), longs));
            } else {
                for (char c : a.substring(1).toCharArray()) {
                    if (letters.indexOf(c) < 0) throw new UsageException("unknown option '" + a + "'");
                    seen.add(c);
                }
            }
        }
    }

    private static char longName(String name, String[] longs) throws UsageException {
        for (String l : longs) {
            if (l.length() == name.length() + 2 && l.startsWith(name) && l.charAt(name.length()) == '=') return l.charAt(l.length() - 1);
        }
        throw new UsageException("unknown option '--" + name + "'");
    }

    boolean has(char letter) { return seen.contains(letter); }

    List<byte[]> operands() { return operands; }
}
