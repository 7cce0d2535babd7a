// Opening a directory of a tree with its checks, and reading its entries typed.
#include "engine/DirEntries.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace fsutil {

EntryType typeOfMode(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFCHR:
        case S_IFBLK:
        case S_IFSOCK:
            return EntryType::skip;
        case S_IFDIR:
            return EntryType::directory;
        case S_IFLNK:
            return EntryType::symlink;
        case S_IFIFO:
            return EntryType::fifo;
        default:
            return EntryType::file;
    }
}

bool typeOfDType(unsigned char dType, EntryType* type) {
    switch (dType) {
        case DT_REG:
            *type = EntryType::file;
            return true;
        case DT_DIR:
            *type = EntryType::directory;
            return true;
        case DT_LNK:
            *type = EntryType::symlink;
            return true;
        case DT_FIFO:
            *type = EntryType::fifo;
            return true;
        case DT_CHR:
        case DT_BLK:
        case DT_SOCK:
            *type = EntryType::skip;
            return true;
        default:  // DT_UNKNOWN: the file system does not say
            return false;
    }
}

bool searchDenied(int fd, const struct stat& dir, uid_t euid) {
    if (dir.st_uid == euid && (dir.st_mode & S_IXUSR) != 0) return false;
    struct stat st;
    // Looking up "." needs the same search permission as lstat of "dir/name".
    return fstatat(fd, ".", &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == EACCES;
}

namespace {

// The whole of a /proc file, malloc'd and NUL-terminated; null on failure.
CharsPtr readProcFile(const char* path) {
    const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return nullptr;
    std::size_t cap = 16384;
    std::size_t len = 0;
    CharsPtr buf(static_cast<char*>(std::malloc(cap)));
    while (buf) {
        if (len + 1 == cap) {
            char* grown = static_cast<char*>(std::realloc(buf.get(), cap * 2));
            if (!grown) break;
            (void)buf.release();
            buf.reset(grown);
            cap *= 2;
        }
        const ssize_t n = read(fd.get(), buf.get() + len, cap - 1 - len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) buf.reset();
            break;
        }
        len += static_cast<std::size_t>(n);
    }
    if (buf) buf.get()[len] = '\0';
    return buf;
}

// One field of a mountinfo line, with its octal escapes (\040 and the like)
// undone, into out (NUL-terminated); the position after the field.
const char* mountField(const char* p, char* out, std::size_t size) {
    std::size_t n = 0;
    for (; *p != ' ' && *p != '\n' && *p != '\0'; ++p) {
        char c = *p;
        if (c == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' && p[3] <= '7') {
            c = static_cast<char>(((p[1] - '0') << 6) | ((p[2] - '0') << 3) | (p[3] - '0'));
            p += 3;
        }
        if (n + 1 < size) out[n++] = c;
    }
    out[n] = '\0';
    return p;
}

// Whether something is mounted on an entry of the directory open as fd (or,
// with anyDepth, anywhere below it); true also when that cannot be told (the
// caller then stats every entry).
bool holdsMountPoint(int fd, bool anyDepth) {
    char link[64];
    (void)std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char dir[4097];
    const ssize_t n = readlink(link, dir, sizeof dir - 1);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof dir - 1 || dir[0] != '/') return true;
    dir[n] = '\0';
    const std::size_t dirLen = n == 1 ? 0 : static_cast<std::size_t>(n);  // "/" joins as ""
    const CharsPtr info(readProcFile("/proc/thread-self/mountinfo"));
    if (!info) return true;
    char mountPoint[4097];
    for (const char* line = info.get(); *line != '\0';) {
        // Fields: mount id, parent id, major:minor, root, mount point, ...
        const char* p = line;
        for (int field = 0; field < 4 && *p != '\n' && *p != '\0'; ++field) {
            p = std::strchr(p, ' ');
            if (!p) return true;
            ++p;
        }
        (void)mountField(p, mountPoint, sizeof mountPoint);
        if (std::strncmp(mountPoint, dir, dirLen) == 0 && mountPoint[dirLen] == '/' && mountPoint[dirLen + 1] != '\0' &&
            (anyDepth || !std::strchr(mountPoint + dirLen + 1, '/'))) {
            return true;
        }
        const char* next = std::strchr(line, '\n');
        if (!next) break;
        line = next + 1;
    }
    return false;
}

}  // namespace

