package com.orvan.mek.fsutil;

import static org.junit.jupiter.api.Assertions.*;

import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// A handle given to a native of another kind is refused, not misread; the handle stays usable.
class HandleKindTest {
    @TempDir Path tmp;

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
}
