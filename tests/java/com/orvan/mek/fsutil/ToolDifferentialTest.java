package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// The tool against GNU find, du and rm: one table of command lines, each run by both on the same
// random tree (its seed printed; -Dfsutil.seed=N repeats it), in this JVM's locale and in C, the
// tree named by a Latin-1 byte. Compared: stdout bytes (sorted where the order is readdir's),
// stderr lines (ours without "fsutil: ") and the exit status.
class ToolDifferentialTest {
    @TempDir Path tmp;

    private static final long SEED = Long.getLong("fsutil.seed", new Random().nextLong());
    private static final String JAVA = System.getProperty("java.home") + "/bin/java -Xcheck:jni";

    // @find, @du, @rm: the program under test; $T: the tree. -s (BSD's, sorted) is left out for GNU
    // find, whose output is then put in that order.
    private static final List<String> READ = List.of("@find $T", "@find $T -print0", "@find $T -maxdepth 0",
            "@find $T -maxdepth 2", "@find $T -depth", "@find $T -depth -maxdepth 3", "@find -L $T", "@find -L $T -depth -maxdepth 4",
            "@find $T -xdev", "@find $T -s", "@find $T -s -depth", "@find -L $T -s -maxdepth 3", "@find $T/missing $T/f0 $T/fifo $T/",
            "cd $T && @find", "@find -- $T/-dash", "@du $T", "@du -s $T", "@du -b $T", "@du -sb $T", "@du -x $T",
            "@du -b -- $T/missing $T/-dash $T/d0//", "cd $T/d0 && @du", "@du -sbx $T/f0");
    // Each on a tree of its own.
    private static final List<String> REMOVE = List.of("@rm $T/f0 $T/d0 $T/missing", "@rm -f $T/missing $T/f0", "@rm -r $T/d0",
            "@rm -rf $T/missing $T", "@rm -fr -- $T/-dash", "@rm -f", "@rm -r $T/. $T/d0/..");

    // Twins (E9 and C3 A9, which read alike in UTF-8; "?" and E9, alike where E9 becomes "?"), each
    // named by its bytes: the command acts on that one, in every locale, and the other survives byte for byte.
    private static final String TWINS = "set -e\nT=\"$(printf 'r\\351')\" L=\"$(printf 'caf\\351')\" U=\"$(printf 'caf\\303\\251')\"\n"
            + "mkdir \"$T\" && cd \"$T\" && mkdir \"$L\" \"$U\" 'caf?' && printf latin1 > \"$L/l\" && printf utf8 > \"$U/u\" && printf q > 'caf?/q'\n"
            + "printf 1 > \"f$L\" && printf 22 > \"f$U\" && printf 333 > 'fcaf?' && printf x > f0 && mkdir -p d/sub ex && printf y > d/sub/e\n"
            + "ln -s d la && ln -s f0 lf && ln -s nowhere dl && ln -s ex exlink\n";
    private static final List<String> TWIN_LINES = List.of("@find \"$T/$L\"", "@find \"$T/$U\" \"$T/caf?\"", "@du \"$T/$L\"",
            "@du -sb \"$T/$U\" \"$T/f$L\"", "@ls \"$T/$L\" \"$T/caf?\"", "@ls \"$T/$U\"", "@rm -r \"$T/$L\"", "@rm -r \"$T/caf?\"",
            "@rm -r \"$T/$U\"", "@rm \"$T/f$L\" \"$T/fcaf?\"", "@rm \"$T/f$U\"", "@cp -a \"$T/$L\" \"$T/new$L\"", "@cp -a \"$T/f$U\" \"$T/g$L\"",
            "@cp -a \"$T/caf?\" \"$T/$U\"");
    // GNU's rules for a '/' after a name and for a link given as an argument.
    private static final List<String> SLASH_LINES = List.of("@rm $T/f0/", "@rm -r $T/f0/ $T/lf/", "@rm $T/la/", "@du $T/f0/",
            "@du $T/f0/x", "@du $T/la", "@du $T/la/", "@du -s $T/la/", "@find $T/f0/x", "@find $T/f0/", "@find $T/dl $T/la", "@find $T/la/",
            "@find -L $T/la", "@cp -a $T/f0/ $T/out", "@cp -a $T/f0 $T/exlink", "@cp -a $T/la/ $T/out", "@cp -a $T/la $T/out");

