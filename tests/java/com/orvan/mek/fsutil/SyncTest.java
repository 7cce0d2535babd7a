package com.orvan.mek.fsutil;

import static com.orvan.mek.fsutil.TestUtil.*;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.util.*;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// Keeping a tree in step: after a sync the target holds what the source holds, as find(1) and the
// kernel's xattr calls (from python) see both, and what rsync -aHAX --delete makes of it; the
// changes reported are the ones made, a dry run reports the same ones, a second sync touches nothing.
class SyncTest {
    @TempDir Path tmp;

    // Every extended attribute (ACLs included) of every entry but those under DEEP, a line each: path name=hex.
    private static final String XATTRS = String.join("\n", "import os, sys",
            "out = set()",
            "for d, ds, fs in os.walk(b'.'):",
            "    if d == b'.': ds[:] = [x for x in ds if x != b'" + CopyTest.DEEP + "']",
            "    for n in [d] + [os.path.join(d, x) for x in ds + fs]:",
            "        try:",
            "            for a in os.listxattr(n, follow_symlinks=False):",
            "                out.add(n + b' ' + a.encode() + b'=' + os.getxattr(n, a, follow_symlinks=False).hex().encode())",
            "        except OSError as e:",
            "            out.add(n + b' error ' + str(e.errno).encode())",
            "sys.stdout.buffer.write(b'\\n'.join(sorted(out)))");

    static List<String> xattrs(Path root) throws Exception {
        return records(run(root, "python3", "-c", XATTRS).out(), "\n");
    }

    // What find and the xattr calls see of a tree, access times left out (set as a copy sets them, never compared).
    static List<String> state(Path root, String... skip) throws Exception {
        List<String> lines = CopyTest.view(root, skip).stream().map(l -> l.replaceFirst(" [0-9.]+ -> ", " -> "))
                .collect(Collectors.toCollection(ArrayList::new));
        lines.addAll(xattrs(root));
        return lines;
    }

    // Every entry's inode and ctime: what a sync that changes nothing leaves as it was.
    static List<String> stamps(Path root) throws Exception {
        return records(run(root, "find", ".", "-printf", "%P %i %C@\\0").out(), "\0");
    }