TypeRoad typeRoad(DIR* dir) {
    const int fd = dirfd(dir);
    struct stat st;
    // Looking up "." needs the same search permission as lstat of "dir/name".
    if (fstatat(fd, ".", &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == EACCES ? TypeRoad::nothing : TypeRoad::statEach;
    return holdsMountPoint(fd, false) ? TypeRoad::statEach : TypeRoad::dType;
}

bool mountsBelow(int fd) { return holdsMountPoint(fd, true); }

namespace {

// The typing of every reader: the next reportable entry and its type.
const struct dirent64* readTyped(DIR* dir, int fd, const ReadRules& rules, EntryType* type, bool* viaLink,
                                 struct stat* st) {
    if (rules.road == TypeRoad::nothing) {
        errno = 0;
        return nullptr;
    }
    for (;;) {
        errno = 0;  // so that the caller can tell a read error from the end
        const struct dirent64* e = readdir64(dir);
        if (!e) return nullptr;
        const char* n = e->d_name;
        if (isDotEntry(n)) continue;
        EntryType t;
        if (rules.attributes || rules.road == TypeRoad::statEach || !typeOfDType(e->d_type, &t)) {
            // One fstatat gives the type and the attributes; an entry gone since readdir is left out.
            if (fstatat(fd, n, st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            t = typeOfMode(st->st_mode);
        }
        *viaLink = false;
        if (t == EntryType::symlink && rules.followLinks) {
            // The target's type and record; a dangling link stays a link.
            struct stat target;
            if (fstatat(fd, n, &target, 0) == 0) {
                t = typeOfMode(target.st_mode);
                *st = target;
                *viaLink = true;
            }
        }
        if (t == EntryType::skip) {
            if (!rules.everyType) continue;
            t = EntryType::other;
        }
        *type = t;
        return e;
    }
}

}  // namespace

bool readEntry(DIR* dir, int fd, const ReadRules& rules, DirEntry* out, struct stat* st, int* err) {
    const struct dirent64* e = readTyped(dir, fd, rules, &out->type, &out->viaLink, st);
    if (!e) {
        *err = errno;
        return false;
    }
    out->name = e->d_name;
    out->nameLen = std::strlen(e->d_name);
    return true;
}

const struct dirent64* nextEntry(DIR* dir, TypeRoad road, EntryType* type) {
    ReadRules rules;
    rules.road = road;
    bool viaLink;
    struct stat st;
    return readTyped(dir, dirfd(dir), rules, type, &viaLink, &st);
}

namespace {

// Whether statx gives mount IDs here; cleared on the first answer without one (an emulator's).
std::atomic<bool> statxMountIds{true};

std::uint64_t fdinfoMountId(int fd) {
    char path[64];
    (void)std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    const CharsPtr info(readProcFile(path));
    if (!info) return 0;
    const char* line = std::strstr(info.get(), "mnt_id:");
    return line ? std::strtoull(line + 7, nullptr, 10) : 0;
}

}  // namespace

std::uint64_t mountIdOf(int fd) {
    if (statxMountIds.load(std::memory_order_relaxed)) {
        struct statx sx;
        const int rc = statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &sx);
        if (rc == 0 && (sx.stx_mask & STATX_MNT_ID) != 0 && sx.stx_mnt_id != 0) return sx.stx_mnt_id;
        if (rc == 0 || errno == ENOSYS || errno == EINVAL) statxMountIds.store(false, std::memory_order_relaxed);
    }
    return fdinfoMountId(fd);
}

bool onOtherMount(int parentFd, const char* name, dev_t dev, std::uint64_t mount) {
    if (statxMountIds.load(std::memory_order_relaxed)) {
        // One look gives both, where statx numbers mounts.
        struct statx sx;
        if (statx(parentFd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_MNT_ID, &sx) != 0) return true;
        if (makedev(sx.stx_dev_major, sx.stx_dev_minor) != dev) return true;
        if ((sx.stx_mask & STATX_MNT_ID) != 0 && sx.stx_mnt_id != 0) return mount != 0 && sx.stx_mnt_id != mount;
    }
    struct stat st;
    if (fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != dev) return true;
    if (mount == 0) return false;
    const UniqueFd fd(openat(parentFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    const std::uint64_t id = fd ? mountIdOf(fd.get()) : 0;
    return id != 0 && id != mount;
}

DirOpen openDir(int parentFd, const char* name, const DirCheck& check, struct stat* st, UniqueFd* out) {
    UniqueFd fd(openat(parentFd, name, check.viaLink ? kDirFlags & ~O_NOFOLLOW : kDirFlags));
    if (!fd || fstat(fd.get(), st) != 0) return DirOpen::failed;
    if (check.expect && !check.expect->is(*st)) return DirOpen::moved;
    if (check.device && *check.device != st->st_dev) return DirOpen::otherDevice;
    if (check.device && check.mount && *check.mount != 0) {
        const std::uint64_t id = mountIdOf(fd.get());
        if (id != 0 && id != *check.mount) return DirOpen::otherDevice;
    }
    if (oneOf(check.path, check.pathLen, *st) || oneOf(check.above, check.aboveLen, *st)) return DirOpen::loop;
    *out = std::move(fd);
    return DirOpen::opened;
}

int openDirReason(DirOpen result) {
    switch (result) {
        case DirOpen::moved:
            return kReasonMoved;
        case DirOpen::loop:
            return kReasonLoop;
        case DirOpen::otherDevice:
            return EXDEV;
        default:
            return errno;
    }
}

}  // namespace fsutil