    // Usage errors: the status and an empty stdout as GNU's (the wording is ours).
    private static final List<String> MISUSE = List.of("@find $T -maxdepth", "@find $T -maxdepth -1", "@find $T -maxdepth x", "@find $T -q",
            "@du -q $T", "@rm -q $T", "@rm");

    private String built;  // the tree in gnu/, unchanged since

    private record Run(int status, List<String> out, List<String> err) {}

    // Runs line in dir with the tool or GNU's program, in the locale named (null: this JVM's), the tree named $T.
    private Run run(Path dir, String line, boolean tool, String locale) throws Exception {
        Path errors = tmp.resolve("stderr");
        String script = "T=\"$(printf 'r\\351')\" L=\"$(printf 'caf\\351')\" U=\"$(printf 'caf\\303\\251')\"\n"
                + (locale == null ? "" : "export LC_ALL=" + locale + "\n") + "("
                + (tool ? line.replaceAll("@(find|du|rm|ls|cp)", JAVA + " -Djava.io.tmpdir=" + tmp + "/scratch -jar " + JAR + " $1")
                        : line.replace("@ls", "ls -U").replaceAll("@(find|du|rm|cp)", "$1").replaceAll("(find.*) -s( |$)", "$1$2")) + ") 2>" + errors;
        Result r = TestUtil.run(dir, "sh", "-c", script);
        List<String> out = List.of(new String(r.out(), StandardCharsets.ISO_8859_1).split(line.contains("-print0") ? "\0" : "\n"));
        List<String> err = Arrays.stream(new String(Files.readAllBytes(errors), StandardCharsets.ISO_8859_1).split("\n"))
                .filter(l -> !l.isEmpty()).map(l -> l.replaceFirst("^fsutil: ", "")).sorted().toList();
        return new Run(r.status(), out, err);
    }

    // Runs line with both programs in dir (for rm, each in a tree of its own) and compares.
    private void compare(String tree, String line, String locale) throws Exception {
        String what = line + (locale == null ? "" : " (LC_ALL=" + locale + ")") + ", seed " + SEED;
        boolean remove = line.contains("@rm") || line.contains("@cp");
        Path gnuDir = tmp.resolve("gnu"), toolDir = remove ? tmp.resolve("tool") : gnuDir;
        for (Path d : new LinkedHashSet<>(List.of(gnuDir, toolDir))) {
            if (!remove && tree.equals(built)) continue;  // the tree as the last case left it: only rm changes one
            if (Files.exists(d)) sh(tmp, "chmod -R u+rwx " + d.getFileName() + " && rm -rf " + d.getFileName());
            Files.createDirectories(d);
            sh(d, tree);
        }
        built = remove ? null : tree;
        Run gnu = run(gnuDir, line, false, locale), ours = run(toolDir, line, true, locale);
        if (MISUSE.contains(line)) {
            assertEquals(List.of(gnu.status(), gnu.out()), List.of(ours.status(), ours.out()), what);
            assertEquals(1, ours.err().size(), what);
            return;
        }
        if (line.matches("@find.* -s( .*|$)")) {  // BSD's -s: each directory's entries by their bytes, the directory first (-depth: last)
            boolean post = line.contains("-depth");
            same(gnu.out().stream().sorted((a, b) -> treeOrder(a, b, post)).toList(), ours.out(), what + ", stdout in order");
        } else {
            same(gnu.out(), ours.out(), what + ", stdout");  // both in readdir order
        }
        if (!line.contains("@cp")) same(gnu.err(), ours.err(), what + ", stderr");  // cp's wording is ours
        assertEquals(gnu.status(), ours.status(), what);
        if (remove) assertEquals(onDisk(gnuDir), onDisk(toolDir), what);
    }

    // Every path below dir, and every file's bytes (a checksum; what cannot be read, its failure): what a removal or a copy left.
    private static String onDisk(Path dir) throws Exception {
        return sh(dir, "find . | LC_ALL=C sort; find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r cksum 2>&1; true");
    }

    // Lists compared; on a difference, the lines only one side has (or, for the same lines in another order, both).
    private static void same(List<String> gnu, List<String> ours, String what) {
        if (gnu.equals(ours)) return;
        List<String> onlyGnu = new ArrayList<>(gnu), onlyOurs = new ArrayList<>(ours);
        onlyGnu.removeAll(ours);
        onlyOurs.removeAll(gnu);
        if (onlyGnu.isEmpty() && onlyOurs.isEmpty()) assertEquals(gnu, ours, what);
        fail(what + ": GNU's only " + onlyGnu.stream().limit(10).toList() + ", ours only " + onlyOurs.stream().limit(10).toList());
    }

