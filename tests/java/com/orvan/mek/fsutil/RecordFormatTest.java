package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.util.Arrays;
import org.junit.jupiter.api.Test;

// A jar and a library of different builds are told apart when the jar loads: every constant the
// two share is compared, and the first that differs is named.
class RecordFormatTest {
    private static final String PREFIX = "[checkFormat] the library and the jar do not match: ";

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
}
