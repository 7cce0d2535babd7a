package com.orvan.mek.fsutil.tool;

import com.orvan.mek.fsutil.FileTree;
import java.util.Arrays;

/**
 * The bytes of root/path of a walk's entries, as they are on disk, built from the root's bytes as
 * given and the entries' name bytes: moving one directory down or back up along the last path
 * costs nothing, and no step recurses with the depth.
 */
final class PathBytes {
    private byte[] path;
    private final int rootLen;
    // chain[d] is the directory at depth d whose path ends at ends[d]; chain[1..top] is one path down from the root.
    private FileTree.Entry[] chain = new FileTree.Entry[16];
    private int[] ends = new int[16];
    private int top;

    /** @param root the root as named: printed as it is, with "/" and the names below it (one "/" after a root ending in "/", as find does) */
    PathBytes(byte[] root) {
        path = Arrays.copyOf(root, Math.max(64, root.length * 2 + 1));
        rootLen = root.length;
        ends[0] = rootLen > 0 && root[rootLen - 1] == '/' ? rootLen - 1 : rootLen;
    }

    /** The buffer holding the last path asked for, with room for one byte after it; valid until the next call. */
    byte[] bytes() { return path; }

    /** @return the length of the root's own path in {@link #bytes()} */
    int root() { return rootLen; }

    /** Puts root/path of e into {@link #bytes()}; returns its length. */
    int of(FileTree.Entry e) {
        int d = e.depth() - 1;  // its directory's depth
        if (d >= chain.length) {
            chain = Arrays.copyOf(chain, d * 2);
            ends = Arrays.copyOf(ends, d * 2);
        }
        // The deepest of its directories still on the last path; those below it are written anew.
        FileTree.Entry dir = e.parent();
        int k = d;
        for (FileTree.Entry a = dir; k > 0 && !(k <= top && chain[k] == a); a = a.parent()) k--;
        FileTree.Entry a = dir;
        for (int i = d; i > k; i--, a = a.parent()) chain[i] = a;
        for (int i = k + 1; i <= d; i++) ends[i] = append(ends[i - 1], chain[i].nameBytes());
        top = d;
        return append(ends[d], e.nameBytes());
    }

    private int append(int start, byte[] name) {
        int end = start + 1 + name.length;
        if (path.length <= end) path = Arrays.copyOf(path, end * 2);
        path[start] = '/';
        System.arraycopy(name, 0, path, start + 1, name.length);
        return end;
    }
}
