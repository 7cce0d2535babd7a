// Depth-first walk of a tree through directory descriptors: each directory is
// opened relative to its parent's descriptor with O_NOFOLLOW, so that paths of
// any length work and a directory swapped for a link is never followed. When
// more than kTreeMaxOpen would be open, the shallowest open directory is read
// to its end into memory and closed; it is opened again (name by name from the
// nearest open ancestor, each step checked against the device and inode seen
// the first time) only if one of its subdirectories is still to be walked.
#include "TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "DirEntries.h"

namespace fsutil {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kHeader = 7;  // kind, depth, name length
constexpr std::size_t kAttrBytes = kTreeAttrCount * sizeof(std::int64_t);
constexpr char kMoved[] = "Directory moved or replaced during the walk";

// A growable byte buffer: the records of a directory read ahead before it was closed.
struct Bytes {
    unsigned char* data = nullptr;
    std::size_t len = 0;
    std::size_t pos = 0;  // the next record to hand out
    std::size_t cap = 0;

    bool reserve(std::size_t more) {
        if (len + more <= cap) return true;
        const std::size_t want = (len + more) * 2;
        auto* grown = static_cast<unsigned char*>(std::realloc(data, want));
        if (!grown) return false;
        data = grown;
        cap = want;
        return true;
    }
};

struct Level {
    DIR* dir = nullptr;  // the open stream; null once read to its end or read ahead
    int fd = -1;         // the directory's descriptor (dirfd(dir) while dir is open); -1 when closed
    dev_t dev = 0;
    ino_t ino = 0;
    char* name = nullptr;  // under the parent, malloc'd; null for the root
    TypeRoad road = TypeRoad::dType;
    Bytes ahead;
};

std::size_t putHeader(unsigned char* out, unsigned char kind, std::size_t depth, const char* name, std::size_t len) {
    out[0] = kind;
    out[1] = static_cast<unsigned char>(depth >> 24);
    out[2] = static_cast<unsigned char>(depth >> 16);
    out[3] = static_cast<unsigned char>(depth >> 8);
    out[4] = static_cast<unsigned char>(depth);
    out[5] = static_cast<unsigned char>(len >> 8);
    out[6] = static_cast<unsigned char>(len);
    std::memcpy(out + kHeader, name, len);
    return kHeader + len;
}

std::size_t putFailure(unsigned char* out, std::size_t depth, const char* name, const char* text) {
    const std::size_t nameLen = name ? std::strlen(name) : 0;
    std::size_t textLen = std::strlen(text);
    if (textLen > 255) textLen = 255;
    std::size_t n = putHeader(out, kTreeFailure, depth, name ? name : "", nameLen);
    out[n] = static_cast<unsigned char>(textLen >> 8);
    out[n + 1] = static_cast<unsigned char>(textLen);
    // Records carry lengths, not terminators.
    std::memcpy(out + n + 2, text, textLen);  // NOLINT(bugprone-not-null-terminated-result)
    return n + 2 + textLen;
}

std::size_t putAttributes(unsigned char* out, const struct stat& st) {
    const std::int64_t v[kTreeAttrCount] = {
        static_cast<std::int64_t>(st.st_dev),     static_cast<std::int64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_mode),    static_cast<std::int64_t>(st.st_nlink),
        static_cast<std::int64_t>(st.st_uid),     static_cast<std::int64_t>(st.st_gid),
        static_cast<std::int64_t>(st.st_size),    static_cast<std::int64_t>(st.st_blocks),
        static_cast<std::int64_t>(st.st_atim.tv_sec), static_cast<std::int64_t>(st.st_atim.tv_nsec),
        static_cast<std::int64_t>(st.st_mtim.tv_sec), static_cast<std::int64_t>(st.st_mtim.tv_nsec),
        static_cast<std::int64_t>(st.st_ctim.tv_sec), static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
    std::memcpy(out, v, sizeof v);
    return sizeof v;
}

// The length of the record at p.
std::size_t recordLength(const unsigned char* p, bool attributes) {
    const std::size_t n = kHeader + ((std::size_t{p[5]} << 8) | p[6]);
    if (p[0] == kTreeFailure) return n + 2 + ((std::size_t{p[n]} << 8) | p[n + 1]);
    return n + (attributes ? kAttrBytes : 0);
}

}  // namespace

struct Tree {
    int rootFd = -1;  // kept open for the whole walk: where reopening starts
    dev_t rootDev = 0;
    unsigned flags = 0;
    Level* levels = nullptr;
    std::size_t count = 0;  // levels[count - 1] is the directory being read
    std::size_t cap = 0;
    std::size_t open = 0;  // levels whose fd is open
    bool rootDenied = false;  // the root may be read but not searched
    bool mounts = true;       // something is mounted below the root: each directory is checked

