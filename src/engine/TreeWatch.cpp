// The tree watcher (see TreeWatch.h). Each directory is watched through its
// own open descriptor (/proc/self/fd/N), never by a path another process
// could swap meanwhile, and before it is read, so nothing created in it is
// missed; what the kernel then reports again is dropped against the model.
// Moves are paired by cookie; a moved-from waits kPairMillis for its pair.
// When events were lost (the kernel's queue overflowed, or the consumer's),
// the tree is read again through the walk engine and the differences from
// the model are reported as ordinary changes.
#include "engine/TreeWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/Reasons.h"
#include "engine/TreeShares.h"
#include "engine/TreeWalk.h"
#include "engine/WatchScan.h"

namespace fsutil {

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

// What every directory is watched for. IN_EXCL_UNLINK: a file unlinked but
// still open reports nothing more. Self events only matter for the root.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

// Steps down from a directory: never through a link, and no more than a handle on the directory.
constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::uint64_t hashOf(std::uint32_t parent, const char* name, std::size_t len) {
    std::uint64_t h = 1469598103934665603ULL ^ (parent * 0x9E3779B97F4A7C15ULL);
    for (std::size_t i = 0; i < len; ++i) {
        h ^= static_cast<unsigned char>(name[i]);
        h *= 1099511628211ULL;
    }
    return h ^ (h >> 29);
}

// Makes slot wd of a table by watch descriptor usable, new slots `empty`; false when out of memory.
template <typename T>
bool slotFor(Grow<T>& table, int wd, T empty) {
    const std::size_t at = static_cast<std::size_t>(wd);
    if (!table.ensure(at + 1)) return false;
    while (table.len <= at) table.data[table.len++] = empty;
    return true;
}

// The per-user watch limit, or -1 when it cannot be read.
long watchLimit() {
    const UniqueFd fd(open("/proc/sys/fs/inotify/max_user_watches", O_RDONLY | O_CLOEXEC));
    char text[32] = {};
    if (!fd || read(fd.get(), text, sizeof text - 1) <= 0) return -1;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return end == text ? -1 : v;
}

}  // namespace

struct TreeWatch::Node {
    std::uint32_t parent = kNone;
    std::uint32_t first = kNone;  // first child
    std::uint32_t next = kNone;   // siblings
    std::uint32_t prev = kNone;
    CharsPtr name;
    std::size_t nameLen = 0;
    EntryType type = EntryType::skip;
    int wd = -1;
    std::uint32_t serial = 0;
    std::uint32_t gen = 0;
    bool alive = false;
};

// A moved-from waiting for its moved-to.
struct TreeWatch::Pending {
    std::uint32_t cookie;
    std::uint32_t id;  // kNone: the source was not in the model
    std::uint32_t serial;
};

void watchFailureText(int err, char* buf, std::size_t size) {
    if (err != ENOSPC) {
        (void)std::snprintf(buf, size, "%s", std::strerror(err));
        return;
    }
    (void)std::snprintf(buf, size, "The inotify watch limit was reached (fs.inotify.max_user_watches = %ld)", watchLimit());
}

std::unique_ptr<TreeWatch> TreeWatch::open(UniqueFd rootFd, const WatchOptions& options, ChangeSink& sink, int* err) {
    std::unique_ptr<TreeWatch> w(new (std::nothrow) TreeWatch);
    struct stat st;
    if (!w || !w->grow() || !w->nodes_.push(Node())) {
        *err = ENOMEM;
        return nullptr;
    }
    if (fstat(rootFd.get(), &st) != 0) {
        *err = errno;
        return nullptr;
    }
    w->inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!w->inotify_) {
        *err = errno;
        return nullptr;
    }
    w->options_ = options;
    w->rootDev_ = st.st_dev;
    if (options.sameFileSystem) w->rootMount_ = mountIdOf(rootFd.get());
    w->rootFd_ = std::move(rootFd);
    Node& root = w->nodes_.data[0];
    root.alive = true;
    root.type = EntryType::directory;
    root.serial = ++w->serial_;
    const int wd = addWatch(w->inotify_.get(), w->rootFd_.get(), kMask);
    if (wd < 0 || !slotFor(w->byWd_, wd, kNone)) {
        *err = wd < 0 ? errno : ENOMEM;
        return nullptr;
    }
    w->byWd_.data[wd] = 0;
    root.wd = wd;
    w->watched_ = 1;
    // The root's removal shows only in its parent while the root is open here.
    const UniqueFd parent(openat(w->rootFd_.get(), "..", kStepFlags));
    struct stat up;
    if (parent && fstat(parent.get(), &up) == 0 && !(up.st_dev == st.st_dev && up.st_ino == st.st_ino)) {
        w->parentWd_ = addWatch(w->inotify_.get(), parent.get(), IN_DELETE | IN_ONLYDIR | IN_EXCL_UNLINK);
        if (w->parentWd_ == wd) w->parentWd_ = -1;  // not a parent of its own (a bind mount of itself)
    }
    w->firstScan(sink);
    return w;
}

