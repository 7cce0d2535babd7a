/**
 * fsutil: file-system statistics ({@code statvfs}), directory listings and tree walks that keep
 * every file name's bytes, through a native library the jar carries for each JVM it serves.
 * Exports the API package {@link com.orvan.mek.fsutil}; the command-line tool is the module's
 * main class ({@code java -p fsutil.jar -m com.orvan.mek.fsutil}) and not an API.
 */
module com.orvan.mek.fsutil {
    exports com.orvan.mek.fsutil;
}
