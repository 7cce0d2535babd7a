// Copying a tree as cp -a does: every entry's type, name bytes, mode with its
// set-ID and sticky bits, owner and group where permitted, times in
// nanoseconds (a directory's after its contents, a link's own), extended
// attributes, hard links among the copied entries, holes. The source is read
// by the walk engine, as a delete or a sum reads it; the target is written
// only relative to directories this copy created and opened again with
// O_NOFOLLOW, each checked by device and inode when reopened, so whatever is
// swapped into the target meanwhile, nothing is created outside it. Data
// stays in the kernel: a reflink clone, else copy_file_range, else
// read/write, hole by hole.
#include "engine/TreeCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "engine/TreeWalk.h"

namespace fsutil {

namespace {

constexpr mode_t kModeBits = 07777;
constexpr mode_t kUnknownMode = ~mode_t{0};
// copy_file_range moves at most this much per call (the rest is asked again), so a large file's progress shows.
constexpr std::size_t kRangeChunk = std::size_t{16} << 20;
constexpr std::size_t kBufferBytes = 65536;

// "/proc/self/fd/N" or "/proc/self/fd/N/name": reaches an open descriptor, or
// an entry of an open directory, for the calls without an *at form.
struct ProcPath {
    char text[320];
    explicit ProcPath(int fd, const char* name = nullptr) {
        // A name is at most 255 bytes: the text always fits.
        if (std::snprintf(text, sizeof text, name ? "/proc/self/fd/%d/%s" : "/proc/self/fd/%d", fd, name ? name : "") < 0) {
            text[0] = '\0';
        }
    }
};

// One side of an extended-attribute copy: a descriptor, or a path whose last
// component is (nofollow) or is not followed.
struct XattrEnd {
    int fd;
    const char* path;
    bool nofollow;

    ssize_t list(char* buf, std::size_t size) const {
        if (fd >= 0) return flistxattr(fd, buf, size);
        return nofollow ? llistxattr(path, buf, size) : listxattr(path, buf, size);
    }
    ssize_t get(const char* name, void* buf, std::size_t size) const {
        if (fd >= 0) return fgetxattr(fd, name, buf, size);
        return nofollow ? lgetxattr(path, name, buf, size) : getxattr(path, name, buf, size);
    }
    int set(const char* name, const void* value, std::size_t size) const {
        if (fd >= 0) return fsetxattr(fd, name, value, size, 0);
        return nofollow ? lsetxattr(path, name, value, size, 0) : setxattr(path, name, value, size, 0);
    }
};

// A malloc'd buffer that grows to what a call asks for.
struct Buffer {
    char stack[1024];
    char* heap = nullptr;
    std::size_t size = sizeof stack;
    // cppcheck-suppress uninitMemberVar ; stack is written before it is read, by the call it is lent to
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(heap); }
    char* data() { return heap ? heap : stack; }
    bool grow(std::size_t want) {
        if (want <= size) return true;
        auto* grown = static_cast<char*>(std::realloc(heap, want));
        if (!grown) return false;
        heap = grown;
        size = want;
        return true;
    }
};

// Whether a failure to set this attribute is reported: user attributes and
// ACLs always; others (security.*, trusted.*) only when the reason is not
// that this process may not set them there.
bool mustReport(const char* name, int err) {
    if (std::strncmp(name, "user.", 5) == 0 || std::strncmp(name, "system.posix_acl_", 17) == 0) return true;
    return err != EPERM && err != EACCES && err != ENOTSUP;
}

// Copies every extended attribute of from to to; 0, or the errno of the first failure worth a report.
int copyXattrs(const XattrEnd& from, const XattrEnd& to) {
    Buffer names;
    ssize_t n;
    while ((n = from.list(names.data(), names.size)) < 0 && errno == ERANGE) {
        const ssize_t want = from.list(nullptr, 0);
        if (want < 0 || !names.grow(static_cast<std::size_t>(want) + 1)) return want < 0 ? errno : ENOMEM;
    }
    if (n < 0) return errno == ENOTSUP ? 0 : errno;  // a file system without them has none to copy
    int first = 0;
    Buffer value;
    for (const char* name = names.data(); name < names.data() + n; name += std::strlen(name) + 1) {
        ssize_t v;
        while ((v = from.get(name, value.data(), value.size)) < 0 && errno == ERANGE) {
            const ssize_t want = from.get(name, nullptr, 0);
            if (want < 0 || !value.grow(static_cast<std::size_t>(want) + 1)) break;
        }
        int err = v < 0 ? errno : 0;
        if (v >= 0 && to.set(name, value.data(), static_cast<std::size_t>(v)) != 0) err = errno;
        if (err == EOPNOTSUPP) err = ENOTSUP;
        if (err != 0 && first == 0 && mustReport(name, err)) first = err;
    }
    return first;
}

// The process's umask, read without changing it (umask() would, for every thread); kUnknownMode when unknown.
mode_t processUmask() {
    FILE* f = std::fopen("/proc/self/status", "re");
    if (!f) return kUnknownMode;
    char line[256];
    mode_t mask = kUnknownMode;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "Umask:", 6) != 0) continue;
        char* end = nullptr;
        const unsigned long value = std::strtoul(line + 6, &end, 8);
        if (end != line + 6) mask = static_cast<mode_t>(value) & 0777;
        break;
    }
    (void)std::fclose(f);  // read only: nothing to lose
    return mask;
}

