package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.io.IOException;
import java.nio.file.*;
import java.util.Arrays;
import java.util.Map;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// What crosses between the library and the jar: a jar and a library of different builds are told
// apart when the jar loads (every constant the two share compared, the first that differs named);
// a handle given to a native of another kind is refused, not misread; a failure record becomes
// the exception its errno names.
class NativeBoundaryTest {
    private static final String PREFIX = "[checkFormat] the library and the jar do not match: ";
    @TempDir Path tmp;

    @Test
    void anyConstantThatDiffersIsNamedWithBothValues() {
        int[] format = RecordFormat.format();
        for (int i = 0; i < format.length; i++) {
            int[] other = format.clone();
            other[i] = format[i] + 1000;
            InternalError e = assertThrows(InternalError.class, () -> NativeDispatcher.checkFormat(other), "field " + i);
            assertTrue(e.getMessage().startsWith(PREFIX), e.getMessage());
            assertTrue(e.getMessage().endsWith(" is " + format[i] + " in the library, " + other[i] + " in the jar"), e.getMessage());
        }
    }

    @Test
    void aMissingOrAnExtraConstantIsCounted() {
        int[] format = RecordFormat.format();
        for (int[] other : new int[][] {Arrays.copyOf(format, format.length - 1), Arrays.copyOf(format, format.length + 1), null}) {
            InternalError e = assertThrows(InternalError.class, () -> NativeDispatcher.checkFormat(other));
            int given = other == null ? 0 : other.length;
            assertEquals(PREFIX + "the library describes " + format.length + " fields, the jar " + given, e.getMessage());
        }
    }

    // The handle stays usable.
    @Test
    void aHandleOfAnotherKindIsRefused() throws Exception {
        long walk = NativeDispatcher.openTree(tmp.toString(), false, false, false, false, false, Integer.MAX_VALUE, false);
        long listing = NativeDispatcher.openBatch(tmp.toString());
        try {
            assertThrows(IllegalArgumentException.class, () -> NativeDispatcher.usageClose(walk, new long[5]));
            assertThrows(IllegalArgumentException.class, () -> NativeDispatcher.jobNext(listing, -1, null));
            assertThrows(IllegalArgumentException.class, () -> NativeDispatcher.readBatch(walk, new byte[Records.LIST_BATCH]));
            assertThrows(IllegalArgumentException.class, () -> NativeDispatcher.groupDepth(walk));
            assertEquals(0, NativeDispatcher.readTree(walk, new byte[Records.WALK_BATCH], false));
        } finally {
            NativeDispatcher.closeBatch(listing);
            NativeDispatcher.closeTree(walk);
        }
    }

    // The class comes from the errno wherever it was met, then from the context: a permission error
    // while copying extended attributes is AccessDeniedException as any other, its reason naming
    // what was not done; getFile() is the path alone.
    @Test
    void theErrnoDecidesAFailuresClassInAnyContext() {
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