    bool attributes() const { return (flags & kTreeAttributes) != 0; }

    // The next entry of `level` as a record at out; 0 at its end (errno set on a read error).
    std::size_t nextRecord(Level& level, std::size_t depth, unsigned char* out) {
        if (!attributes()) {
            EntryType type;
            const struct dirent64* e = nextEntry(level.dir, level.road, &type);
            if (!e) return 0;
            return putHeader(out, static_cast<unsigned char>(type), depth, e->d_name, std::strlen(e->d_name));
        }
        for (;;) {
            errno = 0;
            const struct dirent64* e = readdir64(level.dir);
            if (!e) return 0;
            const char* n = e->d_name;
            if (isDotEntry(n)) continue;
            // One fstatat gives the type and the attributes; an entry gone since readdir is left out.
            struct stat st;
            if (fstatat(level.fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            const EntryType type = typeOfMode(st.st_mode);
            if (type == EntryType::skip) continue;
            const std::size_t len = putHeader(out, static_cast<unsigned char>(type), depth, n, std::strlen(n));
            return len + putAttributes(out + len, st);
        }
    }

    void closeLevel(Level& level) {
        if (level.dir) {
            closedir(level.dir);
        } else if (level.fd >= 0) {
            close(level.fd);
        }
        if (level.fd >= 0) --open;
        level.dir = nullptr;
        level.fd = -1;
    }

    // Reads the rest of level i into memory and closes it.
    void readAhead(std::size_t i) {
        Level& level = levels[i];
        unsigned char record[kTreeMinBuffer];
        while (level.dir) {
            std::size_t n = nextRecord(level, i + 1, record);
            if (n == 0 && errno != 0) n = putFailure(record, i, level.name, std::strerror(errno));
            if (n == 0) break;
            if (!level.ahead.reserve(n)) return;  // no memory: it stays open, over the bound
            std::memcpy(level.ahead.data + level.ahead.len, record, n);
            level.ahead.len += n;
            if (record[0] == kTreeFailure) break;
        }
        closeLevel(level);
    }

    // Keeps at most kTreeMaxOpen directories open: the shallowest go first.
    // The directory being read (the last level) stays open.
    void bound() {
        for (std::size_t i = 0; open > kTreeMaxOpen && i + 1 < count; ++i) {
            if (levels[i].fd >= 0) readAhead(i);
        }
    }

    // Opens level i again from its nearest open ancestor; false (and the
    // reason in *why) when it cannot be, or is no longer the same directory.
    bool reopen(std::size_t i, const char** why) {
        if (i == 0) {
            levels[0].fd = dup(rootFd);
            if (levels[0].fd < 0) {
                *why = std::strerror(errno);
                return false;
            }
            ++open;  // the only level: nothing to bound
            return true;
        }
        std::size_t k = i;
        while (k > 1 && levels[k - 1].fd < 0) --k;
        int fd = k > 0 && levels[k - 1].fd >= 0 ? levels[k - 1].fd : rootFd;
        if (fd == rootFd) k = 1;  // the root itself never moves under its own descriptor
        bool owned = false;
        for (; k <= i; ++k) {
            const int next = openat(fd, levels[k].name, kDirFlags);
            const int err = errno;
            if (owned) close(fd);
            if (next < 0) {
                *why = err == ENOENT || err == ENOTDIR || err == ELOOP ? kMoved : std::strerror(err);
                return false;
            }
            struct stat st;
            if (fstat(next, &st) != 0 || st.st_dev != levels[k].dev || st.st_ino != levels[k].ino) {
                close(next);
                *why = kMoved;
                return false;
            }
            fd = next;
            owned = true;
        }
        levels[i].fd = fd;
        ++open;
        bound();
        return true;
    }

    bool push(const Level& level) {
        if (count == cap) {
            const std::size_t want = cap ? cap * 2 : 16;
            auto* grown = static_cast<Level*>(std::realloc(static_cast<void*>(levels), want * sizeof(Level)));
            if (!grown) return false;
            levels = grown;
            cap = want;
        }
        new (&levels[count++]) Level(level);
        ++open;
        bound();
        return true;
    }

    void pop() {
        Level& level = levels[count - 1];
        closeLevel(level);
        std::free(level.name);
        std::free(level.ahead.data);
        --count;
    }

    // Walks into the directory `name` of the last level, just reported at
    // depth `count`. A failure is written at out as a record; its length is returned.
    std::size_t descend(const char* name, unsigned char* out) {
        const std::size_t depth = count;
        Level& parent = levels[count - 1];
        const char* why = nullptr;
        if (parent.fd < 0 && !reopen(count - 1, &why)) {
            parent.ahead.pos = parent.ahead.len;  // the rest of it cannot be walked
            return putFailure(out, depth - 1, parent.name, why);
        }
        const int fd = openat(parent.fd, name, kDirFlags);
        if (fd < 0) return putFailure(out, depth, name, std::strerror(errno));
        struct stat st;
        if (fstat(fd, &st) != 0) {
            const int err = errno;
            close(fd);
            return putFailure(out, depth, name, std::strerror(err));
        }
        if ((flags & kTreeSameFileSystem) != 0 && st.st_dev != rootDev) {
            close(fd);
            return 0;
        }
        Level level;
        level.fd = fd;
        level.dev = st.st_dev;
        level.ino = st.st_ino;
        level.name = strdup(name);
        level.dir = level.name ? fdopendir(fd) : nullptr;
        if (!level.dir) {
            const int err = level.name ? errno : ENOMEM;
            close(fd);
            std::free(level.name);
            return putFailure(out, depth, name, std::strerror(err));
        }
        if (searchDenied(fd)) {
            closedir(level.dir);
            std::free(level.name);
            return putFailure(out, depth, name, std::strerror(EACCES));
        }
        if (!attributes() && mounts) level.road = typeRoad(level.dir);
        if (!push(level)) {
            closedir(level.dir);
            std::free(level.name);
            return putFailure(out, depth, name, std::strerror(ENOMEM));
        }
        return 0;
    }
};

Tree* openTree(int rootFd, unsigned flags) {
    struct stat st;
    auto* tree = new (std::nothrow) Tree;
    const int fd = tree && fstat(rootFd, &st) == 0 ? dup(rootFd) : -1;
    Level root;
    root.dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!root.dir) {
        if (fd >= 0) close(fd);
        close(rootFd);
        delete tree;
        return nullptr;
    }
    tree->rootFd = rootFd;
    tree->rootDev = st.st_dev;
    tree->flags = flags;
    root.fd = fd;
    root.dev = st.st_dev;
    root.ino = st.st_ino;
    tree->rootDenied = searchDenied(fd);
    if (!(flags & kTreeAttributes)) {
        // Mounts made below the root during the walk are not seen: a race like any other change.
        tree->mounts = mountsBelow(fd);
        if (tree->mounts) root.road = typeRoad(root.dir);
    }
    if (!tree->push(root)) {
        closedir(root.dir);
        closeTree(tree);
        return nullptr;
    }
    return tree;
}

std::size_t readTree(Tree* tree, unsigned char* out, std::size_t size) {
    std::size_t used = 0;
    const bool attributes = tree->attributes();
    if (tree->rootDenied && size >= kTreeMinBuffer) {
        tree->rootDenied = false;
        used = putFailure(out, 0, nullptr, std::strerror(EACCES));
        tree->pop();
    }
    while (tree->count > 0 && used + kTreeMinBuffer <= size) {
        const std::size_t depth = tree->count;
        Level& top = tree->levels[depth - 1];
        unsigned char* record = out + used;
        std::size_t n;
        if (top.ahead.pos < top.ahead.len) {
            n = recordLength(top.ahead.data + top.ahead.pos, attributes);
            std::memcpy(record, top.ahead.data + top.ahead.pos, n);
            top.ahead.pos += n;
        } else if (top.dir) {
            n = tree->nextRecord(top, depth, record);
            if (n == 0 && errno != 0) {
                used += putFailure(record, depth - 1, top.name, std::strerror(errno));
                tree->pop();
                continue;
            }
        } else {
            n = 0;
        }
        if (n == 0) {
            tree->pop();
            continue;
        }
        used += n;
        if (record[0] == static_cast<unsigned char>(EntryType::directory)) {
            char name[256];
            const std::size_t len = (std::size_t{record[5]} << 8) | record[6];
            std::memcpy(name, record + kHeader, len);
            name[len] = '\0';
            used += tree->descend(name, out + used);
        }
    }
    return used;
}

void closeTree(Tree* tree) {
    if (!tree) return;
    while (tree->count > 0) tree->pop();
    std::free(static_cast<void*>(tree->levels));
    if (tree->rootFd >= 0) close(tree->rootFd);
    delete tree;
}

}  // namespace fsutil