TreeWatch::~TreeWatch() = default;

// ---- the model: nodes, their names, the (parent, name) table

std::uint32_t TreeWatch::child(std::uint32_t dir, const char* name, std::size_t len) const {
    const std::size_t mask = table_.len - 1;
    for (std::size_t i = hashOf(dir, name, len) & mask;; i = (i + 1) & mask) {
        const std::uint32_t id = table_.data[i];
        if (id == kNone) return kNone;
        const Node& n = nodes_.data[id];
        if (n.parent == dir && n.nameLen == len && std::memcmp(n.name.get(), name, len) == 0) return id;
    }
}

bool TreeWatch::grow() {
    const std::size_t size = table_.len < 64 ? 64 : table_.len * 2;
    Grow<std::uint32_t> table;
    if (!table.ensure(size)) return false;
    for (std::size_t i = 0; i < size; ++i) table.data[i] = kNone;
    table.len = size;
    for (std::size_t id = 1; id < nodes_.len; ++id) {
        const Node& n = nodes_.data[id];
        if (!n.alive) continue;
        std::size_t i = hashOf(n.parent, n.name.get(), n.nameLen) & (size - 1);
        while (table.data[i] != kNone) i = (i + 1) & (size - 1);
        table.data[i] = static_cast<std::uint32_t>(id);
    }
    table_ = std::move(table);
    return true;
}

void TreeWatch::link(std::uint32_t id) {
    Node& n = nodes_.data[id];
    Node& dir = nodes_.data[n.parent];
    n.prev = kNone;
    n.next = dir.first;
    if (dir.first != kNone) nodes_.data[dir.first].prev = id;
    dir.first = id;
    const std::size_t mask = table_.len - 1;
    std::size_t i = hashOf(n.parent, n.name.get(), n.nameLen) & mask;
    while (table_.data[i] != kNone) i = (i + 1) & mask;
    table_.data[i] = id;
}

void TreeWatch::unlink(std::uint32_t id) {
    Node& n = nodes_.data[id];
    if (n.prev != kNone) {
        nodes_.data[n.prev].next = n.next;
    } else {
        nodes_.data[n.parent].first = n.next;
    }
    if (n.next != kNone) nodes_.data[n.next].prev = n.prev;
    n.prev = n.next = kNone;
    // Out of the table, closing the gap behind it (linear probing keeps no tombstones).
    const std::size_t mask = table_.len - 1;
    std::size_t i = hashOf(n.parent, n.name.get(), n.nameLen) & mask;
    while (table_.data[i] != id) i = (i + 1) & mask;
    for (std::size_t j = (i + 1) & mask; table_.data[j] != kNone; j = (j + 1) & mask) {
        const Node& m = nodes_.data[table_.data[j]];
        const std::size_t home = hashOf(m.parent, m.name.get(), m.nameLen) & mask;
        const bool between = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (between) continue;
        table_.data[i] = table_.data[j];
        i = j;
    }
    table_.data[i] = kNone;
}

std::uint32_t TreeWatch::add(std::uint32_t dir, const char* name, std::size_t len, EntryType type) {
    if ((live_ + 2) * 2 > table_.len && !grow()) return kNone;
    CharsPtr copy = copyChars(name, len);
    if (!copy) return kNone;
    std::uint32_t id;
    if (free_.len > 0) {
        id = free_.data[--free_.len];
    } else {
        if (!nodes_.push(Node())) return kNone;
        id = static_cast<std::uint32_t>(nodes_.len - 1);
    }
    Node& n = nodes_.data[id];
    n = Node();
    n.parent = dir;
    n.name = std::move(copy);
    n.nameLen = len;
    n.type = type;
    n.serial = ++serial_;
    n.gen = gen_;
    n.alive = true;
    link(id);
    ++live_;
    return id;
}

bool TreeWatch::rename(std::uint32_t id, std::uint32_t dir, const char* name, std::size_t len) {
    CharsPtr copy = copyChars(name, len);
    if (!copy) return false;
    unlink(id);
    Node& n = nodes_.data[id];
    n.parent = dir;
    n.name = std::move(copy);
    n.nameLen = len;
    link(id);
    return true;
}

// Drops id and everything below it from the model, and their watches; with
// keepWatches, the kernel's watches stay until releaseKept(), for a reading
// under way to take them again.
void TreeWatch::drop(std::uint32_t id, bool reportIt, ChangeSink& sink, bool keepWatches) {
    if (reportIt) report(ChangeKind::removed, id, sink);
    lastTouched_ = kNone;
    unlink(id);
    // Depth-first through the child lists, freeing each node once its children are gone.
    std::uint32_t at = id;
    while (at != kNone) {
        Node& n = nodes_.data[at];
        if (n.first != kNone) {
            at = n.first;
            continue;
        }
        const std::uint32_t up = at == id ? kNone : n.parent;
        if (up != kNone) unlink(at);  // the top left its directory first
        unwatch(at, keepWatches);
        nodes_.data[at] = Node();
        (void)free_.push(at);  // not reused when out of memory: only the slot is lost
        --live_;
        at = up;
    }
}

