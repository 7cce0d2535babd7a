// The tree walk engine: depth-first through directory descriptors. Each
// directory is opened relative to its parent's descriptor (O_NOFOLLOW unless
// it was reached through a followed link), so that paths of any length work
// and a directory swapped for a link is never followed. A directory is opened
// only when the event after its entry is asked for, so that a consumer may
// skip it unread. The directories open are a DirChain: when more than
// kTreeMaxOpen would be open, the shallowest open directory is read to its
// end into memory and closed; it is opened again (by the chain's checked
// steps) only if something of it is still to be walked.
#include "engine/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/Grow.h"

namespace fsutil {

namespace {

// An entry read ahead: where its name lies in the level's names, its type, its record if kept.
struct Item {
    std::size_t nameAt;
    std::size_t nameLen;
    std::size_t statAt;  // index into the level's records, when the walk keeps them
    EntryType type;
    bool viaLink;
};

}  // namespace

// What the walk keeps of a directory besides the chain's level (its stream, descriptor and name).
struct TreeWalk::Level {
    std::size_t nameLen = 0;
    bool buffered = false;     // entries come from items (sorted, or read ahead)
    bool noLeave = false;      // split off: left after the entries taken, by whoever took them
    TypeRoad road = TypeRoad::dType;
    bool noSearch = false;     // may be read, not searched: names by d_type alone
    int why = 0;               // a failure to report once the entries run out
    Grow<char> names;
    Grow<Item> items;
    Grow<struct stat> stats;
    std::size_t pos = 0;       // the next item
};

// The entry being handed out.
struct TreeWalk::Current {
    const char* name;
    std::size_t nameLen;
    EntryType type;
    bool viaLink;
    const struct stat* st;
};

std::unique_ptr<TreeWalk> TreeWalk::open(UniqueFd rootFd, const WalkOptions& options) {
    std::unique_ptr<TreeWalk> walk(new (std::nothrow) TreeWalk(rootFd.get()));
    if (!walk) {
        errno = ENOMEM;
        return nullptr;
    }
    struct stat st;
    if (fstat(rootFd.get(), &st) != 0) return nullptr;
    walk->options_ = options;
    walk->rules_.attributes = options.attributes;
    walk->rules_.followLinks = options.followLinks;
    walk->rules_.everyType = options.everyType;
    walk->rootFd_ = std::move(rootFd);
    walk->rootDev_ = options.topDevice ? *options.topDevice : st.st_dev;
    walk->euid_ = geteuid();
    if (options.sameFileSystem) walk->rootMount_ = options.topMount ? *options.topMount : mountIdOf(walk->rootFd_.get());
    if (options.maxDepth == 0) return walk;  // nothing below the root is reported: it is not read
    const int root = walk->rootFd_.get();
    // Mounts made below the root during the walk are not seen: a race like any other change.
    walk->mounts_ = !options.attributes && !options.noMountsBelow && mountsBelow(root);
    UniqueFd fd(dup(root));
    if (!fd || (walk->push(std::move(fd), st, nullptr, false) && walk->levels_.len == 0)) return nullptr;  // errno: dup's, or push's
    return walk;
}

// The directory being read is the only one the bound never closes.
TreeWalk::TreeWalk(int anchor) : chain_(anchor, 1, kReasonMoved, this) {}

TreeWalk::~TreeWalk() = default;  // the chain closes what is still open

// Opens the directory fd as the new deepest level. 0, or the failure to
// report for it (the level then holds no entries, or is not pushed).
int TreeWalk::push(UniqueFd fd, const struct stat& st, const char* name, bool viaLink) {
    if (!levels_.reserve(1)) {
        errno = ENOMEM;
        return ENOMEM;
    }
    Level level;
    DirChain::Level dir;
    dir.viaLink = viaLink;
    if (name) {
        level.nameLen = std::strlen(name);
        dir.name = copyChars(name, level.nameLen);
        if (!dir.name) {
            errno = ENOMEM;
            return ENOMEM;
        }
    }
    dir.stream.reset(fdopendir(fd.get()));
    if (!dir.stream) return errno;
    dir.fd = fd.release();  // the stream's
    const bool denied = searchDenied(dir.fd, st, euid_);
    if (denied && options_.listUnsearchable && !options_.attributes) {
        // It may be read but not searched: its names are there, nothing can be examined.
        level.noSearch = true;
    } else if (denied) {
        // It may be read but not searched: no entry could be examined.
        dir.stream.reset();
        dir.fd = -1;
        level.why = EACCES;
    } else {
        level.road = mounts_ ? typeRoad(dir.stream.get()) : TypeRoad::dType;
    }
    (void)levels_.push(std::move(level));  // room reserved above
    if (!chain_.push(std::move(dir), DirId::of(st))) {
        levels_.pop();
        errno = ENOMEM;
        return ENOMEM;
    }
    const std::size_t i = levels_.len - 1;
    if (options_.sorted && chain_.at(i).stream && !fill(i)) levels_.data[i].why = ENOMEM;
    return 0;
}

// Closes the deepest directory. Its parent, if closed, is opened again only
// when it is needed, by name from its nearest open ancestor: a parent moved
// meanwhile is then noticed, not walked where it went.
void TreeWalk::pop() {
    chain_.pop(false);
    levels_.pop();
}

bool TreeWalk::closing(std::size_t d) {
    return levels_.data[d].buffered || fill(d);  // no memory: it stays open, over the bound
}

const char* TreeWalk::nameOf(std::size_t i) {
    const CharsPtr& name = chain_.at(i).name;
    return name ? name.get() : "";
}

// The next reportable entry of an open stream into *cur (its record, when
// needed, into *st); false at the end, with level.why set on a read error.
bool TreeWalk::readNext(std::size_t i, Current* cur, struct stat* st) {
    Level& level = levels_.data[i];
    ReadRules rules = rules_;
    rules.road = level.road;
    if (level.noSearch) rules.followLinks = false;  // a target cannot be looked up there
    DirEntry e;
    int err;
    if (!readEntry(chain_.at(i).stream.get(), chain_.at(i).fd, rules, &e, st, &err)) {
        if (err != 0) level.why = err;
        return false;
    }
    cur->name = e.name;
    cur->nameLen = e.nameLen;
    cur->type = e.type;
    cur->viaLink = e.viaLink;
    cur->st = options_.attributes ? st : nullptr;
    return true;
}

// Reads the rest of an open level into its items (sorted, if asked); its
// stream stays open, at its end. False when out of memory.
bool TreeWalk::fill(std::size_t i) {
    Level& level = levels_.data[i];
    Current cur;
    struct stat st;
    // Read-ahead keeps the unread rest only: what was handed out is gone.
    level.names.len = level.items.len = level.stats.len = level.pos = 0;
    while (readNext(i, &cur, &st)) {
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

bool TreeWalk::take(std::size_t i, Current* cur) {
    Level& level = levels_.data[i];
    if (!level.buffered) return chain_.at(i).fd >= 0 && readNext(i, cur, &current_);
    if (level.pos == level.items.len) return false;
    const Item& item = level.items.data[level.pos++];
    cur->name = level.names.data + item.nameAt;
    cur->nameLen = item.nameLen;
    cur->type = item.type;
    cur->viaLink = item.viaLink;
    cur->st = options_.attributes ? &level.stats.data[item.statAt] : nullptr;
    return true;
}

// Enters the pending directory, the last entry of the deepest level. An event
// to hand out (a failure) goes to *item and true is returned; otherwise the
// directory is either the new deepest level or left on the next call.
bool TreeWalk::descend(WalkItem* item) {
    pending_ = false;
    leavePending_ = true;
    const std::size_t depth = levels_.len;
    if (levels_.back().noSearch) {
        // No name can be looked up in a directory that may not be searched: said, entered or not (as find says it).
        *item = WalkItem{WalkEvent::failure, depth, pendingName_, pendingLen_, EntryType::directory, nullptr,
                         EACCES};
        return true;
    }
    if (skipPending_ || depth >= options_.maxDepth) return false;
    Level& parent = levels_.back();
    int why = 0;
    const int parentFd = chain_.fd(depth - 1, &why);
    if (parentFd < 0) {
        parent.pos = parent.items.len;  // the rest of it cannot be walked
        *item = WalkItem{WalkEvent::failure, depth - 1, nameOf(depth - 1), parent.nameLen, EntryType::directory,
                         nullptr, why};
        return true;
    }
    DirCheck check;
    check.viaLink = pendingViaLink_;
    check.device = options_.sameFileSystem ? &rootDev_ : nullptr;
    check.mount = &rootMount_;
    check.path = chain_.ids();
    check.pathLen = chain_.depth();
    check.above = options_.above;
    check.aboveLen = options_.aboveCount;
    struct stat st;
    UniqueFd fd;
    const DirOpen got = openDir(parentFd, pendingName_, check, &st, &fd);
    if (got == DirOpen::otherDevice) {
        otherDevice_ = true;
        return false;
    }
    if (got != DirOpen::opened) {
        why = openDirReason(got);
    } else {
        why = push(std::move(fd), st, pendingName_, pendingViaLink_);
        // Entered: left when its own entries run out. A level that holds a failure reports it there.
        if (why == 0 || levels_.len > depth) {
            leavePending_ = false;
            return false;
        }
    }
    *item = WalkItem{WalkEvent::failure, depth, pendingName_, pendingLen_, EntryType::directory, nullptr, why};
    return true;
}

int TreeWalk::directoryFd(std::size_t depth, int* why) {
    if (depth == 0 || depth > levels_.len) {
        *why = EINVAL;
        return -1;
    }
    return chain_.fd(depth - 1, why);
}

std::unique_ptr<TreeWalk> TreeWalk::failed(int err) {
    std::unique_ptr<TreeWalk> walk(new (std::nothrow) TreeWalk(-1));
    if (walk) walk->topWhy_ = err;
    return walk;
}

bool TreeWalk::split(WalkSink& sink, UniqueFd* fd, std::size_t* depth, Grow<DirId>* path) {
    for (std::size_t i = 0; i < levels_.len; ++i) {
        Level& level = levels_.data[i];
        if (!level.buffered && chain_.at(i).fd >= 0 && !fill(i)) return false;
        if (!level.buffered || level.pos == level.items.len) continue;
        int why = 0;
        const int at = chain_.fd(i, &why);
        if (at < 0) return false;
        fd->reset(dup(at));
        if (!*fd || !path->ensure(i + 1)) {
            fd->reset();
            return false;
        }
        path->len = 0;
        for (std::size_t k = 0; k <= i; ++k) path->data[path->len++] = chain_.ids()[k];
        *depth = i;
        Current cur;
        while (take(i, &cur)) {
            if (!sink.entry(WalkItem{WalkEvent::entry, i + 1, cur.name, cur.nameLen, cur.type, cur.st, 0})) {
                level.pos = level.items.len;
                break;
            }
        }
        for (std::size_t k = 0; k <= i; ++k) levels_.data[k].noLeave = true;
        return true;
    }
    return false;
}

bool TreeWalk::next(WalkItem* item) {
    if (topWhy_ != 0) {
        *item = WalkItem{WalkEvent::failure, 0, "", 0, EntryType::directory, nullptr, topWhy_};
        topWhy_ = 0;
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
                             0, otherDevice_};
            otherDevice_ = false;
            return true;
        }
        if (levels_.len == 0) return false;
        Level& top = levels_.back();
        const std::size_t depth = levels_.len;
        Current cur;
        if (take(depth - 1, &cur)) {
            *item = WalkItem{WalkEvent::entry, depth, cur.name, cur.nameLen, cur.type, cur.st, 0};
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
        if (top.why != 0) {
            *item = WalkItem{WalkEvent::failure, depth - 1, nameOf(depth - 1), top.nameLen, EntryType::directory,
                             nullptr, top.why};
            top.why = 0;
            return true;
        }
        if (levels_.len == 1) {
            pop();  // the root: nothing to leave
            return false;
        }
        if (top.noLeave) {
            pop();
            continue;
        }
        // Left while its descriptor is still open; closed on the next call.
        popPending_ = true;
        *item = WalkItem{WalkEvent::leave, depth - 1, nameOf(depth - 1), top.nameLen, EntryType::directory, nullptr, 0};
        return true;
    }
}

}  // namespace fsutil
