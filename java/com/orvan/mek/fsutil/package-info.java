/**
 * File-system statistics ({@link com.orvan.mek.fsutil.FileSystemStatLin}), directory listings
 * ({@link com.orvan.mek.fsutil.FolderIteratorNix}) and tree walks
 * ({@link com.orvan.mek.fsutil.FileTree}) on Linux, through a native library.
 *
 * <h2>In ten lines</h2>
 * With the Maven dependency {@code com.orvan.mek:fsutil}:
 * <pre>{@code
 * Path root = Path.of("/data/photos");
 * try (Stream<FileTree.Entry> walk = FileTree.walk(root)) {       // every entry below root, depth-first
 *     for (FileTree.Entry e : (Iterable<FileTree.Entry>) walk::iterator) {
 *         if (e.type() == FileTree.Type.FILE) System.out.println(Files.size(e.toPath()) + " " + e.path());
 *     }
 * }
 * FileTree.Usage u = FileTree.usage(root);                          // du -s, on every core
 * System.out.println(u.files() + " files, " + u.bytes() + " bytes");
 * long removed = FileTree.delete(root.resolve("thumbnails"));       // rm -r, never outside it
 * long copied = FileTree.copier(root, Path.of("/backup/photos"))     // cp -a, failures to a handler
 *         .onError((path, error) -> System.err.println(path + ": " + error.getMessage())).run();
 * }</pre>
 * Each whole-tree operation has one builder ({@code walker}, {@code deleter}, {@code measurer},
 * {@code copier}) and short static forms; see {@link com.orvan.mek.fsutil.FileTree}.
 * {@link com.orvan.mek.fsutil.FileTree.Entry#toPath()} names that very entry for
 * {@code java.nio.file}, whatever bytes its name holds and whatever the locale; every call that
 * takes a path string also takes a {@link java.nio.file.Path}, read by its own bytes.
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
 * <h2>Native access (JDK 22 and later)</h2>
 * Loading a library is a restricted method from JDK 22 on: grant this library native access.
 * On the class path: {@code java --enable-native-access=ALL-UNNAMED}, or
 * {@code Enable-Native-Access: ALL-UNNAMED} in the manifest of your own executable jar (the JVM
 * reads it from the jar given to {@code -jar} only; {@code java -jar fsutil.jar} needs nothing).
 * On the module path: {@code java --enable-native-access=com.orvan.mek.fsutil}. Without it the JVM
 * prints warnings on stderr at the first use (JDK 22 to 25 by default), or, with
 * {@code --illegal-native-access=deny}, that first use throws {@link java.lang.UnsatisfiedLinkError}
 * whose message names the option to add.
 *
 * <h2>Charsets</h2>
 * Names read as {@code String}s in the JVM's default charset, which from JDK 18 on is UTF-8 in every
 * locale (unless {@code -Dfile.encoding=COMPAT}, which restores the locale's, as on JDK 17); a name
 * that does not read back as itself in it reads as ISO-8859-1, a character per byte.
 * {@link com.orvan.mek.fsutil.FileTree.Entry#toPath()} and the {@link java.nio.file.Path} forms work
 * on the bytes whatever the charset.
 *
 * <h2>What to close</h2>
 * A {@link com.orvan.mek.fsutil.FolderIteratorNix}, the streams of
 * {@link com.orvan.mek.fsutil.FolderIteratorNix#stream}, {@link com.orvan.mek.fsutil.FolderIteratorNix#entries}
 * and {@link com.orvan.mek.fsutil.FileTree#walk(String, com.orvan.mek.fsutil.FileTree.Option...)},
 * and the input streams of {@link com.orvan.mek.fsutil.FileTree#newInputStream} hold open
 * descriptors: close them (try-with-resources). Statistics and {@link com.orvan.mek.fsutil.NativeFs}
 * hold nothing.
 *
 * <h2>Threads</h2>
 * <ul>
 * <li>Any thread, any number at once: every static call ({@code FileTree.walk}, {@code walker},
 *     {@code delete}, {@code deleter}, {@code usage}, {@code measurer}, {@code copy}, {@code copier},
 *     {@code newInputStream}, {@code toPath};
 *     {@code FolderIteratorNix.list}, {@code stream}, {@code entries}; {@link com.orvan.mek.fsutil.NativeFs}),
 *     {@code getFileSysStat}, and the immutable results ({@link com.orvan.mek.fsutil.FileSysStatUnix},
 *     {@link com.orvan.mek.fsutil.FileTree.Entry} and its {@code toPath()},
 *     {@link com.orvan.mek.fsutil.FileTree.Usage}). Each call stands alone.</li>
 * <li>One thread at a time: configuring a builder ({@link com.orvan.mek.fsutil.FileTree.Walker} and the others); consuming a
 *     walk's stream (as any {@code Stream}), or in parallel through the stream itself, where
 *     {@code prune} is then asked on several threads; reading one input stream. A
 *     {@link com.orvan.mek.fsutil.FolderIteratorNix}, or a walk's {@code forEach}, shared by
 *     threads anyway hands each entry to one of them once.</li>
 * <li>Any thread, at any time, also racing a read: {@code close()} of an iterator, of a listing's
 *     or a walk's stream and of an input stream; it returns at once and releases what is open once
 *     no native call uses it.</li>
 * <li>Handlers run on the caller's thread: a walk's {@code onError} and {@code prune} on the thread
 *     consuming the stream; a job's handler and progress listener on the thread that runs it,
 *     while the job's own threads work.</li>
 * </ul>
 */
package com.orvan.mek.fsutil;