const char* TreeWatch::path(std::uint32_t id, std::size_t* len) {
    std::size_t total = 0;
    for (std::uint32_t at = id; at != 0; at = nodes_.data[at].parent) total += nodes_.data[at].nameLen + 1;
    if (total > 0) --total;
    *len = total;
    if (!path_.ensure(total + 1)) {
        *len = 0;
        return "";
    }
    std::size_t end = total;
    for (std::uint32_t at = id; at != 0; at = nodes_.data[at].parent) {
        const Node& n = nodes_.data[at];
        end -= n.nameLen;
        std::memcpy(path_.data + end, n.name.get(), n.nameLen);
        if (end > 0) path_.data[--end] = '/';
    }
    path_.data[total] = '\0';
    return path_.data;
}

void TreeWatch::report(ChangeKind kind, std::uint32_t id, ChangeSink& sink) {
    std::size_t len = 0;
    const char* p = path(id, &len);
    sink.change(kind, nodes_.data[id].type, p, len, nullptr, 0);
    lastTouched_ = kNone;
}

// ---- watches

bool TreeWatch::watch(std::uint32_t id, int fd, bool report, ChangeSink& sink, const char* name) {
    const int wd = addWatch(inotify_.get(), fd, kMask, name);
    if (wd < 0) {
        const int err = errno;
        if (err != ENOENT && err != ENOTDIR) {  // gone, or no directory by now: the events of its directory tell
            char text[160];
            watchFailureText(err, text, sizeof text);
            std::size_t len = 0;
            const char* p = path(id, &len);
            sink.failure(p, len, err, text);
        }
        errno = err;
        return false;
    }
    return adopt(id, wd, report, sink);
}

// Gives the watch wd to the directory id, unless a directory above it holds it (ELOOP).
bool TreeWatch::adopt(std::uint32_t id, int wd, bool report, ChangeSink& sink) {
    Node& n = nodes_.data[id];
    if (n.wd == wd) return true;
    if (!slotFor(byWd_, wd, kNone)) {
        inotify_rm_watch(inotify_.get(), wd);
        errno = ENOMEM;
        return false;
    }
    const std::uint32_t before = byWd_.data[wd];
    for (std::uint32_t at = id; before != kNone && at != 0;) {
        at = nodes_.data[at].parent;
        if (at == before) {
            // A directory above it (a bind mount): its watch stays there, and reading it reports the loop.
            errno = ELOOP;
            return false;
        }
    }
    if (n.wd >= 0) unwatch(id);  // the name holds another directory than the one watched
    if (before != kNone) {
        // The same directory known at another path, stale by a rename still queued: the watch goes
        // with the one just read, and the stale part leaves the model (reported removed), so that
        // the rename, once read, finds the directory in place. The watches below it stay for the
        // reading under way to take them again.
        drop(before, report, sink, true);
    }
    n.wd = wd;
    byWd_.data[wd] = id;
    ++watched_;
    return true;
}

// Removes the watches kept by drop() that no reading took again.
void TreeWatch::releaseKept() {
    for (std::size_t i = 0; i < kept_.len; ++i) {
        const int wd = kept_.data[i];
        if (static_cast<std::size_t>(wd) >= byWd_.len || byWd_.data[wd] == kNone) {
            inotify_rm_watch(inotify_.get(), wd);
            forgetIno(wd);
        }
    }
    kept_.clear();
}

// Ends id's watch in the model, and the kernel's unless keep: then kept_ holds it for releaseKept().
void TreeWatch::unwatch(std::uint32_t id, bool keep) {
    Node& n = nodes_.data[id];
    if (n.wd < 0) return;
    if (keep) {
        (void)kept_.push(n.wd);  // out of memory: the kernel's watch stays until the watch ends
    } else {
        inotify_rm_watch(inotify_.get(), n.wd);  // EINVAL where the kernel dropped it already: nothing to do
        forgetIno(n.wd);
    }
    byWd_.data[n.wd] = kNone;
    n.wd = -1;
    --watched_;
}

