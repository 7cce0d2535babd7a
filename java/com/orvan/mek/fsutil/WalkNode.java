package com.orvan.mek.fsutil;

import java.nio.file.Path;
import java.util.ArrayDeque;

/**
 * One entry of a walk as the readers build it: its parent, name (as a string and as the
 * directory's bytes), type code, depth, attributes and the walk's root. The facade's public entry
 * extends it with its getters; the readers make entries through a {@link Maker} the facade gives.
 */
abstract class WalkNode {
    /** Makes the facade's entry of a record; the readers call nothing else of the facade. */
    @FunctionalInterface
    interface Maker {
        WalkNode make(WalkNode parent, String name, byte[] nameBytes, int type, int depth, long[] attributes,
                NioPaths.Root root);
    }

    final WalkNode parent;
    final String name;
    final byte[] nameBytes;
    final int type;
    final int depth;
    final long[] attributes;
    final NioPaths.Root root;
    private String path;

    WalkNode(WalkNode parent, String name, byte[] nameBytes, int type, int depth, long[] attributes,
            NioPaths.Root root) {
        this.parent = parent;
        this.name = name;
        this.nameBytes = nameBytes;
        this.type = type;
        this.depth = depth;
        this.attributes = attributes;
        this.root = root;
    }

    final boolean isDirectory() { return type == Records.DIRECTORY; }

    /** The path below the root, names joined with "/". */
    final String relativePath() {
        if (path != null) return path;
        // Up to the nearest directory whose path is known, then down: no recursion, whatever the depth.
        ArrayDeque<WalkNode> up = new ArrayDeque<>();
        WalkNode e = this;
        for (; e != null && e.path == null; e = e.parent) up.push(e);
        String at = e == null ? null : e.path;
        for (WalkNode d : up) {
            d.path = at == null ? d.name : at + "/" + d.name;
            at = d.path;
        }
        return path;
    }

    /** The root's bytes, then each name's bytes, as one byte-exact Path. */
    final Path exactPath() {
        byte[][] names = new byte[depth][];
        int i = depth;
        for (WalkNode e = this; e != null && i > 0; e = e.parent) names[--i] = e.nameBytes;
        return NioPaths.path(root.bytes(), names);
    }
}
