package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryNotEmptyException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystemLoopException;
import java.nio.file.NoSuchFileException;
import java.nio.file.NotDirectoryException;

/**
 * The one place a failure on a path (its errno and the system's text) becomes the
 * {@code java.nio.file} exception a Java programmer expects, for the failure handlers and for
 * FileTree's own calls (the natives call {@link #of} too). {@code getFile()} is the path,
 * {@code getReason()} the system's text.
 */
final class Failures {
    private Failures() {}

    /**
     * @param path the path as the call names it
     * @param errno the errno, 0 when the reason has none
     * @param reason the system's error text
     * @return the exception that fits
     */
    static IOException of(String path, int errno, String reason) { return of(path, errno, Records.CONTEXT_NONE, reason); }

    /**
     * A failure met in a context (one of {@code Records.CONTEXT_}): the errno decides the class
     * wherever it was met (a permission error is {@link AccessDeniedException}, also for an
     * extended attribute), then the context (a loop is {@link FileSystemLoopException}).
     *
     * @param path the path as the call names it
     * @param errno the errno, 0 when the reason has none
     * @param context what was being done
     * @param reason the text: the context's, then the system's
     * @return the exception that fits
     */
    static IOException of(String path, int errno, int context, String reason) {
        if (errno == Records.EACCES || errno == Records.EPERM) return new AccessDeniedException(path, null, reason);
        if (errno == Records.ENOENT) return new NoSuchFileException(path, null, reason);
        if (errno == Records.ENOTDIR) return new NotDirectory(path, reason);
        if (errno == Records.ENOTEMPTY) return new NotEmpty(path, reason);
        if (context == Records.CONTEXT_LOOP) return new Loop(path, reason);
        return new FileSystemException(path, null, reason);
    }

    /**
     * The exception a short form throws once a job is done when n things failed: of the first
     * failure's type where it is one of the common ones, naming it and the count.
     */
    static IOException counted(String prefix, IOException first, long n, String verb) {
        String message = prefix + n + (n == 1 ? " entry" : " entries") + " could not be " + verb + ", the first: ";
        if (first instanceof FileSystemException) {
            FileSystemException f = (FileSystemException) first;
            String reason = message + f.getFile() + ": " + f.getReason();
            IOException e;
            if (f instanceof AccessDeniedException) {
                e = new AccessDeniedException(f.getFile(), null, reason);
            } else if (f instanceof NoSuchFileException) {
                e = new NoSuchFileException(f.getFile(), null, reason);
            } else if (f instanceof NotDirectoryException) {
                e = new NotDirectory(f.getFile(), reason);
            } else if (f instanceof DirectoryNotEmptyException) {
                e = new NotEmpty(f.getFile(), reason);
            } else {
                e = new FileSystemException(f.getFile(), null, reason);
            }
            e.initCause(first);
            return e;
        }
        return new IOException(message + first.getMessage(), first);
    }

    // The JDK's own classes of these three take no reason: these carry it.

    private static final class NotDirectory extends NotDirectoryException {
        private static final long serialVersionUID = 1L;
        private final String reason;

        NotDirectory(String path, String reason) {
            super(path);
            this.reason = reason;
        }

        @Override
        public String getReason() { return reason; }
    }

    private static final class NotEmpty extends DirectoryNotEmptyException {
        private static final long serialVersionUID = 1L;
        private final String reason;

        NotEmpty(String path, String reason) {
            super(path);
            this.reason = reason;
        }

        @Override
        public String getReason() { return reason; }
    }

    private static final class Loop extends FileSystemLoopException {
        private static final long serialVersionUID = 1L;
        private final String reason;

        Loop(String path, String reason) {
            super(path);
            this.reason = reason;
        }

        @Override
        public String getReason() { return reason; }
    }
}
