// The tree walk engine: depth-first through directory descriptors. Each
// directory is opened relative to its parent's descriptor (O_NOFOLLOW unless
// it was reached through a followed link), so that paths of any length work
// and a directory swapped for a link is never followed. A directory is opened
// only when the event after its entry is asked for, so that a consumer may
// skip it unread. When more than kTreeMaxOpen would be open, the shallowest
// open directory is read to its end into memory and closed; it is opened
// again (name by name from the nearest open ancestor, each step checked
// against the device and inode seen the first time) only if one of its
// subdirectories is still to be walked.
#include "TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Grow.h"

namespace fsutil {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// An entry read ahead: where its name lies in the level's names, its type, its record if kept.
struct Item {
    std::size_t nameAt;
    std::size_t nameLen;
    std::size_t statAt;  // index into the level's records, when the walk keeps them
    EntryType type;
    bool viaLink;
};

}  // namespace

struct TreeWalk::Level {
    DIR* dir;          // the open stream; null once closed
    int fd;            // the directory's descriptor: dirfd(dir), or a reopened one; -1 when closed
    dev_t dev;
    ino_t ino;
    char* name;        // under the parent, malloc'd; null for the root
    std::size_t nameLen;
    bool viaLink;      // reached through a followed link: reopened without O_NOFOLLOW
    bool buffered;     // entries come from items (sorted, or read ahead)
    bool noLeave;      // split off: left after the entries taken, by whoever took them
    TypeRoad road;
    const char* why;   // a failure to report once the entries run out
    Grow<char> names;
    Grow<Item> items;
    Grow<struct stat> stats;
    std::size_t pos;   // the next item
};

// The entry being handed out.
struct TreeWalk::Current {
    const char* name;
    std::size_t nameLen;
    EntryType type;
    bool viaLink;
    const struct stat* st;
};

TreeWalk* TreeWalk::open(int rootFd, const WalkOptions& options) {
    auto* walk = new (std::nothrow) TreeWalk;
    struct stat st;
    if (!walk || fstat(rootFd, &st) != 0) {
        const int err = walk ? errno : ENOMEM;
        close(rootFd);
        delete walk;
        errno = err;
        return nullptr;
    }
    walk->options_ = options;
    walk->rootFd_ = rootFd;
    walk->rootDev_ = options.topDevice ? *options.topDevice : st.st_dev;
    if (options.maxDepth == 0) return walk;  // nothing below the root is reported: it is not read
    // Mounts made below the root during the walk are not seen: a race like any other change.
    walk->mounts_ = !options.attributes && mountsBelow(rootFd);
    const int fd = dup(rootFd);
    if (fd < 0 || (walk->push(fd, st, nullptr, false) && walk->count_ == 0)) {
        const int err = errno;  // dup's, or push's
        delete walk;
        errno = err;
        return nullptr;
    }
    return walk;
}

TreeWalk::~TreeWalk() {
    while (count_ > 0) pop();
    std::free(static_cast<void*>(levels_));
    if (rootFd_ >= 0) close(rootFd_);
}

// Opens the directory fd (taken over) as the new deepest level. Null, or the
// failure to report for it (the level then holds no entries, or is not pushed).
const char* TreeWalk::push(int fd, const struct stat& st, const char* name, bool viaLink) {
    if (count_ == cap_) {
        const std::size_t want = cap_ ? cap_ * 2 : 16;
        auto* grown = static_cast<Level*>(std::realloc(static_cast<void*>(levels_), want * sizeof(Level)));
        if (!grown) {
            close(fd);
            errno = ENOMEM;
            return std::strerror(ENOMEM);
        }
        levels_ = grown;
        cap_ = want;
    }
    Level level{};
    level.fd = fd;
    level.dev = st.st_dev;
    level.ino = st.st_ino;
    level.viaLink = viaLink;
    level.nameLen = name ? std::strlen(name) : 0;
    level.name = name ? strndup(name, level.nameLen) : nullptr;
    level.dir = !name || level.name ? fdopendir(fd) : nullptr;
    if (!level.dir) {
        const int err = name && !level.name ? ENOMEM : errno;
        close(fd);
        std::free(level.name);
        errno = err;
        return std::strerror(err);
    }
    if (searchDenied(fd)) {
        // It may be read but not searched: no entry could be examined.
        closedir(level.dir);
        level.dir = nullptr;
        level.fd = -1;
        level.why = std::strerror(EACCES);
    } else {
        ++open_;
        if (mounts_) level.road = typeRoad(level.dir);
    }
    levels_[count_++] = level;
    if (options_.sorted && level.dir && !fill(levels_[count_ - 1])) levels_[count_ - 1].why = std::strerror(ENOMEM);
    bound();
    return nullptr;
}