// The hard-linked inodes met so far, shared by the workers: where the first
// copy of each was made (its path relative to the target's top), or that it
// is being made.
class LinkTable {
   public:
    LinkTable() = default;
    LinkTable(const LinkTable&) = delete;
    LinkTable& operator=(const LinkTable&) = delete;

    // True: the caller makes the copy and then calls publish(). False: *path
    // is the copy to link to.
    bool claim(dev_t dev, ino_t ino, CharsPtr* path) {
        std::unique_lock<std::mutex> hold(lock_);
        if ((used_ + 1) * 2 > cap_ && !grow()) return true;  // no memory: copied, not linked
        Slot* slot = find(slots_.get(), cap_, dev, ino);
        if (!slot->used) {
            *slot = Slot{dev, ino, nullptr, true, true};
            ++used_;
            return true;
        }
        // Another thread is copying it: its copy is linked to once made.
        while (slot->pending) {
            changed_.wait(hold);
            slot = find(slots_.get(), cap_, dev, ino);  // the table may have grown meanwhile
        }
        if (slot->path) *path = copyChars(slot->path.get(), std::strlen(slot->path.get()));
        const bool mine = !*path;  // the first copy failed (or no memory): this one tries
        if (mine) slot->pending = true;
        return mine;
    }

    // Where the copy of (dev, ino) was made; null when it failed.
    void publish(dev_t dev, ino_t ino, CharsPtr path) {
        const std::lock_guard<std::mutex> hold(lock_);
        Slot* slot = find(slots_.get(), cap_, dev, ino);
        if (slot->used) {
            slot->pending = false;
            slot->path = std::move(path);
        }
        changed_.notify_all();
    }

   private:
    struct Slot {
        dev_t dev;
        ino_t ino;
        CharsPtr path;
        bool used;
        bool pending;
    };

    static Slot* find(Slot* slots, std::size_t cap, dev_t dev, ino_t ino) {
        std::size_t i = (static_cast<std::size_t>(ino) * 0x9E3779B97F4A7C15ULL ^ static_cast<std::size_t>(dev)) & (cap - 1);
        while (slots[i].used && (slots[i].ino != ino || slots[i].dev != dev)) i = (i + 1) & (cap - 1);
        return &slots[i];
    }

    bool grow() {
        const std::size_t cap = cap_ ? cap_ * 2 : 256;
        std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[cap]());
        if (!slots) return false;
        for (std::size_t i = 0; i < cap_; ++i) {
            if (slots_[i].used) *find(slots.get(), cap, slots_[i].dev, slots_[i].ino) = std::move(slots_[i]);
        }
        slots_ = std::move(slots);
        cap_ = cap;
        return true;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::unique_ptr<Slot[]> slots_;  // every slot unused, when made
    std::size_t cap_ = 0;
    std::size_t used_ = 0;
};