// Whether the directory open as fd is the one watched as wd. The kernel tells
// the first time, by giving back wd for it; its inode is then kept, and
// compared afterwards (no other directory has it while this one exists, and
// once it is gone its events end with its removal).
bool TreeWatch::reaches(int fd, int wd) {
    struct stat st;
    const bool onRoot = fstat(fd, &st) == 0 && st.st_dev == rootDev_;
    const std::size_t at = static_cast<std::size_t>(wd);
    if (onRoot && at < inoByWd_.len && inoByWd_.data[at] != 0) return inoByWd_.data[at] == st.st_ino;
    const int there = addWatch(inotify_.get(), fd, kMask | IN_MASK_ADD);
    if (there == wd) {
        if (onRoot && slotFor(inoByWd_, wd, ino_t(0))) inoByWd_.data[at] = st.st_ino;
        return true;
    }
    // A watch made just now is taken back; one of another directory of the model stays.
    if (there >= 0 && (static_cast<std::size_t>(there) >= byWd_.len || byWd_.data[there] == kNone)) {
        inotify_rm_watch(inotify_.get(), there);
    }
    return false;
}

void TreeWatch::forgetIno(int wd) {
    if (static_cast<std::size_t>(wd) < inoByWd_.len) inoByWd_.data[wd] = 0;
}

// A descriptor of the directory id (valid until the next call), opened step
// by step from the root, never through a link; -1 when it cannot be. The
// model's path may lag behind renames still queued and lead to another
// directory made there since: then -1 too.
int TreeWatch::dirFd(std::uint32_t id) {
    if (id == 0) return rootFd_.get();
    const std::uint32_t serial = nodes_.data[id].serial;
    for (CachedFd& c : cache_) {
        if (c.serial == serial && c.fd) return c.fd.get();
    }
    Grow<std::uint32_t> chain;
    for (std::uint32_t at = id; at != 0; at = nodes_.data[at].parent) {
        if (!chain.push(at)) return -1;
    }
    UniqueFd fd;
    int at = rootFd_.get();
    while (chain.len > 0) {
        const Node& n = nodes_.data[chain.data[--chain.len]];
        fd.reset(openat(at, n.name.get(), kStepFlags));
        if (!fd) return -1;
        at = fd.get();
    }
    const int wd = nodes_.data[id].wd;
    if (wd >= 0 && !reaches(fd.get(), wd)) return -1;
    CachedFd& slot = cache_[cacheNext_++ % (sizeof cache_ / sizeof cache_[0])];
    slot.serial = serial;
    slot.fd = std::move(fd);
    return slot.fd.get();
}

// ---- reading directories