void TreeWalk::closeLevel(Level& level) {
    if (level.dir) {
        closedir(level.dir);
    } else if (level.fd >= 0) {
        close(level.fd);
    }
    if (level.fd >= 0) --open_;
    level.dir = nullptr;
    level.fd = -1;
}

void TreeWalk::pop() {
    Level& level = levels_[count_ - 1];
    closeLevel(level);
    std::free(level.name);
    level.names.release();
    level.items.release();
    level.stats.release();
    --count_;
}

// The next reportable entry of an open stream into *cur (its record, when
// needed, into *st); false at the end, with level.why set on a read error.
bool TreeWalk::readEntry(Level& level, Current* cur, struct stat* st) {
    if (level.road == TypeRoad::nothing) return false;
    for (;;) {
        errno = 0;
        const struct dirent64* e = readdir64(level.dir);
        if (!e) {
            if (errno != 0) level.why = std::strerror(errno);
            return false;
        }
        const char* n = e->d_name;
        if (isDotEntry(n)) continue;
        EntryType type;
        if (options_.attributes || level.road == TypeRoad::statEach || !typeOfDType(e->d_type, &type)) {
            // One fstatat gives the type and the attributes; an entry gone since readdir is left out.
            if (fstatat(level.fd, n, st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = typeOfMode(st->st_mode);
        }
        bool viaLink = false;
        if (type == EntryType::symlink && options_.followLinks) {
            // The target's type and record; a dangling link stays a link.
            struct stat target;
            if (fstatat(level.fd, n, &target, 0) == 0) {
                type = typeOfMode(target.st_mode);
                *st = target;
                viaLink = true;
            }
        }
        if (type == EntryType::skip) {
            if (!options_.everyType) continue;
            type = EntryType::other;
        }
        cur->name = n;
        cur->nameLen = std::strlen(n);
        cur->type = type;
        cur->viaLink = viaLink;
        cur->st = options_.attributes ? st : nullptr;
        return true;
    }
}

// Reads the rest of an open level into its items (sorted, if asked); its
// stream stays open, at its end. False when out of memory.
bool TreeWalk::fill(Level& level) {
    Current cur;
    struct stat st;
    // Read-ahead keeps the unread rest only: what was handed out is gone.
    level.names.len = level.items.len = level.stats.len = level.pos = 0;
    while (readEntry(level, &cur, &st)) {
        if (!level.names.reserve(cur.nameLen + 1) || !level.items.reserve(1) ||
            (options_.attributes && !level.stats.reserve(1))) {
            return false;
        }
        Item item{level.names.len, cur.nameLen, level.stats.len, cur.type, cur.viaLink};
        std::memcpy(level.names.data + level.names.len, cur.name, cur.nameLen + 1);
        level.names.len += cur.nameLen + 1;
        if (options_.attributes) level.stats.data[level.stats.len++] = st;
        level.items.data[level.items.len++] = item;
    }
    if (options_.sorted) {
        // Ascending name bytes, unsigned: strcmp compares as unsigned char.
        const char* names = level.names.data;
        std::sort(level.items.data, level.items.data + level.items.len,
                  [names](const Item& a, const Item& b) { return std::strcmp(names + a.nameAt, names + b.nameAt) < 0; });
    }
    level.buffered = true;
    return true;
}

bool TreeWalk::take(Level& level, Current* cur) {
    if (!level.buffered) return level.fd >= 0 && readEntry(level, cur, &current_);
    if (level.pos == level.items.len) return false;
    const Item& item = level.items.data[level.pos++];
    cur->name = level.names.data + item.nameAt;
    cur->nameLen = item.nameLen;
    cur->type = item.type;
    cur->viaLink = item.viaLink;
    cur->st = options_.attributes ? &level.stats.data[item.statAt] : nullptr;
    return true;
}

// Keeps at most kTreeMaxOpen directories open: the shallowest go first.
// The directory being read (the last level) stays open.
void TreeWalk::bound() {
    for (std::size_t i = 0; open_ > kTreeMaxOpen && i + 1 < count_; ++i) {
        Level& level = levels_[i];
        if (level.fd < 0) continue;
        if (!level.buffered && !fill(level)) return;  // no memory: it stays open, over the bound
        closeLevel(level);
    }
}

// Opens level i again from its nearest open ancestor; false (and the reason
// in *why) when it cannot be, or is no longer the same directory.
bool TreeWalk::reopen(std::size_t i, const char** why) {
    if (i == 0) {
        levels_[0].fd = dup(rootFd_);
        if (levels_[0].fd < 0) {
            *why = std::strerror(errno);
            return false;
        }
        ++open_;  // the only level: nothing to bound
        return true;
    }
    if (i + 1 < count_ && levels_[i + 1].fd >= 0) {
        // Climbing back up (post-order): ".." of the open child, checked like any reopening.
        const int up = openat(levels_[i + 1].fd, "..", kDirFlags);
        struct stat st;
        if (up >= 0 && fstat(up, &st) == 0 && st.st_dev == levels_[i].dev && st.st_ino == levels_[i].ino) {
            levels_[i].fd = up;
            ++open_;
            bound();
            return true;
        }
        if (up >= 0) close(up);  // moved: the road from the ancestors says so
    }
    std::size_t k = i;
    while (k > 1 && levels_[k - 1].fd < 0) --k;
    int fd = k > 0 && levels_[k - 1].fd >= 0 ? levels_[k - 1].fd : rootFd_;
    if (fd == rootFd_) k = 1;  // the root itself never moves under its own descriptor
    // The levels on the way stay open too (bound() closes the shallowest): climbing back up
    // then finds its parent open, instead of opening the whole path again at every level.
    for (; k <= i; ++k) {
        Level& step = levels_[k];
        const int next = openat(fd, step.name, step.viaLink ? kDirFlags & ~O_NOFOLLOW : kDirFlags);
        if (next < 0) {
            const int err = errno;
            *why = err == ENOENT || err == ENOTDIR || err == ELOOP ? kWalkMoved : std::strerror(err);
            bound();
            return false;
        }
        struct stat st;
        if (fstat(next, &st) != 0 || st.st_dev != step.dev || st.st_ino != step.ino) {
            close(next);
            *why = kWalkMoved;
            bound();
            return false;
        }
        step.fd = next;
        ++open_;
        fd = next;
    }
    bound();
    return true;
}

// Enters the pending directory, the last entry of the deepest level. An event
// to hand out (a failure) goes to *item and true is returned; otherwise the
// directory is either the new deepest level or left on the next call.
bool TreeWalk::descend(WalkItem* item) {
    pending_ = false;
    leavePending_ = true;
    const std::size_t depth = count_;
    if (skipPending_ || depth >= options_.maxDepth) return false;
    Level& parent = levels_[count_ - 1];
    const char* why = nullptr;
    if (parent.fd < 0 && !reopen(count_ - 1, &why)) {
        parent.pos = parent.items.len;  // the rest of it cannot be walked
        *item = WalkItem{WalkEvent::failure, depth - 1, parent.name ? parent.name : "", parent.nameLen,
                         EntryType::directory, nullptr, why};
        return true;
    }
    const int fd = openat(parent.fd, pendingName_, pendingViaLink_ ? kDirFlags & ~O_NOFOLLOW : kDirFlags);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        if (fd >= 0) close(fd);
    } else if (options_.sameFileSystem && st.st_dev != rootDev_) {
        close(fd);
        otherDevice_ = true;
        return false;
    } else {
        for (std::size_t i = 0; i < count_ && !why; ++i) {
            if (levels_[i].dev == st.st_dev && levels_[i].ino == st.st_ino) why = kWalkLoop;
        }
        for (std::size_t i = 0; i < options_.aboveCount && !why; ++i) {
            if (options_.above[i].dev == st.st_dev && options_.above[i].ino == st.st_ino) why = kWalkLoop;
        }
        if (why) {
            close(fd);
        } else {
            why = push(fd, st, pendingName_, pendingViaLink_);
            // Entered: left when its own entries run out. A level that holds a failure reports it there.
            if (!why || count_ > depth) {
                leavePending_ = false;
                return false;
            }
        }
    }
    *item = WalkItem{WalkEvent::failure, depth, pendingName_, pendingLen_, EntryType::directory, nullptr, why};
    return true;
}

int TreeWalk::directoryFd(std::size_t depth, const char** why) {
    if (depth == 0 || depth > count_) {
        *why = std::strerror(EINVAL);
        return -1;
    }
    Level& level = levels_[depth - 1];
    if (level.fd < 0 && !reopen(depth - 1, why)) return -1;
    return level.fd;
}

TreeWalk* TreeWalk::failed(const char* text) {
    auto* walk = new (std::nothrow) TreeWalk;
    if (walk) walk->topWhy_ = text;
    return walk;
}

bool TreeWalk::split(WalkSink& sink, int* fd, std::size_t* depth, Grow<WalkDir>* path) {
    for (std::size_t i = 0; i < count_; ++i) {
        Level& level = levels_[i];
        if (!level.buffered && level.fd >= 0 && !fill(level)) return false;
        if (!level.buffered || level.pos == level.items.len) continue;
        const char* why = nullptr;
        if (level.fd < 0 && !reopen(i, &why)) return false;
        *fd = dup(level.fd);
        if (*fd < 0 || !path->ensure(i + 1)) {
            if (*fd >= 0) close(*fd);
            return false;
        }
        path->len = 0;
        for (std::size_t k = 0; k <= i; ++k) path->data[path->len++] = WalkDir{levels_[k].dev, levels_[k].ino};
        *depth = i;
        Current cur;
        while (take(level, &cur)) {
            if (!sink.entry(WalkItem{WalkEvent::entry, i + 1, cur.name, cur.nameLen, cur.type, cur.st, nullptr})) {
                level.pos = level.items.len;
                break;
            }
        }
        for (std::size_t k = 0; k <= i; ++k) levels_[k].noLeave = true;
        return true;
    }
    return false;
}

bool TreeWalk::next(WalkItem* item) {
    if (topWhy_) {
        *item = WalkItem{WalkEvent::failure, 0, "", 0, EntryType::directory, nullptr, topWhy_};
        topWhy_ = nullptr;
        return true;
    }
    for (;;) {
        if (popPending_) {
            popPending_ = false;
            pop();
        }
        if (pending_ && descend(item)) return true;
        if (leavePending_) {
            leavePending_ = false;
            *item = WalkItem{WalkEvent::leave, pendingDepth_, pendingName_, pendingLen_, EntryType::directory, nullptr,
                             nullptr, otherDevice_};
            otherDevice_ = false;
            return true;
        }
        if (count_ == 0) return false;
        Level& top = levels_[count_ - 1];
        const std::size_t depth = count_;
        Current cur;
        if (take(top, &cur)) {
            *item = WalkItem{WalkEvent::entry, depth, cur.name, cur.nameLen, cur.type, cur.st, nullptr};
            if (cur.type == EntryType::directory) {
                // Copied: reading ahead in the parent when the directory is entered moves readdir's buffer.
                std::memcpy(pendingName_, cur.name, cur.nameLen + 1);
                pendingLen_ = cur.nameLen;
                pendingViaLink_ = cur.viaLink;
                pendingDepth_ = depth;
                pending_ = true;
                skipPending_ = false;
            }
            return true;
        }
        if (top.why) {
            *item = WalkItem{WalkEvent::failure, depth - 1, top.name ? top.name : "", top.nameLen, EntryType::directory,
                             nullptr, top.why};
            top.why = nullptr;
            return true;
        }
        if (count_ == 1) {
            pop();  // the root: nothing to leave
            return false;
        }
        if (top.noLeave) {
            pop();
            continue;
        }
        // Left while its descriptor is still open; closed on the next call.
        popPending_ = true;
        *item = WalkItem{WalkEvent::leave, depth - 1, top.name, top.nameLen, EntryType::directory, nullptr, nullptr};
        return true;
    }
}

}  // namespace fsutil
