package com.orvan.mek.fsutil.bench;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.nio.file.FileVisitResult;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.SimpleFileVisitor;
import java.nio.file.attribute.BasicFileAttributes;
import java.util.List;

/**
 * Removing a tree of FILES files in 1,000 directories, made afresh before each removal:
 * FileTree.delete (d) against rm -rf run as a process (r) and against the Files.walkFileTree +
 * Files.delete idiom (j), in interleaved rounds. Goals: r/d >= 1.5, j/d >= 2.
 * Usage: DeleteBench [FILES [ROUNDS]]
 */
public final class DeleteBench {
    private DeleteBench() {}

    public static void main(String[] args) throws Exception {
        int files = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 5;
        Path dir = Files.createTempDirectory("fsutil-deletebench");
        try {
            double[][] seconds = new double[3][rounds];
            String[] labels = {"(d) FileTree.delete", "(r) rm -rf", "(j) Files.walkFileTree + Files.delete"};
            for (int r = -1; r < rounds; r++) {  // round -1 warms up
                for (int m = 0; m < 3; m++) {
                    Path tree = TreeBench.build(dir.resolve("tree"), files);
                    long t0 = System.nanoTime();
                    remove(m, tree);
                    if (r >= 0) seconds[m][r] = (System.nanoTime() - t0) / 1e9;
                    if (Files.exists(tree)) throw new IllegalStateException(labels[m] + " left " + tree);
                }
            }
            System.out.printf("DeleteBench: %d files in 1,000 directories, made afresh each time, median of %d rounds%n",
                    files, rounds);
            double[] t = new double[3];
            for (int m = 0; m < 3; m++) {
                t[m] = StatBench.median(seconds[m]);
                System.out.printf("  %-40s %6.3f s%n", labels[m], t[m]);
            }
            System.out.printf("  r/d = %.2f (goal >= 1.5)   j/d = %.2f (goal >= 2)%n", t[1] / t[0], t[2] / t[0]);
        } finally {
            WalkBench.exec(dir.getParent(), List.of("rm", "-rf", dir.toString()));
        }
    }


    private static void remove(int how, Path tree) throws Exception {
        switch (how) {
            case 0:
                FileTree.delete(tree.toString());
                break;
            case 1:
                WalkBench.exec(tree.getParent(), List.of("rm", "-rf", tree.toString()));
                break;
            default:
                Files.walkFileTree(tree, new SimpleFileVisitor<Path>() {
                    @Override
                    public FileVisitResult visitFile(Path file, BasicFileAttributes attrs) throws IOException {
                        Files.delete(file);
                        return FileVisitResult.CONTINUE;
                    }

                    @Override
                    public FileVisitResult postVisitDirectory(Path d, IOException e) throws IOException {
                        Files.delete(d);
                        return FileVisitResult.CONTINUE;
                    }
                });
        }
    }
}
