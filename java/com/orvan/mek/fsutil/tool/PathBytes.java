package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.nio.charset.Charset;
import java.util.Arrays;

/**
 * The bytes of root/path of a walk's entries, as they are on disk, built from the entries' name
 * bytes: moving one directory down or back up along the last path costs nothing.
 */
final class PathBytes {
    private byte[] path;
    private final int rootLen;
    // chain[d] is the directory at depth d (0: the root), its path ends at ends[d]; valid up to depth top.
    private FileTree.Entry[] chain = new FileTree.Entry[16];
    private int[] ends = new int[16];
    private int top;

    PathBytes(String root) {
        path = root.getBytes(Charset.defaultCharset());
        rootLen = path.length;
        ends[0] = root.endsWith("/") ? path.length - 1 : path.length;
    }

    /** The buffer holding the last path asked for; valid until the next call. */
    byte[] bytes() { return path; }

    /** @return the length of the root's own path in {@link #bytes()} */
    int root() { return rootLen; }

    /** Puts root/path of e into {@link #bytes()}; returns its length. */
    int of(FileTree.Entry e) {
        return append(prefix(e.parent(), e.depth() - 1), e.nameBytes());
    }

    private int append(int start, byte[] name) {
        if (path.length < start + 1 + name.length) path = Arrays.copyOf(path, (start + 1 + name.length) * 2);
        path[start] = '/';
        System.arraycopy(name, 0, path, start + 1, name.length);
        return start + 1 + name.length;
    }

    private int prefix(FileTree.Entry dir, int d) {
        if (d == 0 || (d <= top && chain[d] == dir)) return ends[d];
        int start = d > 1 && dir.parent() != chain[d - 1] || d - 1 > top ? prefix(dir.parent(), d - 1) : ends[d - 1];
        int end = append(start, dir.nameBytes());
        if (d >= chain.length) {
            chain = Arrays.copyOf(chain, d * 2);
            ends = Arrays.copyOf(ends, d * 2);
        }
        chain[d] = dir;
        ends[d] = end;
        top = d;
        return end;
    }
}