// A directory of the target on a worker's path: kept open while it can be,
// reopened from its nearest open ancestor (and checked) when it was closed.
struct TargetLevel {
    UniqueFd own;          // opened here; level 0's descriptor is the caller's
    int fd = -1;           // own's, or the caller's; -1 when closed
    CharsPtr name;
    DirId id{};
    struct stat src = {};  // the source directory's record, for its attributes when left
    bool made = false;
};

// A worker's target directories, by depth below its share's top (level 0).
struct TargetPath {
    Grow<TargetLevel> levels;
    std::size_t open = 0;  // levels whose descriptor is open
};

}  // namespace

class TreeCopy final : public TreeShares {
   public:
    TreeCopy(UniqueFd dstParentFd, CharsPtr dstName, bool sameFileSystem)
        : TreeShares(JobKind::copy), dstName_(std::move(dstName)), sameFileSystem_(sameFileSystem), euid_(geteuid()),
          egid_(getegid()), umask_(processUmask()) {
        Target parent;
        parent.fd = std::move(dstParentFd);
        (void)targets_.push(std::move(parent));  // no memory: no target, nothing copied
    }

    ~TreeCopy() override { stop(); }

   private:
    // The target of node i of the top levels: targets_.data[i].
    struct Target {
        UniqueFd fd;
        struct stat src = {};
        bool made = false;
    };

    // What a copied entry is reached by, for its attributes: a descriptor of
    // it (pathOnly: an O_PATH one), or, for a link, its directory and name.
    struct Made {
        int fd;
        bool pathOnly;
        int dirFd;
        const char* name;
        mode_t mode = kUnknownMode;  // its mode bits when known: then set only if they differ
    };

    std::size_t indexOf(const Node& node) const { return static_cast<std::size_t>(&node - nodes_.data); }

    std::size_t nodeOf(int fd) const {
        for (std::size_t i = 0; i < nodes_.len; ++i) {
            if (nodes_.data[i].fd.get() == fd) return i;
        }
        return 0;
    }

    int targetOf(std::size_t node) const { return node < targets_.len ? targets_.data[node].fd.get() : -1; }

    void report(const char* base, const char* rel, std::size_t relLen, int err) { fail(base, rel, relLen, err); }

    // Owner and group where this process may set them, as cp -a: what it may
    // not set stays the copier's, and the set-ID bit that goes with it is then
    // not kept. The mode bits to leave out; errno of another failure in *err.
    mode_t own(const Made& m, const struct stat& st, bool always, int* err) const {
        if (!always && st.st_uid == euid_ && st.st_gid == egid_) return 0;
        auto chownTo = [&m](uid_t uid, gid_t gid) {
            return m.fd >= 0 ? fchownat(m.fd, "", uid, gid, AT_EMPTY_PATH)
                             : fchownat(m.dirFd, m.name, uid, gid, AT_SYMLINK_NOFOLLOW);
        };
        if (chownTo(st.st_uid, st.st_gid) == 0) return 0;
        if (errno != EPERM && errno != EINVAL) {
            *err = errno;
            return S_ISUID | S_ISGID;
        }
        if (st.st_gid != egid_ && chownTo(static_cast<uid_t>(-1), st.st_gid) == 0) return S_ISUID;
        return st.st_gid == egid_ ? S_ISUID : S_ISUID | S_ISGID;
    }

