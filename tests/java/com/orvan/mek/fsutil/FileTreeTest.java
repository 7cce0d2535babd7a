package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import com.orvan.mek.fsutil.FileTree.Entry;
import com.orvan.mek.fsutil.FileTree.Option;
import java.io.*;
import java.net.*;
import java.nio.channels.ServerSocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.time.Duration;
import java.time.Instant;
import java.util.*;
import java.util.function.Predicate;
import java.util.stream.*;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class FileTreeTest {
    @TempDir Path tmp;

    // A random tree as a shell script: names in mixed encodings, each file holding its own name's bytes.
    static void tree(StringBuilder sh, Random rnd, int depth) {
        Set<String> seen = new HashSet<>();
        for (int n = 2 + rnd.nextInt(4); n > 0; n--) {
            String q = randomName(rnd, seen, "");
            if (q == null) continue;
            int kind = Math.min(4, rnd.nextInt(depth < 4 ? 6 : 4));  // a link to a directory, a dangling one, FIFO, file, directory
            sh.append(new String[] {"ln -s ../.. ", "ln -s nowhere ", "mkfifo ", "printf %s " + q + " > ", "mkdir "}[kind] + q + "\n");
            if (kind < 4) continue;
            sh.append("cd " + q + "\n");
            tree(sh, rnd, depth + 1);
            sh.append("cd ..\n");
        }
    }

    // find(1)'s view of root: path (as the library reads names) to "type size inode links perms uid gid mtime".
    private static Map<String, String> find(Path root, String... options) throws Exception {
        Result r = run(root, Stream.of(Stream.of("find"), Stream.of(options), Stream.of(".", "-mindepth", "1", "!", "-type", "s",
                "!", "-type", "b", "!", "-type", "c", "-printf", "%P\\0%y %s %i %n %m %U %G %T@\\0")).flatMap(x -> x).toArray(String[]::new));
        String[] fields = new String(r.out(), StandardCharsets.ISO_8859_1).split("\0");
        Map<String, String> view = new HashMap<>();
        for (int i = 0; i < fields.length; i += 2) {
            view.put(Arrays.stream(fields[i].split("/")).map(c -> c.getBytes(StandardCharsets.ISO_8859_1))
                    .map(b -> NameCodec.decode(b, 0, b.length)).collect(Collectors.joining("/")),
                    fields[i + 1].replaceAll("(\\.\\d{9})\\d", "$1"));
        }
        return view;
    }

    // Made once for the tests below: a random tree (its seed printed), a chain of directories of the
    // longest names past 10,000 bytes holding a file, a socket (and a device as root); its walk with
    // ATTRIBUTES, its walk without, and find's view of it.
    @TempDir static Path made;
    private static long madeSeed;
    private static final String DEEP = "d".repeat(255);
    private static List<Entry> walked;
    private static List<Entry> typed;
    private static Map<String, String> found;

    @BeforeAll
    static void walkARandomTree() throws Exception {
        madeSeed = new Random().nextLong();
        System.out.println("FileTreeTest random tree seed " + madeSeed);
        StringBuilder sh = new StringBuilder("set -e\n");
        tree(sh, new Random(madeSeed), 0);
        // Built from the bottom up, each step wrapping it in one more directory: no shell can cd that deep.
        sh.append("cd " + made + " && mkdir " + DEEP + " && printf leaf > " + DEEP + "/leaf && for i in $(seq 39); do"
                + " mkdir w && mv " + DEEP + " w/ && mv w " + DEEP + "; done\n");
        sh(made, sh + (ROOT ? "mknod chr c 1 3\n" : ""));
        try (ServerSocketChannel s = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            s.bind(UnixDomainSocketAddress.of(made.resolve("sock")));
        }
        walked = entries(FileTree.walker(made.toString()).with(Option.ATTRIBUTES).onError((p, e) -> fail(p + ": " + e)));
        typed = entries(FileTree.walker(made.toString()).onError((p, e) -> fail(p + ": " + e)));
        found = find(made);
    }

    @AfterAll
    static void removeTheChainPastPathMax() throws Exception {
        sh(made, "rm -rf " + DEEP);  // past what the JDK can delete
    }

    @Test
    void aWalkWithAttributesMatchesFindAndWithoutThemHasTheSameTypes() {
        assertEquals(found, attributes(walked), "seed " + madeSeed);
        assertEquals(walked.stream().collect(Collectors.toMap(Entry::path, Entry::type)),
                typed.stream().collect(Collectors.toMap(Entry::path, Entry::type)), "seed " + madeSeed);
    }

    @Test
    void everyFileOpensByItsPathAndHoldsItsOwnName() throws Exception {
        for (Entry e : typed) {
            if (e.type() != FileTree.Type.FILE) continue;
            try (InputStream in = FileTree.newInputStream(made + "/" + e.path())) {
                assertArrayEquals(e.nameBytes(), in.readAllBytes(), e.path());
            }
        }
    }

    @Test
    void anEntrysDepthIsTheNumberOfNamesInItsPath() {
        for (Entry e : typed) assertEquals(e.path().split("/").length, e.depth(), e.path());
    }

    @Test
    void aWalkToTheEndLeavesNoDescriptorOpen() throws Exception {
        assertEquals(0, streamsUnder(made));
    }

    // Each entry as find's -printf above shows it.
    private static Map<String, String> attributes(List<Entry> entries) {
        Map<String, String> got = new HashMap<>();
        for (Entry e : entries) {
            Instant m = e.lastModifiedTime().toInstant();
            assertNull(got.put(e.path(), String.format("%c %d %d %d %o %d %d %d.%09d", "fdlp".charAt(e.type().ordinal()),
                    e.size(), e.inode(), e.links(), e.mode() & 07777, e.uid(), e.gid(), m.getEpochSecond(), m.getNano())));
        }
        return got;
    }

    private static List<Entry> entries(FileTree.Walker walker) throws IOException {
        try (Stream<Entry> walk = walker.stream()) {
            return walk.toList();
        }
    }

    // What a steered walk must give, made from the plain walk's entries: depth cut, pruned subtrees
    // left out, each directory's entries sorted by their bytes, directories after their contents.
    private static void model(Map<String, List<Entry>> children, String dir, int maxDepth, Predicate<Entry> prune,
            Set<Option> options, List<String> out) {
        List<Entry> list = new ArrayList<>(children.getOrDefault(dir, List.of()));
        if (options.contains(Option.SORTED)) list.sort((a, b) -> Arrays.compareUnsigned(a.nameBytes(), b.nameBytes()));
        for (Entry e : list) {
            if (e.depth() > maxDepth) continue;
            if (!options.contains(Option.DIRECTORIES_LAST)) out.add(e.path());
            if (e.type() == FileTree.Type.DIRECTORY && !prune.test(e)) model(children, e.path(), maxDepth, prune, options, out);
            if (options.contains(Option.DIRECTORIES_LAST)) out.add(e.path());
        }
    }

    private record Steer(int maxDepth, boolean prune, Option... options) {
        @Override
        public String toString() { return "maxDepth " + maxDepth + (prune ? " pruned " : " ") + Arrays.toString(options); }
    }

    private static final String LOOP = "File system loop: the link leads back to a directory above it";
    private long seed;

    // A random tree r (its seed printed) and a tree of links l, which loop, lead nowhere, to a FIFO,
    // a file and a directory; their paths.
    private String[] steerTrees() throws Exception {
        seed = new Random().nextLong();
        System.out.println("FileTreeTest seed " + seed);
        StringBuilder sh = new StringBuilder("set -e\nmkdir r && cd r\n");
        tree(sh, new Random(seed), 0);
        sh(tmp, sh + "cd " + tmp + " && mkdir -p l/a/b l/c && cd l && touch a/f c/g && mkfifo fifo && ln -s .. a/up"
                + " && ln -s .. a/b/anc && ln -s ../c a/sib && ln -s g c/flink && ln -s y x && ln -s x y && ln -s nowhere dang");
        return new String[] {tmp + "/r", tmp + "/l"};
    }

    @Test
    void followedLinksThatLoopAreListedAndReported() throws Exception {
        List<String> loops = new ArrayList<>();
        try (Stream<Entry> walk = FileTree.walker(steerTrees()[1]).with(Option.FOLLOW_LINKS).onError(failures(loops)).stream()) {
            assertEquals(List.of("a/b/anc d", "a/up d", "x l", "y l"), walk.filter(e -> Set.of("a/b/anc", "a/up", "x", "y").contains(e.path()))
                    .map(e -> e.path() + " " + "fdlp".charAt(e.type().ordinal())).sorted().toList());
        }
        assertEquals(List.of("a/b/anc: FileSystemLoopException: " + LOOP, "a/up: FileSystemLoopException: " + LOOP), loops.stream().sorted().toList());
    }

    @Test
    void aWalkFollowingLinksMatchesFindL() throws Exception {
        // find -L leaves out the links that loop (reported here, not entered) and those that lead nowhere.
        Map<String, String> followed = attributes(entries(FileTree.walker(steerTrees()[1]).with(Option.FOLLOW_LINKS, Option.ATTRIBUTES).onError((p, e) -> {})));
        followed.keySet().removeAll(Set.of("a/b/anc", "a/up", "x", "y"));
        assertEquals(find(tmp.resolve("l"), "-L"), followed);
    }

    // Every configuration, links followed and not, against the model of its plain walk.
    @Test
    void steeredWalksMatchTheModel() throws Exception {
        String[] trees = steerTrees();
        Predicate<Entry> prune = e -> e.name().hashCode() % 3 == 0;
        int all = Integer.MAX_VALUE;
        for (boolean follow : List.of(false, true)) {
            String root = trees[follow ? 1 : 0];
            Map<String, List<Entry>> children = new HashMap<>();
            FileTree.Walker plain = FileTree.walker(root).onError((p, e) -> {});
            for (Entry e : entries(follow ? plain.with(Option.FOLLOW_LINKS) : plain)) {
                children.computeIfAbsent(e.parent() == null ? "" : e.parent().path(), k -> new ArrayList<>()).add(e);
            }
            Set<String> dirs = children.values().stream().flatMap(List::stream).filter(e -> e.type() == FileTree.Type.DIRECTORY)
                    .map(Entry::path).collect(Collectors.toSet());
            for (Steer s : List.of(new Steer(all, false, Option.SORTED), new Steer(all, false, Option.DIRECTORIES_LAST),
                    new Steer(2, true, Option.DIRECTORIES_LAST, Option.ATTRIBUTES), new Steer(3, true, Option.SORTED),
                    new Steer(all, true, Option.SORTED, Option.DIRECTORIES_LAST, Option.SAME_FILE_SYSTEM),
                    new Steer(1, false, Option.SORTED, Option.DIRECTORIES_LAST), new Steer(0, true))) {
                FileTree.Walker w = FileTree.walker(root).maxDepth(s.maxDepth).with(s.options).onError((p, e) -> {});
                List<String> asked = Collections.synchronizedList(new ArrayList<>());
                if (s.prune) w.prune(e -> asked.add(e.path()) && prune.test(e));
                if (follow) w.with(Option.FOLLOW_LINKS);
                List<String> want = new ArrayList<>();
                model(children, "", s.maxDepth, s.prune ? prune : e -> false, Set.of(s.options), want);
                // Unsorted, both walks see each directory in the same readdir order; in parallel, the
                // parts come together in that order again (toList and forEachOrdered keep it).
                for (int way = 0; way < 3; way++) {
                    asked.clear();
                    List<String> got = Collections.synchronizedList(new ArrayList<>());
                    try (Stream<Entry> walk = way == 0 ? w.stream() : w.stream().parallel()) {
                        if (way == 2) walk.forEachOrdered(e -> got.add(e.path())); else got.addAll(walk.map(Entry::path).toList());
                    }
                    assertEquals(want, got, s + (follow ? " followed" : "") + (way > 0 ? " in parallel" : "") + ", seed " + seed);
                    if (s.prune) assertEquals(sorted(asked), sorted(got.stream().filter(dirs::contains).toList()));
                }
            }
        }
    }

    @Test
    void aNegativeMaxDepthIsRefused() {
        assertEquals("[FileTree.walker] maxDepth is negative: -1", assertThrows(IllegalArgumentException.class, () -> FileTree.walker(tmp.toString()).maxDepth(-1)).getMessage());
    }

    @Test
    void whatPruneThrowsReachesTheCaller() throws Exception {
        sh(tmp, "mkdir -p a/b");
        RuntimeException thrown = new IllegalStateException("from prune");
        assertSame(thrown, assertThrows(IllegalStateException.class, () -> entries(FileTree.walker(tmp.toString()).prune(e -> { throw thrown; }))));
    }

    private static List<String> sorted(List<String> list) { return list.stream().sorted().toList(); }

    // Siblings at every level of a chain of 60, deeper than a walk keeps open, made before and after the
    // chain's next directory so that some come later in any listing order (creation, its reverse, hash),
    // and more files at the bottom than one batch holds: the first batch ends there.
    private static final int CHAIN = 60;

    private String chain() throws Exception {
        sh(tmp, "mkdir outside t && touch outside/escaped && cd t && for i in $(seq " + CHAIN + "); do"
                + " mkdir s1 s2 && mkdir c && mkdir s3 s4 && touch s1/x s4/x && cd c; done && for i in $(seq 3000); do : > f$i; done");
        return tmp + "/t";
    }

    @Test
    void aWalkClosedBeforeItsEndLeavesNothingOpen() throws Exception {
        String t = chain();
        try (Stream<Entry> walk = FileTree.walk(t)) {
            walk.iterator().next();
        }
        assertEquals(0, streamsUnder(tmp));
        try (Stream<Entry> walk = FileTree.walk(t).parallel()) {  // parts of it on every thread, some never finished
            assertTrue(walk.anyMatch(e -> e.name().equals("x") && e.depth() > 3));
        }
        assertEquals(0, streamsUnder(tmp));
    }

    @Test
    void aDeepWalkHoldsFewerDescriptorsThanItsDepth() throws Exception {
        try (Stream<Entry> walk = FileTree.walk(chain())) {
            Iterator<Entry> it = walk.iterator();
            while (!it.next().name().equals("f1")) {
                // down to the bottom of the chain
            }
            long open = streamsUnder(tmp);
            assertTrue(open > 0 && open < CHAIN, "open: " + open);
        }
    }

    @Test
    void directoriesSwappedForLinksOutDuringAWalkAreReportedNeverFollowed() throws Exception {
        String t = chain();
        List<String> failures = new ArrayList<>(), paths = new ArrayList<>();
        try (Stream<Entry> walk = FileTree.walker(t).onError((p, e) -> failures.add(((FileSystemException) e).getReason())).stream()) {
            Iterator<Entry> it = walk.iterator();
            paths.add(it.next().path());
            // Every directory of the chain moves aside and a link out of the tree takes its place.
            sh(tmp.resolve("t"), "p=.; for i in $(seq " + CHAIN + "); do mv $p/c $p/m && ln -s " + tmp + "/outside $p/c && p=$p/m; done");
            it.forEachRemaining(e -> paths.add(e.path()));
        }
        assertTrue(paths.stream().noneMatch(p -> p.contains("escaped")), paths::toString);
        assertTrue(paths.contains("c/".repeat(CHAIN) + "f3000"));
        // Directories read ahead and closed cannot be entered again by name: they are reported.
        assertEquals(Set.of("Directory moved or replaced during the walk"), new HashSet<>(failures));
    }

    // t holds a directory that may not be read, one that may be read but not searched, and a readable one.
    private String unreadable() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p t/noread/x t/nosearch/y t/ok && touch t/ok/f && chmod 300 t/noread && chmod 600 t/nosearch");
        return tmp + "/t";
    }

    @Test
    @Tag("unprivileged")
    void unreadableDirectoriesAreReportedAndTheWalkGoesOn() throws Exception {
        String t = unreadable();
        List<String> failures = new ArrayList<>();
        try (Stream<Entry> walk = FileTree.walker(t).onError(failures(failures)).stream()) {
            // A directory that may be read but not searched: its names, as find lists them; its subdirectory fails.
            assertEquals(Set.of("noread", "nosearch", "nosearch/y", "ok", "ok/f"), walk.map(Entry::path).collect(Collectors.toSet()));
        }
        assertEquals(Set.of("noread: AccessDeniedException: Permission denied", "nosearch/y: AccessDeniedException: Permission denied"),
                new HashSet<>(failures));
    }

    @Test
    @Tag("unprivileged")
    void inPostOrderADirectorysFailureComesBeforeTheDirectory() throws Exception {
        String t = unreadable();
        List<String> events = new ArrayList<>();
        try (Stream<Entry> walk = FileTree.walker(t).with(Option.DIRECTORIES_LAST).onError((p, e) -> events.add("!" + p)).stream()) {
            walk.forEach(e -> events.add(e.path()));
        }
        assertEquals(List.of("!noread", "noread"), events.stream().filter(e -> e.endsWith("noread")).toList());
        assertTrue(events.indexOf("!nosearch/y") == events.indexOf("nosearch/y") - 1, events::toString);
        assertTrue(events.indexOf("nosearch/y") < events.indexOf("nosearch"), events::toString);
    }

    @Test
    @Tag("unprivileged")
    void aDirectoryPrunedOrAtTheDepthLimitIsNeverOpened() throws Exception {
        String t = unreadable();
        for (FileTree.Walker w : List.of(FileTree.walker(t).maxDepth(1), FileTree.walker(t).prune(e -> !e.name().equals("ok")))) {
            try (Stream<Entry> walk = w.onError((p, e) -> fail(p + ": " + e)).stream()) {
                assertTrue(walk.map(Entry::path).collect(Collectors.toSet()).containsAll(Set.of("noread", "nosearch", "ok")));
            }
        }
    }

    @Test
    void openingAFifoNeverWaitsForAWriter() throws Exception {
        sh(tmp, "mkfifo fifo");
        assertTimeoutPreemptively(Duration.ofSeconds(20), () -> {
            try (InputStream in = FileTree.newInputStream(tmp + "/fifo")) {
                assertEquals(-1, in.read());  // no writer: empty
            }
            assertThrows(NotDirectoryException.class, () -> FileTree.walk(tmp + "/fifo"));
        });
        assertEquals(0, streamsUnder(tmp));
    }

    @Test
    void openingFailuresNameThePathAndTheSystemsReason() throws Exception {
        sh(tmp, "mkdir dir");
        for (var c : List.<Object[]>of(new Object[] {NoSuchFileException.class, "missing", "No such file or directory", true},
                new Object[] {FileSystemException.class, "dir", "Is a directory", true},
                new Object[] {NoSuchFileException.class, "missing", "No such file or directory", false})) {
            String path = tmp + "/" + c[1];
            FileSystemException e = assertThrows(FileSystemException.class,
                    () -> { if ((Boolean) c[3]) FileTree.newInputStream(path); else FileTree.walk(path); });
            assertEquals(List.of(c[0], path, c[2]), List.of(e.getClass(), e.getFile(), e.getReason()));
        }
        assertEquals("[FileTree.newInputStream] path is null", assertThrows(NullPointerException.class, () -> FileTree.newInputStream((String) null)).getMessage());
    }

    @Test
    void sameFileSystemStopsAtMountPoints() throws Exception {
        String t = tmp + "/t";
        sh(tmp, "mkdir -p t/m t/s && touch t/f t/s/null");
        // Also /dev/null bound over a file one level down: d_type tells a file there, lstat a device, left out.
        for (String xdev : List.of("-xdev ", "")) {
            Result r = inNamespace(tmp, "mount -t tmpfs x t/m && touch t/m/in && mount --bind /dev/null t/s/null && $TOOL find " + xdev + t);
            List<String> all = List.of(t, t + "/f", t + "/m", t + "/m/in", t + "/s");
            assertEquals(all.stream().filter(p -> xdev.isEmpty() || !p.endsWith("/in")).toList(), records(r.out(), "\n"), r::err);
        }
    }
}