    // Paths compared name by name, bytes unsigned; a directory before what it holds (post: after).
    private static int treeOrder(String a, String b, boolean post) {
        String[] x = a.split("/", -1), y = b.split("/", -1);
        for (int i = 0; i < Math.min(x.length, y.length); i++) {
            int c = x[i].compareTo(y[i]);  // ISO-8859-1 chars: byte order
            if (c != 0) return c;
        }
        return post ? y.length - x.length : x.length - y.length;
    }

    // A random tree as a shell script, the same for a seed, made in the current directory as $T:
    // files "f0" and "-dash", a FIFO "fifo", a directory "d0", names in mixed encodings (no two that read alike),
    // files of random sizes, hard links across directories, links to files, to a directory and to
    // nowhere (none back up the tree: GNU find -L reports loops in its own way, see README), FIFOs,
    // chains of 18 and 100 levels.
    static String tree(Random rnd) {
        StringBuilder sh = new StringBuilder("set -e\nT=\"$(printf 'r\\351')\"\nmkdir \"$T\" && cd \"$T\" && R=$(pwd)\n"
                + "mkdir -p d0/sub tgt && printf x > f0 && printf y > ./-dash && printf z > tgt/in && touch d0/sub/e && mkfifo fifo\n"
                + "mkdir -p c18" + "/d".repeat(18) + " c100" + "/d".repeat(100) + " && ln f0 c100" + "/d".repeat(50) + "/hard\n");
        List<String> files = new ArrayList<>(List.of("f0"));
        branch(sh, rnd, 0, "", files, new HashSet<>());
        return sh.toString();
    }

    private static void branch(StringBuilder sh, Random rnd, int depth, String here, List<String> files, Set<String> seen) {
        for (int n = 2 + rnd.nextInt(4); n > 0; n--) {
            String q = randomName(rnd, seen, here + "/");
            if (q == null) continue;
            String path = here.isEmpty() ? q : here + "/" + q;
            switch (rnd.nextInt(depth < 3 ? 8 : 5)) {
                case 0 -> sh.append("ln -s \"$R\"/tgt " + q + "\n");
                case 1 -> sh.append("ln -s nowhere " + q + "\n");
                case 2 -> sh.append("mkfifo " + q + "\n");
                case 3 -> sh.append("ln \"$R\"/" + files.get(rnd.nextInt(files.size())) + " " + q + "\n");
                case 4 -> {
                    sh.append("head -c " + rnd.nextInt(20000) + " /dev/zero > " + q + "\n");
                    files.add(path);
                }
                default -> {
                    sh.append("mkdir " + q + " && cd " + q + "\n");
                    branch(sh, rnd, depth + 1, path, files, seen);
                    sh.append("cd ..\n");
                }
            }
        }
    }

    @BeforeAll
    static void seed() {
        System.out.println("ToolDifferentialTest seed " + SEED + " (-Dfsutil.seed=" + SEED + " repeats it)");
    }

    @AfterEach
    void unlock() throws Exception {
        sh(tmp, "chmod -R u+rwx . && rm -rf gnu tool");  // what a test locked, also one that failed; paths past what the JDK removes
    }

    @Test
    void everyCommandLineMatchesGnu() throws Exception {
        compareAll(tree(new Random(SEED)), Stream.of(READ, REMOVE, MISUSE).flatMap(List::stream).toList());
        assertEquals(List.of(), Files.list(tmp.resolve("scratch")).toList());  // the library extracted from the jar left nothing
    }

    @Test
    void twinsAreTreatedByTheirBytesAsGnuTreatsThem() throws Exception {
        compareAll(TWINS, TWIN_LINES);
    }

    @Test
    void trailingSlashesAndLinksAsArgumentsFollowGnusRules() throws Exception {
        compareAll(TWINS, SLASH_LINES);
    }

    // GNU empties a link's target and then fails on "rm -r la/": ours fails alone and removes nothing.
    @Test
    void aLinkToADirectoryWithASlashIsNotRemovedNorEmptied() throws Exception {
        Files.createDirectories(tmp.resolve("scratch"));
        Path dir = Files.createDirectories(tmp.resolve("tool"));
        sh(dir, TWINS);
        String before = onDisk(dir);
        for (String locale : List.of("C", "C.UTF-8")) {
            assertEquals(new Run(1, List.of(""), List.of("rm: cannot remove 'r'$'\\351''/la/': Not a directory")),
                    run(dir, "@rm -r $T/la/", true, locale), locale);
            assertEquals(before, onDisk(dir), locale);
        }
    }

