/**
 * File-system statistics ({@link com.orvan.mek.fsutil.FileSystemStatLin}), directory listings
 * ({@link com.orvan.mek.fsutil.FolderIteratorNix}) and tree walks
 * ({@link com.orvan.mek.fsutil.FileTree}) on Linux, through a native library.
 *
 * <h2>Loading the native library</h2>
 * The first use of a class that needs the library loads it, once per class loader:
 * {@code System.loadLibrary("fsutil")} first (so {@code -Djava.library.path} wins), then the copy
 * the jar carries for the JVM's {@code os.arch} ({@code native/linux-<os.arch>/libfsutil.so};
 * the jar carries {@code amd64} and {@code i386}). That copy is extracted to a new directory in
 * the directory named by the system property {@code fsutil.tmpdir} (default:
 * {@code java.io.tmpdir}), loaded, and deleted at once with its directory. Where the temporary
 * directory does not allow executable mappings (mounted {@code noexec}), point
 * {@code -Dfsutil.tmpdir} at a directory that does.
 *
 * <p>When no library can be loaded, that first use throws {@link java.lang.UnsatisfiedLinkError}
 * (its message says why, and names {@code -Dfsutil.tmpdir} when the directory was
 * {@code noexec}); the class then stays unusable in that class loader
 * ({@link java.lang.NoClassDefFoundError} on later uses).
 *
 * <h2>What to close</h2>
 * A {@link com.orvan.mek.fsutil.FolderIteratorNix}, the streams of
 * {@link com.orvan.mek.fsutil.FolderIteratorNix#stream}, {@link com.orvan.mek.fsutil.FolderIteratorNix#entries}
 * and {@link com.orvan.mek.fsutil.FileTree#walk(String, com.orvan.mek.fsutil.FileTree.Option...)},
 * and the input streams of {@link com.orvan.mek.fsutil.FileTree#newInputStream} hold open
 * descriptors: close them (try-with-resources). Statistics and {@link com.orvan.mek.fsutil.NativeFs}
 * hold nothing.
 */
package com.orvan.mek.fsutil;