    // What rsync would still change, one itemized line each (nothing: the trees are equal for rsync too).
    static String rsyncWould(Path source, Path target, String... more) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("rsync", "-aHAXn", "--delete", "-i", "--modify-window=-1"));
        cmd.addAll(List.of(more));
        cmd.addAll(List.of(source + "/", target + "/"));
        return new String(run(null, cmd.toArray(String[]::new)).out(), StandardCharsets.ISO_8859_1);
    }

    // A sync's changes as "KIND path TYPE" (the path's raw bytes, one char each), sorted; its failures; its result.
    record Run(List<String> changes, List<String> failures, FileTree.SyncResult result) {}

    static Run sync(Path source, Path target, boolean dry, String... flags) throws IOException {
        List<String> changes = new ArrayList<>();
        List<String> failures = new ArrayList<>();
        FileTree.Syncer syncer = FileTree.syncer(source, target).onError(failures(failures)).onChange(c -> {
            assertTrue(c.toPath().startsWith(target), c::toString);
            changes.add(c.kind() + " " + new String(c.pathBytes(), StandardCharsets.ISO_8859_1) + " " + c.type());
        });
        if (dry) syncer.dryRun();
        for (String f : flags) {
            if (f.equals("keep")) syncer.keepExtras();
            if (f.equals("durable")) syncer.durable();
        }
        FileTree.SyncResult r = syncer.run();
        Collections.sort(changes);
        return new Run(changes, failures, r);
    }

    // Made once: a random tree with every kind of entry and attribute, a chain past PATH_MAX; synced
    // into a new target, and by rsync into another.
    @TempDir static Path made;
    private static long seed;
    private static Run first;

    @BeforeAll
    static void syncEveryKindOfEntryIntoANewTarget() throws Exception {
        seed = new Random().nextLong();
        System.out.println("SyncTest seed " + seed);
        sh(made, CopyTest.everyKind(seed, 3, 300000) + " && setfacl -m u:1234:rw c/big && setfacl -d -m u:1234:rwx a/b"
                + " && python3 -c \"import os; os.setxattr('a/f', 'user.file', b'v\\xe9'); os.setxattr('c', 'user.dir', b'd')\""
                + " && " + CopyTest.settle("."));
        first = sync(made.resolve("s"), made.resolve("t"), false);
        run(null, "rsync", "-aHAX", "--delete", made + "/s/", made + "/r/");  // it stops at PATH_MAX: compared short of it
    }

    @AfterAll
    static void removeTreesPastPathMax() throws IOException {
        for (String tree : List.of("s", "t", "r")) FileTree.delete(made + "/" + tree);
    }

    @Test
    void theFirstSyncMakesWhatTheSourceHoldsAsRsyncMakesItAndReportsEachEntryCreated() throws Exception {
        assertEquals(List.of(), first.failures(), "seed " + seed);
        assertEquals(state(made.resolve("s")), state(made.resolve("t")), "seed " + seed);
        assertEquals(state(made.resolve("r"), CopyTest.DEEP), state(made.resolve("t"), CopyTest.DEEP), "seed " + seed);
        assertEquals("", rsyncWould(made.resolve("s"), made.resolve("t"), "--exclude=/" + CopyTest.DEEP), "seed " + seed);
        long entries = Long.parseLong(sh(made, "find s | wc -l").trim());
        assertEquals(entries, first.changes().size(), "seed " + seed);
        assertTrue(first.changes().stream().allMatch(c -> c.startsWith("CREATED ")), "seed " + seed);
        assertEquals(entries, first.result().created());
    }

    @Test
    void aTargetNamedThroughDotOrDotDotIsTheDirectoryItNames(@TempDir Path tmp) throws Exception {
        sh(tmp, "mkdir -p s/d t v/sub u && echo x > s/d/f");
        for (String target : List.of("t/.", "v/sub/..", "u/./")) {
            FileTree.SyncResult r = FileTree.sync(tmp + "/s", tmp + "/" + target);
            assertEquals(2, r.created(), target);
            String dir = target.substring(0, 1);
            assertEquals(sh(tmp, "cd s && find . | sort"), sh(tmp, "cd " + dir + " && find . | sort"), target);
        }
    }

    @Test
    void aSecondSyncChangesNothingNotEvenACtime() throws Exception {
        Path t = made.resolve("t");
        List<String> before = stamps(t);
        Run again = sync(made.resolve("s"), t, false);
        assertEquals(List.of(), again.changes());
        assertEquals(List.of(), again.failures());
        assertEquals(before, stamps(t));
        FileTree.SyncResult r = again.result();
        assertEquals(List.of(0L, 0L, 0L, 0L, 0L), List.of(r.created(), r.modified(), r.attributes(), r.removed(), r.bytes()));
        assertEquals(first.result().created(), r.unchanged());
    }

    // A tree of a bit of everything, to change one way or another.
    private static final String BASE = "mkdir -p d/e x tyd/sub tzd && echo one > f && echo two > d/g && echo three > d/e/h"
            + " && echo same > f2 && echo a > x/a && echo k > x/k && echo hb > hb1 && ln hb1 x/hb2 && echo tf > tf"
            + " && echo tf2 > tf2 && ln -s f tl && ln -s f tl2 && mkfifo tp && echo in > tyd/sub/in && echo z > tzd/z"
            + " && ln -s d tw" + (ROOT ? " && mknod tc c 1 3" : "");

    private static final String NEW_LINK = "ln s/f s/x/fl";

    // Each difference: a script run beside s and t (after t was synced), and the changes it must bring.
    private static final Map<String, List<String>> DIFFERENCES = new LinkedHashMap<>();

    static {
        DIFFERENCES.put("echo changed > s/f", List.of("MODIFIED f FILE"));
        DIFFERENCES.put("printf 'SAME\\n' > s/f2 && touch -m -r t/f2 s/f2", List.of());  // the quick check's blind spot
        DIFFERENCES.put("touch -h -m -d @1800000000.123456788 s/d/g", List.of("ATTRIBUTES d/g FILE"));
        DIFFERENCES.put("chmod 604 s/d/e/h", List.of("ATTRIBUTES d/e/h FILE"));
        if (ROOT) DIFFERENCES.put("chown 1234:5678 s/x/a", List.of("ATTRIBUTES x/a FILE"));
        DIFFERENCES.put("python3 -c \"import os; os.setxattr('s/x/k', 'user.k', b'\\x00\\xff')\"", List.of("ATTRIBUTES x/k FILE"));
        DIFFERENCES.put("setfacl -m u:1234:rx s/d/e", List.of("ATTRIBUTES d/e DIRECTORY"));
        DIFFERENCES.put(NEW_LINK, List.of("CREATED x/fl FILE"));
        DIFFERENCES.put("cp -p s/x/hb2 s/x/n && mv s/x/n s/x/hb2 && touch -m -d @1800000000.123456789 s/x",
                List.of("MODIFIED hb1 FILE", "MODIFIED x/hb2 FILE"));  // each name leaves the group, whichever is met first
        DIFFERENCES.put("rm s/tf && mkdir s/tf && echo in > s/tf/in", List.of("REMOVED tf FILE", "CREATED tf DIRECTORY", "CREATED tf/in FILE"));
        DIFFERENCES.put("rm -r s/tyd && echo x > s/tyd", List.of("REMOVED tyd DIRECTORY", "CREATED tyd FILE"));
        DIFFERENCES.put("rm s/tf2 && ln -s f s/tf2", List.of("REMOVED tf2 FILE", "CREATED tf2 SYMLINK"));
        DIFFERENCES.put("rm s/tl2 && echo l > s/tl2", List.of("REMOVED tl2 SYMLINK", "CREATED tl2 FILE"));
        DIFFERENCES.put("rm s/tl && mkfifo s/tl", List.of("REMOVED tl SYMLINK", "CREATED tl FIFO"));
        DIFFERENCES.put("rm s/tp && mkdir s/tp", List.of("REMOVED tp FIFO", "CREATED tp DIRECTORY"));
        DIFFERENCES.put("rm -r s/tzd && ln -s d s/tzd", List.of("REMOVED tzd DIRECTORY", "CREATED tzd SYMLINK"));
        DIFFERENCES.put("rm s/tw && mkdir s/tw", List.of("REMOVED tw SYMLINK", "CREATED tw DIRECTORY"));
        if (ROOT) DIFFERENCES.put("rm s/tc && echo c > s/tc", List.of("REMOVED tc null", "CREATED tc FILE"));
        DIFFERENCES.put("touch t/extra && mkdir -p t/edir/sub && echo q > t/edir/sub/q", List.of("REMOVED extra FILE", "REMOVED edir DIRECTORY"));
        DIFFERENCES.put("touch t/x/.fsutil-sync.1.0", List.of("REMOVED x/.fsutil-sync.1.0 FILE"));  // left by a killed run
    }

    // s made from BASE and synced into t; then script; then a dry run and a real one must both report
    // exactly `expected`, the dry run changing nothing, and leave t as s is (for rsync too).
    private void differenceIsFound(String script, List<String> expected) throws Exception {
        sh(tmp, "rm -rf s t && mkdir s && cd s && " + BASE + " && " + CopyTest.settle("."));
        Path s = tmp.resolve("s"), t = tmp.resolve("t");
        sync(s, t, false);
        sh(tmp, script);
        List<String> before = stamps(t);
        Run dry = sync(s, t, true);
        assertEquals(before, stamps(t), script);
        Run real = sync(s, t, false);
        List<String> want = expected.stream().sorted().toList();
        assertEquals(want, dry.changes(), "dry run: " + script);
        assertEquals(want, real.changes(), script);
        assertEquals(List.of(), real.failures(), script);
        assertEquals(state(s), state(t), script);
        assertEquals("", rsyncWould(s, t), script);
        List<String> after = stamps(t);
        assertEquals(List.of(), sync(s, t, false).changes(), script);
        assertEquals(after, stamps(t), script);
    }

    @Test
    void eachKindOfDifferenceAloneIsReportedAndMadeGood() throws Exception {
        for (Map.Entry<String, List<String>> d : DIFFERENCES.entrySet()) differenceIsFound(d.getKey(), d.getValue());
    }

    @Test
    void everyKindOfDifferenceAtOnceIsReportedAndMadeGood() throws Exception {
        Set<String> all = new TreeSet<>();
        DIFFERENCES.values().forEach(all::addAll);
        differenceIsFound(String.join(" && ", DIFFERENCES.keySet()), new ArrayList<>(all));
    }

    @Test
    void changedDataGoesToANewInodeAndMetadataStaysOnTheOldOne() throws Exception {
        sh(tmp, "mkdir s && echo one > s/data && echo two > s/meta");
        Path s = tmp.resolve("s"), t = tmp.resolve("t");
        sync(s, t, false);
        String inodes = sh(tmp, "stat -c %i t/data t/meta");
        try (var reader = Files.newInputStream(t.resolve("data"))) {
            sh(tmp, "echo changed > s/data && chmod 600 s/meta");
            Run r = sync(s, t, false, "durable");
            assertEquals(List.of("ATTRIBUTES meta FILE", "MODIFIED data FILE"), r.changes());
            assertEquals("one\n", new String(reader.readAllBytes(), StandardCharsets.UTF_8), "a reader keeps the old bytes");
        }
        String[] was = inodes.split("\n"), now = sh(tmp, "stat -c %i t/data t/meta").split("\n");
        assertNotEquals(was[0], now[0]);
        assertEquals(was[1], now[1]);
        assertEquals("changed\n", sh(tmp, "cat t/data"));
    }

    @Test
    void namesOfEveryByteValueAreCreatedAndRemoved() throws Exception {
        // n/nB for every byte B but NUL and '/': made in s; then half removed from s, and xB added to t.
        sh(tmp, "mkdir -p s/n && python3 -c \"import os\nfor b in range(1, 256):\n  if b != 47: open(b's/n/n' + bytes([b]), 'w').write(str(b))\"");
        Path s = tmp.resolve("s"), t = tmp.resolve("t");
        Run made = sync(s, t, false);
        List<String> created = new ArrayList<>(List.of("CREATED  DIRECTORY", "CREATED n DIRECTORY"));
        for (int b = 1; b < 256; b++) if (b != '/') created.add("CREATED n/n" + (char) b + " FILE");
        Collections.sort(created);
        assertEquals(created, made.changes());
        sh(tmp, "python3 -c \"import os\nfor b in range(1, 256, 2):\n  if b != 47: os.remove(b's/n/n' + bytes([b])); open(b't/n/x' + bytes([b]), 'w')\"");
        List<String> removed = new ArrayList<>();
        for (int b = 1; b < 256; b += 2) if (b != '/') removed.addAll(List.of("REMOVED n/n" + (char) b + " FILE", "REMOVED n/x" + (char) b + " FILE"));
        Collections.sort(removed);
        assertEquals(removed, sync(s, t, true).changes());
        assertEquals(removed, sync(s, t, false).changes());
        assertEquals(state(s), state(t));
    }

    @Tag("long")
    @Test
    void extrasFiveThousandLevelsDownPastPathMaxAreRemoved() throws Exception {
        Files.createDirectory(tmp.resolve("s"));
        chain(tmp.resolve("s"), "deep", 5000);
        Path s = tmp.resolve("s"), t = tmp.resolve("t");
        assertEquals(List.of(), sync(s, t, false).failures());
        assertEquals(state(s), state(t));
        // Reached one name at a time: no path handed to the kernel is long.
        try {
            run(t.resolve("deep"), "python3", "-c", "import os\nfor i in range(4999): os.chdir('d')\nopen('extra', 'w').write('x'); os.mkdir('extradir')");
            String at = "deep" + "/d".repeat(4999) + "/";
            List<String> expected = List.of("REMOVED " + at + "extra FILE", "REMOVED " + at + "extradir DIRECTORY");
            assertEquals(expected, sync(s, t, true).changes());
            assertEquals(expected, sync(s, t, false).changes());
            assertEquals(state(s), state(t));
        } finally {
            FileTree.delete(s.toString());  // beyond the JDK's reach
            FileTree.delete(t.toString());
        }
    }

    @Test
    @Tag("unprivileged")
    void anUnreadableSourceDirectoryRemovesNothingInItsCounterpart() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p s/locked s/open s/ro && echo f > s/locked/f && echo g > s/open/g && echo r > s/ro/r");
        Path s = tmp.resolve("s"), t = tmp.resolve("t");
        sync(s, t, false);
        sh(tmp, "touch t/locked/extra t/open/extra t/ro/extra && chmod 000 s/locked && chmod 555 s/ro t/ro");
        Run r = sync(s, t, false);
        assertEquals(List.of("locked: AccessDeniedException: Permission denied"), r.failures());
        assertEquals(List.of("ATTRIBUTES locked DIRECTORY", "REMOVED open/extra FILE", "REMOVED ro/extra FILE"), r.changes());
        assertEquals("555\n", sh(tmp, "stat -c %a t/ro"), "a read-only directory's mode is restored");
        sh(tmp, "chmod 700 s/locked t/locked");
        assertEquals("extra\nf\n", sh(tmp, "ls t/locked"));
        assertEquals(List.of("REMOVED locked/extra FILE"), sync(s, t, false).changes());
    }

    @Test
    void aFullDiskLeavesNoTemporaryAndEveryOldFileWhole() throws Exception {
        sh(tmp, "mkdir -p s m && head -c 100000 /dev/urandom > s/old && head -c 150000 /dev/urandom > s/a && cp s/old kept");
        Result r = inNamespace(tmp, "set -e; mount -t tmpfs -o size=320k tmpfs m; $TOOL sync s m/t;"
                + " head -c 150000 /dev/urandom > s/old; head -c 150000 /dev/urandom > s/b;"
                + " set +e; $TOOL sync s m/t; echo status $?; ls -A m/t; cmp kept m/t/old && echo kept");
        String out = r.text();
        assertTrue(out.contains("status 1"), out + r.err());
        assertTrue(r.err().contains("No space left on device"), r.err());
        assertFalse(out.contains(".fsutil-sync"), out);
        assertTrue(out.contains("kept"), "the old file stays as it was: " + out + r.err());
    }

    @Test
    void targetDirectoriesSwappedForLinksNeverLeadOutside() throws Exception {
        sh(tmp, CopyTest.SWAP_SOURCE);
        Path s = tmp.resolve("s"), t = tmp.resolve("t");
        sync(s, t, false);
        whileSwappedForLinks(tmp, 20, round -> sh(tmp, "cd s && for i in $(seq 10); do echo " + round + " > d$i/f1; echo " + round
                + " > d$i/s/g1; touch d$i/new" + round + "; rm -f d$i/new" + (round - 1) + "; done"),
                round -> FileTree.syncer(s, t).onError((p, e) -> {}).run());
    }

    @Test
    void refusedPairsRaiseBeforeAnythingChanges() throws Exception {
        sh(tmp, "mkdir -p s/in t && touch s/in/f file && ln -s t link");
        String listing = sh(tmp, "find . | LC_ALL=C sort");
        Map<String, String> refused = Map.of("s/in/t", "Target lies inside the source", "s", "Source lies inside the target",
                ".", "Source lies inside the target", "file", "Target exists and is not a directory", "link", "Target exists and is not a directory");
        for (Map.Entry<String, String> r : refused.entrySet()) {
            IOException e = assertThrows(IOException.class, () -> FileTree.sync(tmp + "/s", tmp + "/" + r.getKey()), r.getKey());
            assertTrue(e.getMessage().startsWith("[FileTree.sync] " + r.getValue()), e.getMessage());
            assertThrows(IOException.class, () -> FileTree.syncer(tmp.resolve("s/in"), tmp.resolve(r.getKey())).dryRun().run(), r.getKey());
        }
        assertEquals(listing, sh(tmp, "find . | LC_ALL=C sort"));
        assertThrows(NoSuchFileException.class, () -> FileTree.sync(tmp + "/missing", tmp + "/t"));
        assertThrows(IllegalArgumentException.class, () -> FileTree.sync(tmp + "/s", tmp + "/t", FileTree.Option.FOLLOW_LINKS));
    }

    @Test
    @Tag("unprivileged")
    void theShortFormThrowsTheFirstFailureTypedWithTheCount() throws Exception {
        assumeFalse(ROOT, "root passes every permission check");
        sh(tmp, "mkdir -p s/a s/b && touch s/a/f s/b/f && chmod 000 s/a s/b");
        FileSystemException e = assertThrows(AccessDeniedException.class, () -> FileTree.sync(tmp + "/s", tmp + "/t"));
        assertTrue(e.getMessage().startsWith("[FileTree.sync] 2 entries could not be synced, the first: " + tmp + "/t/"), e.getMessage());
        assertTrue(Set.of(tmp + "/t/a", tmp + "/t/b").contains(e.getFile()), e.getFile());
        assertEquals(1, e.getSuppressed().length);
    }

    @Test
    void keepExtrasRemovesNothingButWhatAKilledRunLeft() throws Exception {
        sh(tmp, "mkdir s t && echo a > s/a && touch t/extra t/.fsutil-sync.9.9");
        Run r = sync(tmp.resolve("s"), tmp.resolve("t"), false, "keep");
        assertEquals(List.of("CREATED a FILE", "REMOVED .fsutil-sync.9.9 FILE"), r.changes().stream().filter(c -> !c.startsWith("ATTRIBUTES  ")).toList());
        assertEquals("a\nextra\n", sh(tmp, "ls -A t"));
    }

    @Test
    void theToolSyncsBothWaysAsRsyncDoes() throws Exception {
        sh(tmp, "mkdir s && cd s && " + BASE + " && " + CopyTest.settle("."));
        Result made = tool("sync", "-v", tmp + "/s", tmp + "/t");
        assertEquals(0, made.status(), made.err());
        List<String> lines = made.text().lines().sorted().toList();
        assertEquals(sh(tmp, "cd s && find . -printf 'CREATED %P\\n' | sed 's/^CREATED $/CREATED ./' | LC_ALL=C sort").lines().toList(), lines);
        // The other way: t changed, then s made equal to it, as find sees both and as rsync finds them.
        sh(tmp, "echo new > t/f && rm -r t/d && mkdir t/n && touch s/extra && chmod 700 t/x");
        Result dry = tool("sync", "-n", tmp + "/t", tmp + "/s");
        Result back = tool("sync", "-v", tmp + "/t", tmp + "/s");
        assertEquals(0, back.status(), back.err());
        assertEquals(dry.text(), back.text());
        assertEquals(Stream.of("MODIFIED f", "REMOVED d", "CREATED n", "REMOVED extra", "ATTRIBUTES x").sorted().toList(),
                back.text().lines().sorted().toList());
        assertEquals(state(tmp.resolve("t")), state(tmp.resolve("s")));
        assertEquals("", rsyncWould(tmp.resolve("t"), tmp.resolve("s")));
        Result usage = tool("sync", tmp + "/s");
        assertEquals(1, usage.status());
        Result refused = tool("sync", tmp + "/s", tmp + "/s/x");
        assertEquals(1, refused.status());
        assertTrue(refused.err().startsWith("fsutil: sync: "), refused.err());
    }

    @Test
    void theSyncLeavesNoDescriptorOpen() throws Exception {
        assertEquals(0, streamsUnder(made));
    }
}
