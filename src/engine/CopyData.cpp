// Moving a regular file's bytes: a clone where the file system shares
// blocks, else copy_file_range range by range (the kernel picks splice or a
// server-side copy), else pread/pwrite; a sparse file by its data ranges
// (SEEK_DATA/SEEK_HOLE), so that holes stay holes.
#include "engine/CopyData.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace fsutil {

namespace {

// copy_file_range moves at most this much per call (the rest is asked again): a file of up to a
// GiB in one call, as cp does it, and a larger one's progress still shows.
constexpr std::size_t kRangeChunk = std::size_t{1} << 30;
constexpr std::size_t kBufferBytes = 65536;

void count(ByteCount* to, std::uint64_t n) {
    if (to) to->moved(n);
}

// copy_file_range, else read/write, of len bytes at off, counted as they go; 0 or the errno.
int copyRange(int from, int to, off_t off, std::uint64_t len, DataRoad& road, ByteCount* counted) {
    off_t in = off;
    off_t out = off;
    std::uint64_t left = len;
    // A small file goes in one read and one write: cheaper than copy_file_range's splice on tmpfs.
    if (len > kBufferBytes && !road.noRange.load(std::memory_order_relaxed)) {
        // Read ahead as far as the kernel will: the whole range is read once, in order.
        (void)posix_fadvise(from, off, static_cast<off_t>(len), POSIX_FADV_SEQUENTIAL);
        while (left > 0) {
            const ssize_t n = copy_file_range(from, &in, to, &out, left < kRangeChunk ? left : kRangeChunk, 0);
            if (n > 0) {
                left -= static_cast<std::uint64_t>(n);
                count(counted, static_cast<std::uint64_t>(n));
                continue;
            }
            if (n == 0) return 0;  // the source got shorter meanwhile
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
            road.noRange.store(true, std::memory_order_relaxed);
            break;  // read/write from where it stopped
        }
    }
    char buf[kBufferBytes];
    while (left > 0) {
        const ssize_t r = pread(from, buf, left < sizeof buf ? left : sizeof buf, in);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r < 0 ? errno : 0;
        for (ssize_t done = 0; done < r;) {
            const ssize_t w = pwrite(to, buf + done, static_cast<std::size_t>(r - done), out);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return w < 0 ? errno : EIO;
            done += w;
            out += w;
            count(counted, static_cast<std::uint64_t>(w));
        }
        in += r;
        left -= static_cast<std::uint64_t>(r);
    }
    return 0;
}

}  // namespace

int copyFileData(int from, int to, const struct stat& st, DataRoad& road, ByteCount* counted) {
    if (st.st_size == 0) return 0;
    if (road.noClone.load(std::memory_order_relaxed) != st.st_dev) {
        if (ioctl(to, FICLONE, from) == 0) {
            count(counted, static_cast<std::uint64_t>(st.st_size));
            return 0;
        }
        if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL || errno == EXDEV || errno == ENOSYS) {
            road.noClone.store(st.st_dev, std::memory_order_relaxed);
        }
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (static_cast<std::uint64_t>(st.st_blocks) * 512 >= size) return copyRange(from, to, 0, size, road, counted);
    // Sparse: only the data ranges, then the length (a hole at the end included).
    off_t at = 0;
    while (static_cast<std::uint64_t>(at) < size) {
        const off_t data = lseek(from, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole is left
            return copyRange(from, to, at, size - static_cast<std::uint64_t>(at), road, counted);
        }
        off_t hole = lseek(from, data, SEEK_HOLE);
        if (hole < 0 || static_cast<std::uint64_t>(hole) > size) hole = static_cast<off_t>(size);
        const int err = copyRange(from, to, data, static_cast<std::uint64_t>(hole - data), road, counted);
        if (err != 0) return err;
        at = hole;
    }
    return ftruncate(to, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

}  // namespace fsutil