    // Extended attributes, owner, mode, times of a copy made as m from the
    // source entry `from` (null: none to copy; st its record); failures
    // reported as base/rel.
    void attributes(const Made& m, const XattrEnd* from, const struct stat& st, bool always, const char* base,
                    const char* rel, std::size_t relLen) {
        const bool link = S_ISLNK(st.st_mode);
        const bool byPath = link || m.pathOnly;
        ProcPath self(byPath && m.fd < 0 ? m.dirFd : m.fd, byPath && m.fd < 0 ? m.name : nullptr);
        if (from) {
            const XattrEnd to = byPath ? XattrEnd{-1, self.text, link} : XattrEnd{m.fd, nullptr, false};
            const int xerr = copyXattrs(*from, to);
            if (xerr != 0) report(base, rel, relLen, xattrReason(xerr));
        }
        int err = 0;
        const mode_t clear = own(m, st, always, &err);
        if (err != 0) report(base, rel, relLen, err);
        const mode_t mode = st.st_mode & kModeBits & ~clear;
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        int rc = 0;
        if (link) {
            rc = utimensat(m.dirFd, m.name, times, AT_SYMLINK_NOFOLLOW);
        } else if (m.pathOnly) {
            rc = chmod(self.text, mode);
            if (rc == 0) rc = utimensat(AT_FDCWD, self.text, times, 0);
        } else {
            if (mode != m.mode) rc = fchmod(m.fd, mode);
            if (rc == 0) rc = futimens(m.fd, times);
        }
        if (rc != 0) report(base, rel, relLen, errno);
    }

    // A new directory `name` of dstDir for the source directory st, open and
    // checked; none when it could not be made (reported).
    UniqueFd makeDir(int dstDir, const char* name, const char* base, const char* rel, std::size_t relLen,
                     struct stat* made) {
        UniqueFd fd;
        if (mkdirat(dstDir, name, 0700) != 0 || openDir(dstDir, name, DirCheck(), made, &fd) != DirOpen::opened) {
            report(base, rel, relLen, errno == ELOOP || errno == ENOTDIR ? kReasonTargetMoved : errno);
            return fd;
        }
        progressed(1, 0);
        return fd;
    }

    // The attributes of a finished directory copy, open as fd; the source
    // directory's extended attributes read from srcFd, else from `name` of
    // srcDir, else (both -1) not copied.
    void finishDir(int fd, const struct stat& st, int srcFd, int srcDir, const char* name, bool always,
                   const char* base, const char* rel, std::size_t relLen) {
        if (srcFd >= 0) {
            const XattrEnd from{srcFd, nullptr, false};
            attributes(Made{fd, false, -1, nullptr}, &from, st, always, base, rel, relLen);
        } else if (srcDir >= 0) {
            ProcPath src(srcDir, name);
            const XattrEnd from{-1, src.text, true};
            attributes(Made{fd, false, -1, nullptr}, &from, st, always, base, rel, relLen);
        } else {
            attributes(Made{fd, false, -1, nullptr}, nullptr, st, always, base, rel, relLen);
        }
    }

    // A link to the earlier copy at rel (relative to the target's top) as `name` of dstDir; 0 or the reason.
    int linkTo(const char* rel, int dstDir, const char* name) const {
        const int top = targetOf(1);
        return top < 0 ? ENOENT : linkBelow(top, rel, dstDir, name);
    }