    @Test
    void aNameWithANewlineIsQuotedOnOneLine() throws Exception {
        Files.createDirectories(tmp.resolve("scratch"));
        Path dir = Files.createDirectories(tmp.resolve("gnu"));
        sh(dir, "mkdir -p \"$(printf 'a\\nb')/x\" && chmod 000 \"$(printf 'a\\nb')\"");
        for (String line : List.of("@rm \"$(printf 'a\\nb')\"", "@du \"$(printf 'a\\nc')\"", "@ls \"$(printf 'a\\nc')\"",
                "@cp -a \"$(printf 'a\\nc')\" z", "@find \"$(printf 'a\\nc')\"")) {
            Run ours = run(dir, line, true, "C.UTF-8");
            assertEquals(1, ours.err().size(), line + ": " + ours.err());
            assertTrue(ours.err().get(0).contains("'a'$'\\n''") || ours.err().get(0).contains("a\\n"), line + ": " + ours.err());
            if (!line.contains("@cp")) assertEquals(run(dir, line, false, "C.UTF-8").err(), ours.err(), line);
        }
        sh(dir, "chmod 755 \"$(printf 'a\\nb')\"");
    }

    @Test
    void dfPrintsTheElevenValuesAndFailsForAMissingPath() throws Exception {
        Result r = tool("df", "/proc", "/nonexistent");
        assertEquals(1, r.status(), r::err);
        assertEquals("fsutil: df: /nonexistent: No such file or directory\n", r.err());
        FileSysStatUnix s = new FileSystemStatLin().getFileSysStat("/proc"); // nothing on it changes
        assertEquals(List.of("File system of: /proc", s.getBlockSize(), s.getFragmentSize(), s.getBlocks(), s.getFreeBlocks(),
                s.getAvailableBlocks(), s.getFiles(), s.getFreeFiles(), s.getAvailableFiles(), "0x" + Long.toHexString(s.getFsId()),
                "0x" + Long.toHexString(s.getFlag()), s.getNameMax()).toString(),
                Arrays.toString(r.text().replaceAll("(?m)^  .{28} +(\\S+).*$", "$1").split("\n")));
    }

    @Test
    void lsPrintsTheReportedNamesAndFailsForAMissingDirectory() throws Exception {
        Files.createDirectory(tmp.resolve("d"));
        Result ls = tool("ls", fixture(tmp.resolve("d")), tmp + "/missing");
        assertEquals(1, ls.status(), ls::err);
        assertEquals(List.of(tmp + "/d:", "dangling", "file", "f\u00e9", "sub", "\u00c3\u00a9", "\u00e9"), records(ls.out(), "\n"));
        assertEquals("fsutil: ls: cannot access '" + tmp + "/missing': No such file or directory\n", ls.err());
    }

    @Test
    void readlinkPrintsLongTargetsWholeAndFailsForANonLink() throws Exception {
        String target = "u" + "/t".repeat(600); // longer than a first guess at a buffer would be
        Files.createSymbolicLink(tmp.resolve("link"), Path.of(target));
        Result link = tool("readlink", tmp + "/link", tmp.toString());
        assertEquals(1, link.status(), link::err);
        assertEquals(target + "\n", link.text());
        assertEquals("fsutil: readlink: " + tmp + ": Invalid argument\n", link.err());
    }

    // --help: status 0 and the usage of its command; a usage error: status 2 and a line on stderr.
    @Test
    void helpPrintsTheUsageOfItsCommandAndUsageErrorsExitWithTwo() throws Exception {
        for (String[] args : List.of(new String[] {"--help"}, new String[] {"find", "-L", "--help"}, new String[] {"du", "--help", "--", "x"},
                new String[] {"rm", "--help"}, new String[] {"ls", "--help"}, new String[0], new String[] {"frobnicate", "/"}, new String[] {"ls"})) {
            Result r = tool(args);
            boolean help = List.of(args).contains("--help");
            assertEquals(help ? 0 : 2, r.status(), r::err);
            if (help) assertTrue(r.text().startsWith(args.length == 1 ? "usage: java -jar fsutil.jar" : "usage: fsutil " + args[0] + " "), r::text);
            else assertTrue(r.err().startsWith(args.length == 0 ? "usage:" : "fsutil: "), r::err);
        }
    }

