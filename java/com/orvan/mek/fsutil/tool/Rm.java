package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import com.orvan.mek.fsutil.NativeFs;
import java.io.FileNotFoundException;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.Arrays;
import java.util.List;

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
        // A '/' after the name asks for a directory: anything else is "Not a directory"; a link to one is
        // refused whole (GNU empties its target first), and without -r it is a directory.
        if (Args.slashed(given)) {
            BasicFileAttributes own = Args.lstat(given);
            if (own != null && !own.isDirectory()) {
                boolean toDirectory = own.isSymbolicLink() && isDirectoryFollowed(given);
                fail("cannot remove ", given, toDirectory && !recursive ? "Is a directory" : "Not a directory");
                return;
            }
        }
        try {
            Path path = Args.path(Args.unslashed(given));
            if (!recursive && removeByJdk(given, path)) return;
            if (!recursive && NativeFs.isDirectory(path)) {
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

    private static boolean isDirectoryFollowed(byte[] given) {
        try {
            return Files.isDirectory(Args.path(given));
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /**
     * Removes a path the JDK can name (shorter than the kernel's limit) that is not a directory;
     * false when it cannot name it. The JDK removes a file with unlink, which fails on a directory
     * swapped in meanwhile (at worst an empty one goes, by rmdir), where a check followed by the
     * library's removal would take a whole tree.
     */
    private boolean removeByJdk(byte[] given, Path p) {
        if (given.length >= PATH_MAX) return false;
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
}
