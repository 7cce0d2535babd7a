// Remembered inodes of a copy, and the checked road to an earlier copy. A
// thread that meets an inode another thread is still copying waits for it,
// so that both names end up one inode.
#include "engine/CopyLinks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Reasons.h"
#include "engine/DirEntries.h"

namespace fsutil {

bool CopyLinks::claim(dev_t dev, ino_t ino, CharsPtr* path) {
    std::unique_lock<std::mutex> hold(lock_);
    bool added = false;
    First* first = table_.insert(dev, ino, &added);
    if (!first) return true;  // no memory: copied, not linked
    if (added) {
        first->pending = true;
        return true;
    }
    // Another thread is copying it: its copy is linked to once made.
    while (first->pending) {
        changed_.wait(hold);
        first = table_.lookup(dev, ino);  // the table may have grown meanwhile
    }
    if (first->path) *path = copyChars(first->path.get(), std::strlen(first->path.get()));
    const bool mine = !*path;  // the first copy failed (or no memory): this one tries
    if (mine) first->pending = true;
    return mine;
}

void CopyLinks::publish(dev_t dev, ino_t ino, CharsPtr path) {
    const std::lock_guard<std::mutex> hold(lock_);
    First* first = table_.lookup(dev, ino);
    // Completes a pending claim only: a caller whose claim found no memory leaves an earlier copy named.
    if (first && first->pending) {
        first->pending = false;
        first->path = std::move(path);
    }
    changed_.notify_all();
}

int linkBelow(int topFd, const char* rel, int dstDir, const char* name) {
    struct stat st;
    if (fstat(topFd, &st) != 0) return errno;
    const dev_t device = st.st_dev;
    DirCheck check;
    check.device = &device;
    UniqueFd dir;
    int at = topFd;
    const char* last = rel;
    for (const char* slash; (slash = std::strchr(last, '/')) != nullptr; last = slash + 1) {
        char step[256];
        const auto len = static_cast<std::size_t>(slash - last);
        if (len >= sizeof step) return ENAMETOOLONG;
        std::memcpy(step, last, len);
        step[len] = '\0';
        UniqueFd next;
        const DirOpen got = openDir(at, step, check, &st, &next);
        if (got == DirOpen::failed && errno != ELOOP && errno != ENOTDIR) return errno;
        if (got != DirOpen::opened) return kReasonTargetMoved;  // a link, or another file system, where a directory was
        dir = std::move(next);
        at = dir.get();
    }
    return linkat(at, last, dstDir, name, 0) == 0 ? 0 : errno;
}

}  // namespace fsutil
