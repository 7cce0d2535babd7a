package com.orvan.mek.fsutil;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryNotEmptyException;
import java.nio.file.FileAlreadyExistsException;
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
        return make(path, errno, context, reason, null);
    }

    /**
     * An exception of first's class for path and reason whose message is message: the first of
     * several failures, told once they are all known.
     */
    static IOException retold(IOException first, String path, String reason, String message) {
        int errno = first instanceof AccessDeniedException ? Records.EACCES
                : first instanceof NoSuchFileException ? Records.ENOENT
                : first instanceof NotDirectoryException ? Records.ENOTDIR
                : first instanceof DirectoryNotEmptyException ? Records.ENOTEMPTY
                : first instanceof FileAlreadyExistsException ? Records.EEXIST
                : 0;
        int context = first instanceof FileSystemLoopException ? Records.CONTEXT_LOOP : Records.CONTEXT_NONE;
        return make(path, errno, context, reason, message);
    }

    private static IOException make(String path, int errno, int context, String reason, String message) {
        boolean plain = message == null;  // the JDK's own class where it carries the reason
        if (errno == Records.EACCES || errno == Records.EPERM) {
            return plain ? new AccessDeniedException(path, null, reason) : new AccessDenied(path, reason, message);
        }
        if (errno == Records.ENOENT) return plain ? new NoSuchFileException(path, null, reason) : new NoSuchFile(path, reason, message);
        if (errno == Records.ENOTDIR) return new NotDirectory(path, reason, message);
        if (errno == Records.ENOTEMPTY) return new NotEmpty(path, reason, message);
        if (context == Records.CONTEXT_LOOP) return new Loop(path, reason, message);
        if (errno == Records.EEXIST && plain) return new FileAlreadyExistsException(path, null, reason);
        return plain ? new FileSystemException(path, null, reason) : new Other(path, reason, message);
    }

    // Subclasses that carry a reason where the JDK's class takes none (NotDirectory,
    // DirectoryNotEmpty, FileSystemLoop), and a message of their own for a failure told with others.

    private static final class AccessDenied extends AccessDeniedException {
        private static final long serialVersionUID = 1L;
        private final String message;

        AccessDenied(String path, String reason, String message) {
            super(path, null, reason);
            this.message = message;
        }

        @Override
        public String getMessage() { return message != null ? message : super.getMessage(); }
    }

    private static final class NoSuchFile extends NoSuchFileException {
        private static final long serialVersionUID = 1L;
        private final String message;

        NoSuchFile(String path, String reason, String message) {
            super(path, null, reason);
            this.message = message;
        }

        @Override
        public String getMessage() { return message != null ? message : super.getMessage(); }
    }

    private static final class Other extends FileSystemException {
        private static final long serialVersionUID = 1L;
        private final String message;

        Other(String path, String reason, String message) {
            super(path, null, reason);
            this.message = message;
        }

        @Override
        public String getMessage() { return message != null ? message : super.getMessage(); }
    }

    private static final class NotDirectory extends NotDirectoryException {
        private static final long serialVersionUID = 1L;
        private final String reason;
        private final String message;

        NotDirectory(String path, String reason, String message) {
            super(path);
            this.reason = reason;
            this.message = message;
        }

        @Override
        public String getReason() { return reason; }

        @Override
        public String getMessage() { return message != null ? message : super.getMessage(); }
    }

    private static final class NotEmpty extends DirectoryNotEmptyException {
        private static final long serialVersionUID = 1L;
        private final String reason;
        private final String message;

        NotEmpty(String path, String reason, String message) {
            super(path);
            this.reason = reason;
            this.message = message;
        }

        @Override
        public String getReason() { return reason; }

        @Override
        public String getMessage() { return message != null ? message : super.getMessage(); }
    }

    private static final class Loop extends FileSystemLoopException {
        private static final long serialVersionUID = 1L;
        private final String reason;
        private final String message;

        Loop(String path, String reason, String message) {
            super(path);
            this.reason = reason;
            this.message = message;
        }

        @Override
        public String getReason() { return reason; }

        @Override
        public String getMessage() { return message != null ? message : super.getMessage(); }
    }
}
