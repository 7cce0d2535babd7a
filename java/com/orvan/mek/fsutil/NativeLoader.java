package com.orvan.mek.fsutil;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;

/**
 * Loads the native library once per class loader. {@code System.loadLibrary("fsutil")} is tried
 * first (honours {@code -Djava.library.path}); otherwise the copy of {@code libfsutil.so} that
 * the jar carries for this JVM's os.arch is extracted to a new directory under
 * {@code fsutil.tmpdir} (default {@code java.io.tmpdir}), loaded from there and deleted at once.
 * A JVM that denies this module native access (JDK 24 and later with
 * {@code --illegal-native-access=deny}) gets an error naming the flag that grants it.
 */
final class NativeLoader {
    static final String RESOURCE = "/native/linux-" + System.getProperty("os.arch") + "/libfsutil.so";
    /** What the dynamic loader says when the file system refuses executable mappings (noexec). */
    private static final String NOEXEC = "failed to map segment from shared object";
    private static boolean loaded;

    private NativeLoader() {}

    static synchronized void load() {
        if (loaded) return;
        try {
            loadLibrary();
        } catch (IllegalCallerException denied) {
            // An Error, so that a class initializer passes it on as it is.
            UnsatisfiedLinkError err = new UnsatisfiedLinkError("fsutil: cannot load libfsutil.so: " + denial());
            err.initCause(denied);
            throw err;
        }
        loaded = true;
    }

    /** Who was denied native access, and the option that grants it: the module's name, or ALL-UNNAMED on the class path. */
    private static String denial() {
        Module m = NativeLoader.class.getModule();
        return m.isNamed()
                ? "this JVM denies native access to the module " + m.getName()
                        + "; allow it with the java option --enable-native-access=" + m.getName()
                : "this JVM denies native access to the class path; allow it with the java option"
                        + " --enable-native-access=ALL-UNNAMED (in an executable jar: Enable-Native-Access: ALL-UNNAMED in its manifest)";
    }

    private static void loadLibrary() {
        try {
            System.loadLibrary("fsutil");
        } catch (UnsatisfiedLinkError notOnPath) {
            Path dir = Paths.get(System.getProperty("fsutil.tmpdir", System.getProperty("java.io.tmpdir")));
            try {
                Path lib = extract(dir);
                try {
                    System.load(lib.toString());
                } finally { // mapped by now (or useless): nothing stays behind, whatever happens to this JVM
                    lib.toFile().delete();
                    lib.getParent().toFile().delete();
                }
            } catch (IOException | UnsatisfiedLinkError e) {
                String why = String.valueOf(e.getMessage()).contains(NOEXEC)
                        ? ": " + dir + " does not allow executable mappings (mounted noexec?);"
                                + " name a directory that does with -Dfsutil.tmpdir=DIR"
                        : "";
                UnsatisfiedLinkError err = new UnsatisfiedLinkError(
                        "fsutil: cannot load libfsutil.so from java.library.path or " + RESOURCE + why);
                err.addSuppressed(notOnPath);
                err.addSuppressed(e);
                throw err;
            }
        }
    }

    private static Path extract(Path tmpdir) throws IOException {
        try (InputStream in = NativeLoader.class.getResourceAsStream(RESOURCE)) {
            if (in == null) throw new IOException("resource " + RESOURCE + " not in the jar");
            Path dir = Files.createTempDirectory(tmpdir, "fsutil");
            Path lib = dir.resolve("libfsutil.so");
            Files.copy(in, lib, StandardCopyOption.REPLACE_EXISTING);
            return lib;
        }
    }
}