// The root open anew for a walk: a descriptor of its own, read from the start
// (a dup would share the position the last walk left at the end).
UniqueFd TreeWatch::reopenRoot() const {
    return UniqueFd(openat(rootFd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The entry `name` of dir, of type `type`, in the model (an entry of another
// type there dropped first), marked seen by the current rescan; reportNew:
// what was not known is reported. kNone when out of memory: left out of the
// model, reported when it changes.
std::uint32_t TreeWatch::place(std::uint32_t dir, const char* name, std::size_t len, EntryType type, bool reportNew,
                               ChangeSink& sink) {
    std::uint32_t id = child(dir, name, len);
    if (id != kNone && nodes_.data[id].type != type) {
        drop(id, reportNew, sink);
        id = kNone;
    }
    if (id == kNone) {
        id = add(dir, name, len, type);
        if (id == kNone) return kNone;
        if (reportNew) report(ChangeKind::created, id, sink);
    }
    nodes_.data[id].gen = gen_;
    return id;
}

// Reads the tree below top (open as fd) into the model: watches each
// directory before it is read, reports what is new (report), and with sweep
// marks what it saw, for sweep() to remove the rest.
void TreeWatch::scan(std::uint32_t top, UniqueFd fd, bool reportNew, bool sweepAfter, ChangeSink& sink) {
    WalkOptions wo;
    wo.sameFileSystem = options_.sameFileSystem;
    wo.topDevice = &rootDev_;
    wo.topMount = &rootMount_;
    std::unique_ptr<TreeWalk> walk = fd ? TreeWalk::open(std::move(fd), wo) : nullptr;
    Grow<std::uint32_t> dirs;  // dirs.data[d]: the directory holding the entries of depth d + 1
    if (!walk || !dirs.push(top)) {
        const int err = walk ? ENOMEM : errno;
        std::size_t len = 0;
        const char* p = path(top, &len);
        sink.failure(p, len, err, std::strerror(err));
        if (sweepAfter) seen(top);
        return;
    }
    WalkItem item;
    while (walk->next(&item)) {
        if (item.event == WalkEvent::leave) continue;
        if (item.event == WalkEvent::failure) {
            const std::uint32_t d = item.depth == 0 ? top
                                    : item.depth <= dirs.len ? child(dirs.data[item.depth - 1], item.name, item.nameLen)
                                                             : kNone;
            if (d == kNone) continue;
            const int err = errnoOf(item.err);
            if (err == ENOENT || err == ENOTDIR) {
                // Gone or replaced since it was listed: the events of its directory tell. A rescan
                // leaves it unseen, so the sweep drops it whole unless its event comes first.
                if (sweepAfter && d != top) nodes_.data[d].gen = gen_ - 1;
                continue;
            }
            std::size_t len = 0;
            const char* p = path(d, &len);
            char text[256];
            failureText(item.err, text, sizeof text);
            sink.failure(p, len, item.err, text);
            if (sweepAfter) seen(d);  // what it holds cannot be vouched for: kept as it was
            continue;
        }
        if (item.depth > dirs.len || item.type == EntryType::skip || item.type == EntryType::other) continue;
        dirs.len = item.depth;
        const std::uint32_t parent = dirs.data[item.depth - 1];
        const std::uint32_t id = place(parent, item.name, item.nameLen, item.type, reportNew, sink);
        if (id == kNone) continue;
        if (item.type != EntryType::directory) continue;
        // Watched first, by its name in its open directory, then read by the walk.
        int why = 0;
        const int parentFd = walk->directoryFd(item.depth, &why);
        if (parentFd < 0 || (options_.sameFileSystem && onOtherMount(parentFd, item.name, rootDev_, rootMount_))) {
            walk->skip();
            continue;
        }
        if (!watch(id, parentFd, reportNew, sink, item.name) && (errno == EACCES || errno == ENOENT || errno == ENOTDIR)) {
            walk->skip();  // not to be read either, or gone: the events of its directory tell
            continue;
        }
        if (!dirs.push(id)) walk->skip();
    }
    releaseKept();
}

// Reads the whole tree into the model on every core, the root watched already:
// what the threads found is placed as scan() places what the walk reports.
void TreeWatch::firstScan(ChangeSink& sink) {
    class Placing final : public ScanSink {
       public:
        Placing(TreeWatch& w, ChangeSink& s) : watch_(w), sink_(s) {}

        void failure(const char* path, std::size_t len, int err) override {
            char text[256];
            if (err == ENOSPC) {
                watchFailureText(err, text, sizeof text);
            } else {
                failureText(err, text, sizeof text);
            }
            sink_.failure(path, len, err, text);
        }

        void group(const char* path, std::size_t len) override {
            // Each directory of the path was placed before what it holds.
            dirs_.len = 0;
            std::uint32_t at = 0;
            for (std::size_t i = 0; i < len && at != kNone;) {
                const char* slash = static_cast<const char*>(std::memchr(path + i, '/', len - i));
                const std::size_t end = slash ? static_cast<std::size_t>(slash - path) : len;
                at = watch_.child(at, path + i, end - i);
                i = end + 1;
            }
            if (at != kNone) (void)dirs_.push(at);
        }

        void found(const ScanFound& e) override {
            if (e.depth > dirs_.len) {  // below a directory that could not be placed
                if (e.wd >= 0) inotify_rm_watch(watch_.inotify_.get(), e.wd);
                return;
            }
            dirs_.len = e.depth;
            const std::uint32_t parent = dirs_.data[e.depth - 1];
            const std::uint32_t id = watch_.place(parent, e.name, e.nameLen, e.type, false, sink_);
            if (id == kNone) {
                if (e.wd >= 0) inotify_rm_watch(watch_.inotify_.get(), e.wd);
                return;
            }
            if (e.type != EntryType::directory) return;
            if (e.wd >= 0) (void)watch_.adopt(id, e.wd, false, sink_);
            (void)dirs_.push(id);
        }

       private:
        TreeWatch& watch_;
        ChangeSink& sink_;
        Grow<std::uint32_t> dirs_;  // dirs_.data[d]: the directory holding the entries of depth d + 1
    };
    ScanOptions options;
    options.inotifyFd = inotify_.get();
    options.mask = kMask;
    options.sameFileSystem = options_.sameFileSystem;
    options.threads = options_.threads != 0 ? options_.threads : usableCores();
    Placing placing(*this, sink);
    scanTree(rootFd_.get(), options, placing);
    releaseKept();
}

// Marks id and everything below it as seen by the current rescan.
void TreeWatch::seen(std::uint32_t id) {
    for (std::uint32_t at = id; at != kNone; at = after(at, id)) nodes_.data[at].gen = gen_;
}

// The node after `at` in pre-order below top (top included); kNone after the last.
std::uint32_t TreeWatch::after(std::uint32_t at, std::uint32_t top) const {
    if (nodes_.data[at].first != kNone) return nodes_.data[at].first;
    while (at != top && nodes_.data[at].next == kNone) at = nodes_.data[at].parent;
    return at == top ? kNone : nodes_.data[at].next;
}

// Removes what the last rescan did not see, reporting the topmost of each part removed.
void TreeWatch::sweep(ChangeSink& sink) {
    Grow<std::uint32_t> gone;
    for (std::size_t id = 1; id < nodes_.len; ++id) {
        const Node& n = nodes_.data[id];
        if (n.alive && n.gen != gen_ && nodes_.data[n.parent].gen == gen_ && !gone.push(static_cast<std::uint32_t>(id))) {
            break;  // out of memory: the rest stays until the next rescan
        }
    }
    for (std::size_t i = 0; i < gone.len; ++i) drop(gone.data[i], true, sink);
}

// ---- events

void TreeWatch::created(std::uint32_t dir, const char* name, bool isDir, ChangeSink& sink, bool retried) {
    const int parentFd = dirFd(dir);
    if (parentFd < 0) {
        // Its directory is gone, or a directory above it was renamed (and another may hold its
        // path by now) and the event that says so is still queued: tried again once the kernel's
        // queue is read to its end.
        Deferred d;
        d.dir = dir;
        d.serial = nodes_.data[dir].serial;
        d.name = copyChars(name, std::strlen(name));
        d.isDir = isDir;
        if (!retried && d.name) (void)deferred_.push(std::move(d));
        return;
    }
    const std::size_t len = std::strlen(name);
    struct stat st;
    UniqueFd fd;
    if (isDir) fd.reset(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd ? fstat(fd.get(), &st) != 0 : fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone again
    EntryType type = typeOfMode(st.st_mode);
    if (type == EntryType::directory && !fd) {
        // A directory by now, where the event said otherwise.
        fd.reset(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || fstat(fd.get(), &st) != 0) return;
    }
    if (type == EntryType::skip) return;  // devices and sockets: not in a listing
    std::uint32_t id = child(dir, name, len);
    if (id != kNone) {
        if (nodes_.data[id].type == type) return;  // known already: read with its directory
        drop(id, true, sink);
    }
    id = add(dir, name, len, type);
    if (id == kNone) return;
    report(ChangeKind::created, id, sink);
    if (type != EntryType::directory) return;
    if (options_.sameFileSystem && (st.st_dev != rootDev_ || (rootMount_ != 0 && mountIdOf(fd.get()) != rootMount_))) return;
    if (!watch(id, fd.get(), true, sink) && errno == EACCES) return;
    scan(id, std::move(fd), true, false, sink);
}

void TreeWatch::moved(std::uint32_t id, std::uint32_t dir, const char* name, bool isDir, ChangeSink& sink) {
    if (id == kNone) {
        created(dir, name, isDir, sink);
        return;
    }
    const std::size_t len = std::strlen(name);
    const std::uint32_t there = child(dir, name, len);
    if (there == id) return;
    const int half = there != kNone ? exchanged(id, dir, name, len) : 0;
    if (half > 0) {
        skip_ = half;  // the other half, told here
        exchange(id, there, sink);
        return;
    }
    if (there != kNone) drop(there, true, sink);
    std::size_t fromLen = 0;
    const char* p = path(id, &fromLen);
    if (!from_.ensure(fromLen + 1)) return;
    std::memcpy(from_.data, p, fromLen);
    if (!rename(id, dir, name, len)) {
        drop(id, true, sink);  // out of memory: reported gone rather than wrong
        return;
    }
    std::size_t toLen = 0;
    const char* to = path(id, &toLen);
    sink.change(ChangeKind::moved, nodes_.data[id].type, to, toLen, from_.data, fromLen);
    lastTouched_ = kNone;
}

// Whether the rename of id to dir/name that met an entry there was one half
// of an exchange (RENAME_EXCHANGE): the kernel then queues the other half,
// the entry there moved to id's old name, right behind it (after the moved
// directory's own IN_MOVE_SELF). The events of that half, or 0.
int TreeWatch::exchanged(std::uint32_t id, std::uint32_t dir, const char* name, std::size_t len) {
    // id's old name taken again means an exchange (or a name made anew): the other half may not be
    // read yet, and is waited for as long as a moved-from waits for its pair.
    const Node& was = nodes_.data[id];
    const int wasDir = dirFd(was.parent);
    struct stat st;
    const bool taken = wasDir >= 0 && fstatat(wasDir, was.name.get(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    auto at = [&](int k) { return taken ? peek(k) : next(k); };
    int i = 0;
    while (at(i) && at(i)->len == 0 && (at(i)->mask & IN_MOVE_SELF)) ++i;
    const auto* from = at(i);
    const auto* to = from ? at(i + 1) : nullptr;
    if (!to || !(from->mask & IN_MOVED_FROM) || !(to->mask & IN_MOVED_TO) || from->cookie != to->cookie) return 0;
    const Node& n = nodes_.data[id];
    const int fromWd = nodes_.data[dir].wd, toWd = nodes_.data[n.parent].wd;
    const bool other = from->wd == fromWd && to->wd == toWd && std::strlen(from->name) == len &&
                       std::memcmp(from->name, name, len) == 0 && std::strlen(to->name) == n.nameLen &&
                       std::memcmp(to->name, n.name.get(), n.nameLen) == 0;
    return other ? i + 2 : 0;
}

// The i-th event after the one being handled, in the buffer read; null past its end.
const struct inotify_event* TreeWatch::next(int i) const {
    const char* at = rest_;
    const char* end = rest_ + restLen_;
    for (;; --i) {
        if (at + sizeof(struct inotify_event) > end) return nullptr;
        const auto* ev = reinterpret_cast<const struct inotify_event*>(at);
        if (i == 0) return ev;
        at += sizeof(struct inotify_event) + ev->len;
    }
}

// As next(i), reading what the kernel queues within kPairMillis where the buffer ends first.
const struct inotify_event* TreeWatch::peek(int i) {
    const struct inotify_event* ev;
    while (!(ev = next(i))) {
        const std::size_t room = sizeof queue_ - queueLen_;
        struct pollfd p = {inotify_.get(), POLLIN, 0};
        if (room < sizeof(struct inotify_event) + NAME_MAX + 1 || poll(&p, 1, kPairMillis) <= 0) return nullptr;
        ssize_t n = read(inotify_.get(), queue_ + queueLen_, std::min(room, options_.readBytes));
        if (n < 0 && errno == EINVAL) n = read(inotify_.get(), queue_ + queueLen_, room);
        if (n <= 0) return nullptr;
        queueLen_ += static_cast<std::size_t>(n);
        restLen_ += static_cast<std::size_t>(n);
    }
    return ev;
}

// Both halves of an exchange of id and other: reported as other removed, id
// moved to its name, and other created at id's old name with all it holds.
void TreeWatch::exchange(std::uint32_t id, std::uint32_t other, ChangeSink& sink) {
    const Node& n = nodes_.data[id];
    const Node& o = nodes_.data[other];
    CharsPtr idName = copyChars(n.name.get(), n.nameLen), otherName = copyChars(o.name.get(), o.nameLen);
    const std::uint32_t idDir = n.parent, otherDir = o.parent;
    const std::size_t idLen = n.nameLen, otherLen = o.nameLen;
    if (!idName || !otherName) return;
    report(ChangeKind::removed, other, sink);
    std::size_t fromLen = 0;
    const char* p = path(id, &fromLen);
    if (!from_.ensure(fromLen + 1)) return;
    std::memcpy(from_.data, p, fromLen);
    unlink(other);
    nodes_.data[other].parent = kNone;
    if (!rename(id, otherDir, otherName.get(), otherLen)) return;
    std::size_t toLen = 0;
    const char* to = path(id, &toLen);
    sink.change(ChangeKind::moved, nodes_.data[id].type, to, toLen, from_.data, fromLen);
    Node& m = nodes_.data[other];
    m.parent = idDir;
    m.name = std::move(idName);
    m.nameLen = idLen;
    link(other);
    created(other, sink);
}

// Reports other and everything below it in the model as created, in pre-order.
void TreeWatch::created(std::uint32_t top, ChangeSink& sink) {
    for (std::uint32_t at = top; at != kNone; at = after(at, top)) report(ChangeKind::created, at, sink);
}

void TreeWatch::resolvePending(ChangeSink& sink) {
    std::unique_ptr<Pending> p = std::move(pending_);
    if (!p || p->id == kNone) return;
    const Node& n = nodes_.data[p->id];
    if (n.alive && n.serial == p->serial) drop(p->id, true, sink);  // moved out of the tree
}

void TreeWatch::end(ChangeSink& sink) {
    if (ended_) return;
    ended_ = true;
    sink.change(ChangeKind::removed, EntryType::directory, "", 0, nullptr, 0);
}

void TreeWatch::check(ChangeSink& sink) {
    struct stat st;
    if (!ended_ && (fstat(rootFd_.get(), &st) != 0 || st.st_nlink == 0)) end(sink);
}

void TreeWatch::event(const struct inotify_event& ev, ChangeSink& sink) {
    if (ev.mask & IN_Q_OVERFLOW) {
        lost_ = true;
        return;
    }
    if (ev.wd == parentWd_ && parentWd_ >= 0) {
        if (ev.mask & IN_IGNORED) parentWd_ = -1;
        if (ev.mask & IN_DELETE) check(sink);
        return;
    }
    const bool pairs = pending_ && (ev.mask & IN_MOVED_TO) && ev.cookie == pending_->cookie;
    if (pending_ && !pairs) resolvePending(sink);
    const std::uint32_t dir =
        ev.wd >= 0 && static_cast<std::size_t>(ev.wd) < byWd_.len ? byWd_.data[ev.wd] : kNone;
    if (ev.mask & IN_IGNORED) {
        forgetIno(ev.wd);
        if (dir == kNone) return;
        nodes_.data[dir].wd = -1;
        byWd_.data[ev.wd] = kNone;
        --watched_;
        if (dir == 0) end(sink);
        return;
    }
    if (dir == kNone) {
        if (pairs) resolvePending(sink);  // moved to where nothing is watched
        return;
    }
    const char* name = ev.len > 0 ? ev.name : "";
    if (name[0] == '\0') {
        if (dir == 0 && (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) end(sink);
        if (dir == 0 && (ev.mask & IN_ATTRIB)) sink.change(ChangeKind::attributes, EntryType::directory, "", 0, nullptr, 0);
        return;
    }
    const bool isDir = (ev.mask & IN_ISDIR) != 0;
    if (ev.mask & IN_MOVED_FROM) {
        std::unique_ptr<Pending> p(new (std::nothrow) Pending);
        if (!p) return;
        p->cookie = ev.cookie;
        p->id = child(dir, name, std::strlen(name));
        p->serial = p->id == kNone ? 0 : nodes_.data[p->id].serial;
        pending_ = std::move(p);
        return;
    }
    if (ev.mask & IN_MOVED_TO) {
        std::uint32_t id = kNone;
        if (pairs) {
            id = pending_->id;
            if (id != kNone && nodes_.data[id].serial != pending_->serial) id = kNone;
            pending_.reset();
        }
        moved(id, dir, name, isDir, sink);
        return;
    }
    if (ev.mask & IN_CREATE) {
        created(dir, name, isDir, sink);
        return;
    }
    const std::uint32_t id = child(dir, name, std::strlen(name));
    if (id == kNone) return;
    if (ev.mask & IN_DELETE) {
        drop(id, true, sink);
        return;
    }
    const ChangeKind kind = (ev.mask & IN_MODIFY) ? ChangeKind::modified : ChangeKind::attributes;
    if (!(ev.mask & (IN_MODIFY | IN_ATTRIB)) || (lastTouched_ == id && lastKind_ == kind)) return;
    report(kind, id, sink);
    lastTouched_ = id;  // repeated until something else happens: one change
    lastKind_ = kind;
}

void TreeWatch::recover(ChangeSink& sink) {
    lost_ = false;
    deferred_.clear();  // the rescan finds them
    pending_.reset();
    lastTouched_ = kNone;
    const int rootWd = nodes_.data[0].wd;
    bool rootGone = rootWd < 0;
    alignas(struct inotify_event) char buf[16384];
    ssize_t n;
    while ((n = read(inotify_.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
            if (ev->wd == rootWd && (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))) rootGone = true;
            if (ev->wd == parentWd_ && (ev->mask & IN_IGNORED)) parentWd_ = -1;
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
        }
    }
    sink.change(ChangeKind::overflow, EntryType::skip, "", 0, nullptr, 0);
    struct stat st;
    if (rootGone || fstat(rootFd_.get(), &st) != 0 || st.st_nlink == 0) {
        end(sink);
        return;
    }
    ++gen_;
    nodes_.data[0].gen = gen_;
    scan(0, reopenRoot(), true, true, sink);
    sweep(sink);
}

bool TreeWatch::process(ChangeSink& sink) {
    lastTouched_ = kNone;  // what the consumer may have taken is never coalesced with
    while (!ended_) {
        if (lost_) {
            recover(sink);
            continue;
        }
        ssize_t n = read(inotify_.get(), queue_, std::min(options_.readBytes, sizeof queue_ / 2));
        if (n < 0 && errno == EINVAL) n = read(inotify_.get(), queue_, sizeof queue_ / 2);  // an event longer than readBytes
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!pending_) break;
            struct pollfd p = {inotify_.get(), POLLIN, 0};
            if (poll(&p, 1, kPairMillis) > 0) continue;
            resolvePending(sink);
            break;
        }
        queueLen_ = static_cast<std::size_t>(n);
        for (std::size_t off = 0; off < queueLen_ && !ended_ && !lost_;) {  // peek() may add to queueLen_
            const auto* ev = reinterpret_cast<const struct inotify_event*>(queue_ + off);
            off += sizeof(struct inotify_event) + ev->len;
            rest_ = queue_ + off;
            restLen_ = queueLen_ - off;
            if (skip_ > 0) {
                --skip_;
            } else {
                event(*ev, sink);
            }
        }
        skip_ = 0;
        rest_ = nullptr;
        restLen_ = 0;
        queueLen_ = 0;
        if (!pending_ && !lost_ && deferred_.len == 0) break;
    }
    // The kernel's queue is read to its end: the paths are as up to date as they can be.
    Grow<Deferred> retry = std::move(deferred_);
    for (std::size_t i = 0; i < retry.len && !ended_; ++i) {
        const Deferred& d = retry.data[i];
        if (nodes_.data[d.dir].alive && nodes_.data[d.dir].serial == d.serial) created(d.dir, d.name.get(), d.isDir, sink, true);
    }
    return !ended_;
}

}  // namespace fsutil
