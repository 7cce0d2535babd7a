package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.Charset;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;

/** {@code rm [-r] [-f] PATH...}: removes each path (with -r, a directory and all below it), as GNU rm. */
final class Rm extends Command {
    static final String USAGE = String.join("\n",
            "  rm [-r] [-f] PATH...",
            "                    removes each PATH; -r: a directory and everything below it, through",
            "                    descriptors, never across a mount point nor through a link; -f: a",
            "                    missing PATH is no error; what cannot be removed is reported on stderr",
            "                    and the rest goes on");

    // The kernel's limit on a path handed to one call: longer ones are judged through their parent.
    private static final int PATH_MAX = 4096;

    Rm() { super("rm", USAGE, 1); }

    private boolean recursive;
    private boolean force;

    @Override
    int run(List<byte[]> args, PrintStream out, PrintStream err) throws UsageException {
        start(out, err);
        Flags flags = new Flags(args, "rRf", "recursive=r", "force=f");
        recursive = flags.has('r') || flags.has('R');
        force = flags.has('f');
        List<byte[]> paths = flags.operands();
        if (paths.isEmpty() && !force) throw new UsageException("missing operand");
        for (byte[] path : paths) remove(path);
        return status();
    }

    private void remove(byte[] given) {
        int end = given.length;
        while (end > 0 && given[end - 1] == '/') end--;
        int start = end;
        while (start > 0 && given[start - 1] != '/') start--;
        byte[] last = Arrays.copyOfRange(given, start, end);
        if (recursive && end == 0 && given.length > 0) {
            fail(Args.bytes("it is dangerous to operate recursively on "), Args.shellQuoted(given), new byte[0]);
            fail(Args.bytes("use --no-preserve-root to override this failsafe"));
            return;
        }
        if (Arrays.equals(last, new byte[] {'.'}) || Arrays.equals(last, new byte[] {'.', '.'})) {
            fail(Args.bytes("refusing to remove '.' or '..' directory: skipping "), Args.shellQuoted(given));
            return;
        }
        String path = Args.path(given);
        try {
            if (!recursive && removeByJdk(given)) return;
            if (!recursive && isDirectory(path, given, start, last)) {
                fail("cannot remove ", given, "Is a directory");
                return;
            }
            FileTree.deleter(path).onError((failed, error) -> fail("cannot remove ", Args.below(given, path, failed), Args.reason(error))).run();
        } catch (FileNotFoundException | NoSuchFileException e) {
            if (!force) fail("cannot remove ", given, Args.reason(e));
        } catch (IOException e) {
            fail("cannot remove ", given, Args.reason(e));
        }
    }

    /**
     * Removes a path the JDK can name (its bytes in the JDK's charset, shorter than the kernel's
     * limit) that is not a directory; false when it cannot name it. The JDK removes a file with
     * unlink, which fails on a directory swapped in meanwhile (at worst an empty one goes, by
     * rmdir), where a check followed by the library's removal would take a whole tree.
     */
    private boolean removeByJdk(byte[] given) {
        Path p;
        try {
            Charset jnu = Charset.forName(System.getProperty("sun.jnu.encoding"));
            String name = new String(given, jnu);
            if (given.length == 0 || given.length >= PATH_MAX || !Arrays.equals(given, name.getBytes(jnu))) return false;
            p = Path.of(name);
        } catch (RuntimeException e) {
            return false;
        }
        try {
            if (Files.readAttributes(p, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS).isDirectory()) {
                fail("cannot remove ", given, "Is a directory");
            } else {
                Files.delete(p);
            }
        } catch (NoSuchFileException e) {
            if (!force) fail("cannot remove ", given, "No such file or directory");
        } catch (AccessDeniedException e) {
            fail("cannot remove ", given, "Permission denied");
        } catch (FileSystemException e) {
            fail("cannot remove ", given, e.getReason() != null ? e.getReason() : String.valueOf(e.getMessage()));
        } catch (IOException e) {
            fail("cannot remove ", given, String.valueOf(e.getMessage()));
        }
        return true;
    }

    /**
     * Whether path itself (a link not followed) is a directory. Past the kernel's path limit it is
     * asked of its parent's listing, by name bytes, which any path length allows.
     */
    private static boolean isDirectory(String path, byte[] given, int start, byte[] last) throws IOException {
        if (given.length < PATH_MAX) return NativeFs.isDirectory(path);
        String parent = start == 0 ? "." : Args.path(Arrays.copyOf(given, start));
        try (Stream<FileTree.Entry> entries = FileTree.walker(parent).maxDepth(1).onError((p, e) -> {}).stream()) {
            return entries.filter(e -> Arrays.equals(e.nameBytes(), last)).findFirst()
                    .map(e -> e.type() == FileTree.Type.DIRECTORY).orElse(false);
        }
    }
}
