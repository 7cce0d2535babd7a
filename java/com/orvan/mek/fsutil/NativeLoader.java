package com.orvan.mek.fsutil;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;

/**
 * Loads the native library once per class loader. {@code System.loadLibrary("fsutil")} is tried
 * first (honours {@code -Djava.library.path}); otherwise the copy of {@code libfsutil.so} that
 * the jar carries is extracted to a temporary file, loaded from there and deleted at once.
 */
final class NativeLoader {
    static final String RESOURCE = "/native/linux-" + System.getProperty("os.arch") + "/libfsutil.so";
    private static boolean loaded;

    private NativeLoader() {}

    static synchronized void load() {
        if (loaded) return;
        try {
            System.loadLibrary("fsutil");
        } catch (UnsatisfiedLinkError notOnPath) {
            try {
                Path lib = extract();
                try {
                    System.load(lib.toString());
                } finally { // mapped by now (or useless): nothing stays behind, whatever happens to this JVM
                    lib.toFile().delete();
                    lib.getParent().toFile().delete();
                }
            } catch (IOException | UnsatisfiedLinkError e) {
                UnsatisfiedLinkError err =
                        new UnsatisfiedLinkError("fsutil: cannot load libfsutil.so from java.library.path or " + RESOURCE);
                err.addSuppressed(notOnPath);
                err.addSuppressed(e);
                throw err;
            }
        }
        loaded = true;
    }

    private static Path extract() throws IOException {
        try (InputStream in = NativeLoader.class.getResourceAsStream(RESOURCE)) {
            if (in == null) throw new IOException("resource " + RESOURCE + " not in the jar");
            Path dir = Files.createTempDirectory("fsutil");
            Path lib = dir.resolve("libfsutil.so");
            Files.copy(in, lib, StandardCopyOption.REPLACE_EXISTING);
            return lib;
        }
    }
}