    // The data of a regular file: a clone, else its data ranges (holes kept); 0 or the errno.
    int copyData(int from, int to, const struct stat& st) {
        if (st.st_size == 0) return 0;
        if (noClone_.load(std::memory_order_relaxed) != st.st_dev) {
            if (ioctl(to, FICLONE, from) == 0) {
                progressed(0, static_cast<std::uint64_t>(st.st_size));
                return 0;
            }
            if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL || errno == EXDEV || errno == ENOSYS) {
                noClone_.store(st.st_dev, std::memory_order_relaxed);
            }
        }
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (static_cast<std::uint64_t>(st.st_blocks) * 512 >= size) return copyRange(from, to, 0, size);
        // Sparse: only the data ranges, then the length (a hole at the end included).
        off_t at = 0;
        while (static_cast<std::uint64_t>(at) < size) {
            const off_t data = lseek(from, at, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO) break;  // only a hole is left
                return copyRange(from, to, at, size - static_cast<std::uint64_t>(at));
            }
            off_t hole = lseek(from, data, SEEK_HOLE);
            if (hole < 0 || static_cast<std::uint64_t>(hole) > size) hole = static_cast<off_t>(size);
            const int err = copyRange(from, to, data, static_cast<std::uint64_t>(hole - data));
            if (err != 0) return err;
            at = hole;
        }
        return ftruncate(to, static_cast<off_t>(size)) == 0 ? 0 : errno;
    }

    // Copies a regular file; whether it was made (failures reported).
    bool copyFile(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
                  const char* base, const char* rel, std::size_t relLen) {
        UniqueFd from(openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (from.get() < 0) {
            report(base, rel, relLen, errno);
            return false;
        }
        // Made with its permission bits where the umask leaves them whole (no fchmod then); set-ID bits only later, after its owner.
        const mode_t bits = st.st_mode & 0777;
        // Writable by its owner too, or extended attributes could not be set on it before its mode.
        const bool whole = umask_ != kUnknownMode && (bits & umask_) == 0 && ((bits & S_IWUSR) != 0 || euid_ == 0);
        UniqueFd to(openat(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, whole ? bits : 0600));
        if (to.get() < 0) {
            report(base, rel, relLen, errno);
            return false;
        }
        const int err = copyData(from.get(), to.get(), st);
        if (err != 0) {
            // No partial copy stays behind claiming to be the file.
            to.reset();
            unlinkat(dstDir, dstName, 0);
            report(base, rel, relLen, err);
            return false;
        }
        progressed(1, 0);
        const XattrEnd source{from.get(), nullptr, false};
        attributes(Made{to.get(), false, -1, nullptr, whole ? bits : kUnknownMode}, &source, st, always, base, rel, relLen);
        return true;
    }

    // Copies what is not a directory (a hard link to an earlier copy where the
    // source is one); whether it was made.
    bool copyEntry(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
                   const char* base, const char* rel, std::size_t relLen) {
        CharsPtr first;
        const bool linked = !always && st.st_nlink > 1;
        if (linked && !links_.claim(st.st_dev, st.st_ino, &first)) {
            const int err = linkTo(first.get(), dstDir, dstName);
            if (err != 0) {
                report(base, rel, relLen, err);
                return false;
            }
            progressed(1, 0);
            return true;
        }
        const bool made = copyOne(srcDir, name, st, dstDir, dstName, always, base, rel, relLen);
        if (linked) links_.publish(st.st_dev, st.st_ino, made ? joinPath(base, rel, relLen) : nullptr);
        return made;
    }

    bool copyOne(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
                 const char* base, const char* rel, std::size_t relLen) {
        if (S_ISREG(st.st_mode)) return copyFile(srcDir, name, st, dstDir, dstName, always, base, rel, relLen);
        ProcPath src(srcDir, name);
        const XattrEnd from{-1, src.text, true};
        if (S_ISLNK(st.st_mode)) {
            Buffer target;
            ssize_t n;
            if (!target.grow(static_cast<std::size_t>(st.st_size) + 2)) {
                report(base, rel, relLen, ENOMEM);
                return false;
            }
            // A link that grew since it was looked at is read again with more room.
            while ((n = readlinkat(srcDir, name, target.data(), target.size)) >= 0 &&
                   static_cast<std::size_t>(n) >= target.size) {
                if (!target.grow(target.size * 2)) {
                    n = -1;
                    errno = ENOMEM;
                    break;
                }
            }
            if (n >= 0) target.data()[n] = '\0';
            if (n < 0 || symlinkat(target.data(), dstDir, dstName) != 0) {
                report(base, rel, relLen, errno);
                return false;
            }
            progressed(1, 0);
            attributes(Made{-1, false, dstDir, dstName}, &from, st, always, base, rel, relLen);
            return true;
        }
        // FIFO, socket, device: made in place, then reached through an O_PATH
        // descriptor, so that a link swapped in is never followed.
        if (mknodat(dstDir, dstName, (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0) {
            report(base, rel, relLen, errno);
            return false;
        }
        progressed(1, 0);
        UniqueFd made(openat(dstDir, dstName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat now;
        if (made.get() < 0 || fstat(made.get(), &now) != 0 || (now.st_mode & S_IFMT) != (st.st_mode & S_IFMT)) {
            report(base, rel, relLen, kReasonTargetMoved);
            return false;
        }
        attributes(Made{made.get(), true, -1, nullptr}, &from, st, always, base, rel, relLen);
        return true;
    }

    bool top(int parentFd, const char* name, const struct stat& st) override {
        const int dstParent = targetOf(0);
        if (dstParent < 0) {
            report("", "", 0, ENOMEM);
            return false;
        }
        if (!S_ISDIR(st.st_mode)) {
            copyOne(parentFd, name, st, dstParent, dstName_.get(), true, "", "", 0);
            return false;
        }
        struct stat made;
        UniqueFd fd = makeDir(dstParent, dstName_.get(), "", "", 0, &made);
        if (!fd) return false;
        if (!targets_.push(Target{std::move(fd), st, true})) {
            report("", "", 0, ENOMEM);
            return false;
        }
        return true;
    }

    void entry(Node& node, const char* name, EntryType /*type*/) override {
        struct stat st;
        const std::size_t len = std::strlen(name);
        if (fstatat(node.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) report(node.path.get(), name, len, errno);  // gone since listed: nothing to copy
            return;
        }
        const int dst = targetOf(indexOf(node));
        if (dst < 0 || !copyEntry(node.fd.get(), name, st, dst, name, false, node.path.get(), name, len)) node.failed = true;
    }

    bool enter(Node& parent, const char* name, const char* path, const struct stat& st) override {
        const int dst = targetOf(indexOf(parent));
        struct stat made;
        UniqueFd fd = dst < 0 ? UniqueFd() : makeDir(dst, name, path, "", 0, &made);
        if (!fd) return false;
        if (sameFileSystem_ && st.st_dev != dev_) {
            // On another file system: created with its attributes, not entered.
            finishDir(fd.get(), st, -1, parent.fd.get(), name, false, path, "", 0);
            return false;
        }
        // It becomes node nodes_.len once entered.
        if (!targets_.ensure(nodes_.len + 1)) {
            report(path, "", 0, ENOMEM);
            return false;
        }
        while (targets_.len <= nodes_.len) (void)targets_.push(Target{});  // room ensured above
        targets_.data[nodes_.len] = Target{std::move(fd), st, true};
        return true;
    }

    // A directory of the top levels that cannot be read: made all the same.
    void unopened(int parentFd, const char* name, const char* path) override {
        unreadable(parentFd, name, path, targetOf(nodeOf(parentFd)));
    }

    // A source directory `name` of parentFd that cannot be read is still made,
    // empty, with its attributes, in dstParent, as cp -a makes it (its failure is reported apart).
    void unreadable(int parentFd, const char* name, const char* path, int dstParent) {
        struct stat st;
        struct stat made;
        if (dstParent < 0 || fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return;
        const UniqueFd fd = makeDir(dstParent, name, path, "", 0, &made);
        if (fd) finishDir(fd.get(), st, -1, parentFd, name, false, path, "", 0);
    }

    bool share(int parentFd, const char* name, const char* path) override;
    int copyRange(int from, int to, off_t off, std::uint64_t len);
    void copyTree(TreeWalk& walk, int topFd, const struct stat& topMade, const char* base);
    int levelFd(TargetPath& path, std::size_t d, int* why);
    static void bound(TargetPath& path);

    // The directories of the top levels, deepest first, once everything below them is there.
    void last() override {
        for (std::size_t i = targets_.len; i-- > 1 && !cancelled();) {
            const Target& t = targets_.data[i];
            if (!t.fd || !t.made) continue;
            const bool node = i < nodes_.len;
            finishDir(t.fd.get(), t.src, node ? nodes_.data[i].fd.get() : -1, -1, nullptr, i == 1, node ? nodes_.data[i].path.get() : "",
                      "", 0);  // a top whose source could not be opened has no attributes to read but its record
        }
    }

    Grow<Target> targets_;
    CharsPtr dstName_;
    const bool sameFileSystem_;
    const uid_t euid_;
    const gid_t egid_;
    const mode_t umask_;  // kUnknownMode when it could not be read
    LinkTable links_;
    std::atomic<dev_t> noClone_{0};  // a source device whose files could not be cloned
    std::atomic<bool> noRange_{false};
};

// copy_file_range, else read/write, of len bytes at off, counted as they go; 0 or the errno.
int TreeCopy::copyRange(int from, int to, off_t off, std::uint64_t len) {
    off_t in = off;
    off_t out = off;
    std::uint64_t left = len;
    // A small file goes in one read and one write: cheaper than copy_file_range's splice on tmpfs.
    if (len > kBufferBytes && !noRange_.load(std::memory_order_relaxed)) {
        while (left > 0) {
            const ssize_t n = copy_file_range(from, &in, to, &out, left < kRangeChunk ? left : kRangeChunk, 0);
            if (n > 0) {
                left -= static_cast<std::uint64_t>(n);
                progressed(0, static_cast<std::uint64_t>(n));
                continue;
            }
            if (n == 0) return 0;  // the source got shorter meanwhile
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
            noRange_.store(true, std::memory_order_relaxed);
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
            progressed(0, static_cast<std::uint64_t>(w));
        }
        in += r;
        left -= static_cast<std::uint64_t>(r);
    }
    return 0;
}

// The descriptor of the target directory at depth d, reopened name by name
// from its nearest open ancestor when it was closed (the steps between are
// closed again); -1 and *why otherwise.
int TreeCopy::levelFd(TargetPath& path, std::size_t d, int* why) {
    TargetLevel* levels = path.levels.data;
    if (levels[d].fd >= 0) return levels[d].fd;
    std::size_t k = d;
    while (levels[k].fd < 0) --k;  // level 0 stays open
    UniqueFd step;
    int fd = levels[k].fd;
    for (++k; k <= d; ++k) {
        DirCheck check;
        check.expect = &levels[k].id;
        struct stat st;
        if (openDir(fd, levels[k].name.get(), check, &st, &step) != DirOpen::opened) {
            *why = kReasonTargetMoved;
            return -1;
        }
        fd = step.get();
    }
    levels[d].own = std::move(step);
    levels[d].fd = levels[d].own.get();
    ++path.open;
    bound(path);
    return levels[d].fd;
}

// Keeps at most kTreeMaxOpen target directories open: the shallowest go
// first, but never the top nor the two deepest (the one being filled, the one just made).
void TreeCopy::bound(TargetPath& path) {
    for (std::size_t j = 1; path.open > kTreeMaxOpen && j + 2 < path.levels.len; ++j) {
        TargetLevel& level = path.levels.data[j];
        if (level.fd < 0) continue;
        level.own.reset();
        level.fd = -1;
        --path.open;
    }
}

// Copies what the walk reports below the share's top, whose copy is open as topFd.
void TreeCopy::copyTree(TreeWalk& walk, int topFd, const struct stat& topMade, const char* base) {
    TargetPath path;
    WalkPath at;
    WalkItem item;
    std::size_t n = 0;
    TargetLevel top;
    top.fd = topFd;
    top.id = DirId::of(topMade);
    top.made = true;
    bool ok = path.levels.push(std::move(top));
    path.open = 1;
    while (ok && !cancelled() && walk.next(&item)) {
        const std::size_t d = item.depth;
        int why = 0;
        if (item.event == WalkEvent::failure) {
            const char* p = at.of(d, &n);
            report(base, p, n, item.err);
            continue;
        }
        if (item.event == WalkEvent::leave) {
            if (d == 0 || d >= path.levels.len) continue;
            const TargetLevel& level = path.levels.data[d];
            const char* p = at.of(d, &n);
            const int fd = level.made ? levelFd(path, d, &why) : -1;
            const int srcDir = fd >= 0 ? walk.directoryFd(d, &why) : -1;
            if (srcDir >= 0) {
                finishDir(fd, level.src, -1, srcDir, item.name, false, base, p, n);
            } else if (level.made) {
                report(base, p, n, why);
            }
            while (path.levels.len > d) {
                if (path.levels.back().fd >= 0) --path.open;
                path.levels.pop();
            }
            continue;
        }
        const char* p = at.entry(d, item.name, item.nameLen, &n);
        const int dst = p ? levelFd(path, d - 1, &why) : -1;
        if (!p) why = ENOMEM;
        if (item.type != EntryType::directory) {
            const int src = dst >= 0 ? walk.directoryFd(d, &why) : -1;
            if (src >= 0) {
                copyEntry(src, item.name, *item.st, dst, item.name, false, base, p, n);
            } else if (p) {
                report(base, p, n, why);
            }
            continue;
        }
        // A directory: made now, its attributes set when it is left.
        struct stat made = {};
        TargetLevel level;
        if (dst < 0) {
            if (p) report(base, p, n, why);
        } else {
            level.own = makeDir(dst, item.name, base, p, n, &made);
        }
        level.fd = level.own.get();
        level.name = level.own ? copyChars(item.name, item.nameLen) : nullptr;
        if (level.own && !level.name) {
            level.own.reset();
            level.fd = -1;
            report(base, p, n, ENOMEM);
        }
        const bool opened = level.fd >= 0;
        if (!opened) walk.skip();  // nothing could be put into it: not read either
        level.id = DirId::of(made);
        level.src = *item.st;
        level.made = opened;
        // The directory's copy is level d, as long as the walk's depths and ours agree.
        ok = path.levels.len == d && path.levels.push(std::move(level)) && at.enter(d, item.name, item.nameLen);
        if (!ok) {
            report(base, p ? p : "", p ? n : 0, ENOMEM);
            break;
        }
        if (opened) ++path.open;
        bound(path);
    }
    // What is still open (cancelled, or out of memory) is closed with path; level 0 is the caller's.
}

bool TreeCopy::share(int parentFd, const char* name, const char* path) {
    const std::size_t node = nodeOf(parentFd);
    const int dstParent = targetOf(node);
    UniqueFd src;
    struct stat st;
    if (openDir(parentFd, name, DirCheck(), &st, &src) != DirOpen::opened) {
        // No longer a directory (a link put in its place, say): copied as what it now is.
        if ((errno == ELOOP || errno == ENOTDIR) && fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            dstParent >= 0) {
            return copyEntry(parentFd, name, st, dstParent, name, false, path, "", 0);
        }
        report(path, "", 0, errno);
        unreadable(parentFd, name, path, dstParent);
        return false;
    }
    if (dstParent < 0) return false;
    struct stat made;
    const UniqueFd dst = makeDir(dstParent, name, path, "", 0, &made);
    if (!dst) return false;
    if (!sameFileSystem_ || st.st_dev == dev_) {
        UniqueFd keep(dup(src.get()));  // for the top's own attributes, after the walk
        WalkOptions options;
        options.attributes = true;
        options.everyType = true;
        options.sameFileSystem = sameFileSystem_;
        options.topDevice = &dev_;
        const std::unique_ptr<TreeWalk> walk = keep ? TreeWalk::open(std::move(src), options) : nullptr;
        if (!walk) {
            report(path, "", 0, ENOMEM);
            return false;
        }
        copyTree(*walk, dst.get(), made, path);
        if (cancelled()) return false;
        finishDir(dst.get(), st, keep.get(), -1, nullptr, false, path, "", 0);
        return true;
    }
    finishDir(dst.get(), st, src.get(), -1, nullptr, false, path, "", 0);
    return true;
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

std::unique_ptr<TreeShares> startCopy(UniqueFd srcParentFd, const char* srcName, UniqueFd dstParentFd,
                                      const char* dstName, bool sameFileSystem, std::size_t threads) {
    CharsPtr name = copyChars(dstName, std::strlen(dstName));
    std::unique_ptr<TreeShares> job(name ? new (std::nothrow) TreeCopy(std::move(dstParentFd), std::move(name), sameFileSystem)
                                         : nullptr);
    if (job) job->start(std::move(srcParentFd), srcName, threads);
    return job;
}

std::uint64_t finishCopy(std::unique_ptr<TreeShares> shares) {
    if (!shares || shares->kind() != JobKind::copy) return 0;
    shares->stop();
    return shares->entriesDone();
}

}  // namespace fsutil
