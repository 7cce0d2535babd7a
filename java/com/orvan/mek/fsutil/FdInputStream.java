package com.orvan.mek.fsutil;

import java.io.IOException;
import java.io.InputStream;
import java.lang.ref.Reference;
import java.util.Objects;

/**
 * The input stream of FileTree.newInputStream. Reads through the library's own natives, which
 * wait in poll() on the file and on a wake-up descriptor, so that close() from another thread
 * ends a blocked read at once (as a FileChannel's asynchronous close does); the descriptor is
 * closed only once no read uses it.
 */
final class FdInputStream extends InputStream {
    private final NativeHandle fd;

    FdInputStream(long fd) {
        this.fd = new NativeHandle(this, fd, new NativeHandle.Natives() {
            @Override
            public void release(long value) { NativeDispatcher.closeFd(value); }

            @Override
            public void wake(long value) { NativeDispatcher.wakeFd(value); }
        });
    }

    @Override
    public int read() throws IOException {
        byte[] one = new byte[1];
        return read(one, 0, 1) == 1 ? one[0] & 0xff : -1;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
        Objects.checkFromIndexSize(off, len, b.length);
        if (len == 0) return 0;
        long f = fd.enter();
        if (f == -1) throw new IOException("Stream closed");
        try {
            int n;
            // A signal ends the native read early: go on unless the stream was closed meanwhile.
            while ((n = NativeDispatcher.read(f, b, off, len)) == Records.READ_INTERRUPTED) {
                if (fd.isClosed()) break;
            }
            if (n == Records.READ_CLOSED || n == Records.READ_INTERRUPTED) throw new IOException("Stream closed");
            return n;
        } finally {
            fd.leave();
            Reference.reachabilityFence(this);
        }
    }

    /** Any thread, any time: a read blocked meanwhile ends with IOException("Stream closed"). */
    @Override
    public void close() { fd.close(); }
}