    // The random tree with unreadable directories (000, and -wx: searchable), named to be quoted: 10
    // levels down, and (top) at the top, with one whose entries cannot be removed (r-x).
    private static String locked(boolean top) {
        String d = "\"c18" + "/d".repeat(10) + "/x $(printf '\\351')\"";
        return tree(new Random(SEED)) + "mkdir -p " + d + "/in && chmod 000 " + d + "\n"
                + (top ? "mkdir -p closed/in wonly/in \"it's\"/in && touch closed/f wonly/in/g \"it's\"/f && chmod 000 closed \"it's\" && chmod 300 wonly"
                        + " && mkdir -p ro/in && touch ro/f && chmod 555 ro\n" : "");
    }

    private void compareAll(String tree, List<String> lines) throws Exception {
        Files.createDirectories(tmp.resolve("scratch"));
        for (String locale : Arrays.asList(null, "C")) {
            for (String line : lines) compare(tree, line, locale);
        }
    }

    @Test
    @Tag("unprivileged")
    void unreadableDirectoriesAreReportedAndCountedAsGnuDoes() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        for (boolean top : List.of(false, true)) compareAll(locked(top), Stream.concat(READ.stream(), REMOVE.stream()).toList());
    }

    // The random tree with directories that may be read but not searched (r--), at the top and (deep) 60 levels down.
    private static String unsearchable(boolean deep) {
        String d = deep ? " c100" + "/d".repeat(59) + "/rn" : "";
        return tree(new Random(SEED)) + "mkdir -p ns/sub/in" + d + (deep ? "/sub" : "") + " && touch ns/f" + (deep ? d + "/f" : "")
                + " && chmod 644 ns" + d + "\n";
    }

    @Test
    @Tag("unprivileged")
    void directoriesThatMayBeReadButNotSearchedAreRemovedAndListedAsGnuDoes() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        compareAll(unsearchable(false), REMOVE);
        // find lists the names; du (which needs each entry's size) is not held to GNU here: see the README.
        compareAll(unsearchable(true), READ.stream().filter(l -> !l.contains("@du")).toList());
    }

    // A chain of 5,000 directories "d" below $T with a file "f" in each (paths to 10,000 bytes), built
    // from 100-level pieces nested by renaming, each step with a short path.
    private static final String CHAIN = "set -e\nT=\"$(printf 'r\\351')\"\nmkdir \"$T\"\nfor i in $(seq 50); do mkdir -p new" + "/d".repeat(99)
            + " && p=new && for j in $(seq 100); do : > $p/f && p=$p/d; done && if [ -e c ]; then mv c new" + "/d".repeat(99) + "/d; fi && mv new c; done\n"
            + "mv c \"$T\"/d\n";

    // The chain and 20 names of 250 bytes.
    private static final String DEEP = CHAIN + "cd \"$T\" && mkdir long && (cd long && for i in 1 2; do mkdir -p "
            + ("n".repeat(250) + "/").repeat(10) + " && cd -P " + ("n".repeat(250) + "/").repeat(10) + "; done)\n";

    @Test
    void postOrderOfDeepChainsMatchesGnu() throws Exception {
        Files.createDirectories(tmp.resolve("scratch"));
        compare(DEEP, "@find $T -depth", null);
    }

    @Tag("long")
    @Test
    void chainsOf5000LevelsAndPastPathMaxMatchGnu() throws Exception {
        String tree = DEEP;
        Files.createDirectories(tmp.resolve("scratch"));
        for (String line : List.of("@find $T", "@du $T", "@du -s $T", "@find -L $T -maxdepth 15", "@rm -r $T")) compare(tree, line, null);  // -L: GNU then goes by path
        // Without -r a directory stays, whatever the length of its path; GNU's rm cannot even name it.
        sh(tmp, "rm -rf gnu tool && mkdir tool");
        Path dir = tmp.resolve("tool");
        sh(dir, tree);
        String deep = "$T" + "/d".repeat(4000), count = "find \"$(printf 'r\\351')\" | wc -l";
        String before = sh(dir, count);
        assertEquals(new Run(1, List.of(""), List.of("rm: cannot remove '" + deep.replace("$T", "r'$'\\351''") + "': Is a directory")),
                run(dir, "@rm " + deep, true, "C"));
        assertEquals(before, sh(dir, count));
    }
}
