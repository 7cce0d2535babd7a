package fsutil.maven;

import com.orvan.mek.fsutil.FileTree;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.stream.Stream;

/** Walk DIR: through the dependency, prints each file's path and size as java.nio.file sees it, then the number of files and of entries deleted. */
public final class Walk {
    private Walk() {}

    public static void main(String[] args) throws IOException {
        Path root = Path.of(args[0]);
        try (Stream<FileTree.Entry> walk = FileTree.walk(root, FileTree.Option.SORTED)) {
            for (FileTree.Entry e : (Iterable<FileTree.Entry>) walk::iterator) {
                if (e.type() == FileTree.Type.FILE) System.out.println(e.path() + " " + Files.size(e.toPath()));
            }
        }
        System.out.println("files " + FileTree.usage(root).files() + " deleted " + FileTree.delete(root));
    }
}
