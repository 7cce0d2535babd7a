package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystemLoopException;
import java.util.Map;
import org.junit.jupiter.api.Test;

// A failure's class comes from its errno wherever it was met, then from its context: a
// permission error while copying extended attributes is AccessDeniedException as any other,
// its reason naming what was not done; getFile() is the path alone.
class FailuresTest {
    @Test
    void theErrnoDecidesTheClassInAnyContext() {
        String text = "Extended attributes not copied: Permission denied";
        Map<IOException, Class<?>> cases = Map.of(
                Failures.of("a/f", Records.EACCES, Records.CONTEXT_XATTR, text), AccessDeniedException.class,
                Failures.of("a/f", Records.EPERM, Records.CONTEXT_XATTR, text), AccessDeniedException.class,
                Failures.of("a/f", 95, Records.CONTEXT_XATTR, text), FileSystemException.class,
                Failures.of("a/f", 0, Records.CONTEXT_LOOP, text), FileSystemLoopException.class,
                Failures.of("a/f", 0, Records.CONTEXT_MOUNT_POINT, text), FileSystemException.class);
        cases.forEach((e, type) -> {
            assertEquals(type, e.getClass().getSuperclass() == FileSystemLoopException.class ? FileSystemLoopException.class
                    : e.getClass(), e.toString());
            assertEquals("a/f", ((FileSystemException) e).getFile());
            assertEquals(text, ((FileSystemException) e).getReason());
        });
    }
}
