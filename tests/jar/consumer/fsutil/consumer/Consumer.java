package fsutil.consumer;

import com.orvan.mek.fsutil.FileSystemStatLin;
import com.orvan.mek.fsutil.FileTree;
import java.util.stream.Stream;

// Uses the API from the module path: which module it came from, the entries below DIR and the
// maximum name length of DIR's file system.
public final class Consumer {
    public static void main(String[] args) throws Exception {
        Module fsutil = FileTree.class.getModule();
        long entries;
        try (Stream<FileTree.Entry> walk = FileTree.walk(args[0])) {
            entries = walk.count();
        }
        System.out.println(fsutil.getDescriptor().toNameAndVersion() + " tool exported: "
                + fsutil.isExported("com.orvan.mek.fsutil.tool") + " entries: " + entries
                + " namemax: " + new FileSystemStatLin().getFileSysStat(args[0]).getNameMax());
    }
}
