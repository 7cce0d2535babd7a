package com.orvan.mek.fsutil;

import java.util.Arrays;

/**
 * The {@code statvfs} record of one file system: eleven values as the platform reports them.
 * Block counts are in units of the fragment size; the {@code ...Space()} methods give bytes.
 * Immutable and thread-safe.
 */
public final class FileSysStatUnix {
    /** Mount flag bit: mounted read-only ({@code ST_RDONLY}). */
    public static final long ST_RDONLY = 1;
    /** Mount flag bit: set-user-ID bits ignored ({@code ST_NOSUID}). */
    public static final long ST_NOSUID = 2;

    private final long bsize;
    private final long frsize;
    private final long blocks;
    private final long bfree;
    private final long bavail;
    private final long files;
    private final long ffree;
    private final long favail;
    private final long fsid;
    private final long flag;
    private final long namemax;

    /**
     * Creates a record; the native library calls this with the values in {@code statvfs} order.
     *
     * @param bsize file-system block size
     * @param frsize fragment size
     * @param blocks size of the file system in fragments
     * @param bfree free blocks
     * @param bavail free blocks for unprivileged users
     * @param files inodes
     * @param ffree free inodes
     * @param favail free inodes for unprivileged users
     * @param fsid file-system identifier
     * @param flag mount flags
     * @param namemax maximum file-name length
     */
    public FileSysStatUnix(long bsize, long frsize, long blocks, long bfree, long bavail, long files, long ffree,
            long favail, long fsid, long flag, long namemax) {
        this.bsize = bsize;
        this.frsize = frsize;
        this.blocks = blocks;
        this.bfree = bfree;
        this.bavail = bavail;
        this.files = files;
        this.ffree = ffree;
        this.favail = favail;
        this.fsid = fsid;
        this.flag = flag;
        this.namemax = namemax;
    }

    /** @return the file-system block size ({@code f_bsize}) */
    public long getBlockSize() { return bsize; }
    /** @return the fragment size ({@code f_frsize}) */
    public long getFragmentSize() { return frsize; }
    /** @return the size of the file system in fragments ({@code f_blocks}) */
    public long getBlocks() { return blocks; }
    /** @return the free blocks ({@code f_bfree}) */
    public long getFreeBlocks() { return bfree; }
    /** @return the free blocks for unprivileged users ({@code f_bavail}) */
    public long getAvailableBlocks() { return bavail; }
    /** @return the number of inodes ({@code f_files}) */
    public long getFiles() { return files; }
    /** @return the free inodes ({@code f_ffree}) */
    public long getFreeFiles() { return ffree; }
    /** @return the free inodes for unprivileged users ({@code f_favail}) */
    public long getAvailableFiles() { return favail; }
    /** @return the file-system identifier ({@code f_fsid}) */
    public long getFsId() { return fsid; }
    /** @return the mount flags ({@code f_flag}), see {@link #ST_RDONLY} */
    public long getFlag() { return flag; }
    /** @return the maximum file-name length ({@code f_namemax}) */
    public long getNameMax() { return namemax; }

    /** @return the size of the file system in bytes, {@code blocks * frsize}, saturated at Long.MAX_VALUE */
    public long getTotalSpace() { return bytes(blocks); }
    /** @return the free bytes, {@code bfree * frsize} */
    public long getFreeSpace() { return bytes(bfree); }
    /** @return the bytes available to unprivileged users, {@code bavail * frsize} */
    public long getUsableSpace() { return bytes(bavail); }
    /** @return whether the file system is mounted read-only */
    public boolean isReadOnly() { return (flag & ST_RDONLY) != 0; }

    private long bytes(long count) {
        try {
            return Math.multiplyExact(count, frsize);
        } catch (ArithmeticException overflow) {
            return Long.MAX_VALUE;
        }
    }

    private long[] values() {
        return new long[] {bsize, frsize, blocks, bfree, bavail, files, ffree, favail, fsid, flag, namemax};
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof FileSysStatUnix && Arrays.equals(values(), ((FileSysStatUnix) o).values());
    }

    @Override
    public int hashCode() { return Arrays.hashCode(values()); }

    @Override
    public String toString() {
        return "FileSysStatUnix[bsize=" + bsize + ", frsize=" + frsize + ", blocks=" + blocks + ", bfree=" + bfree
                + ", bavail=" + bavail + ", files=" + files + ", ffree=" + ffree + ", favail=" + favail
                + ", fsid=" + Long.toHexString(fsid) + ", flag=" + Long.toHexString(flag) + ", namemax=" + namemax + "]";
    }
}
