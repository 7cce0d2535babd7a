// Making an existing tree equal to another: each source entry is compared
// with the target entry of the same path and only what differs is changed.
// A regular file whose size and modification time (ns) match keeps its data
// (rsync's quick check); then only metadata that differs is set in place.
// New contents go to a new inode in the same directory (O_TMPFILE, else a
// temporary name starting kSyncTempPrefix), get their attributes, and take
// the old name with one renameat, so a reader of the old file keeps the old
// bytes. What the target holds beyond the source is removed, through the
// delete engine, once a directory is done: only names the source directory
// looks up as absent, never when that directory was not read whole. The
// source is read by the walk engine; the target only relative to its own
// directories, opened with O_NOFOLLOW and checked when opened again. The
// names of hard-link groups are noted and settled at the end, by a rule of
// their paths alone (SyncLinks), so no decision depends on which thread met
// a name first. A dry run makes every decision the same way and changes nothing.
// No JNI here.
#include "engine/TreeSync.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "base/Grow.h"
#include "engine/CopyAttributes.h"
#include "engine/CopyCreate.h"
#include "engine/CopyData.h"
#include "engine/CopyLinks.h"
#include "engine/DirChain.h"
#include "engine/SyncLinks.h"
#include "engine/SyncXattrs.h"
#include "engine/TreeDelete.h"
#include "engine/TreeWalk.h"

namespace fsutil {

namespace {

constexpr mode_t kModeBits = 07777;
constexpr std::size_t kBufferBytes = 65536;
// A source entry gone since it was listed: simply absent, not a failure.
constexpr int kVanished = -100000;
// A failure already reported by the step that met it.
constexpr int kReported = -100001;

// A growing malloc'd buffer: its room is cap.
using Buffer = Grow<char>;

// The mode bits the target should have: the source's, without a set-ID bit
// whose owner or group the target does not share (as a copy leaves it).
mode_t wantedMode(const struct stat& s, const struct stat& t) {
    mode_t m = s.st_mode & kModeBits;
    if (t.st_uid != s.st_uid) m &= ~static_cast<mode_t>(S_ISUID);
    if (t.st_gid != s.st_gid) m &= ~static_cast<mode_t>(S_ISGID);
    return m;
}

bool sameTime(const struct timespec& a, const struct timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

EntryType typeOf(const struct stat& st) {
    const EntryType t = typeOfMode(st.st_mode);
    return t == EntryType::skip ? EntryType::other : t;
}

// Where a reported entry lies: base and rel joined.
struct Where {
    const char* base;
    const char* rel;
    std::size_t relLen;
};

// A target directory being synced.
struct Level {
    UniqueFd own;
    int fd = -1;              // -1: not there; below a share's top, the chain's descriptor, set before each use
    DirId id{};
    struct stat src = {};     // the source directory's record
    bool absent = false;      // not there in a dry run: all below is new
    bool made = false;        // its descriptor can be had
    bool fresh = false;       // made by this run
    bool incomplete = false;  // its source was not read whole: nothing in it is removed
    bool changed = false;     // a name in it was made, replaced or removed
    bool opened = false;      // made writable for this run: its mode is set again when left
    bool metaDiffer = false;  // mode, owner or extended attributes differ
    bool timeDiffer = false;
    std::size_t matched = 0;  // its names that a source entry keeps
};

}  // namespace

class TreeSync final : public TreeShares {
   public:
    TreeSync(UniqueFd dstParentFd, CharsPtr dstName, const SyncOptions& options)
        : TreeShares(JobKind::sync, options.sameFileSystem), dstName_(std::move(dstName)), options_(options), root_(geteuid() == 0),
          pid_(static_cast<unsigned>(getpid())), links_(options.dryRun) {
        Level parent;
        parent.own = std::move(dstParentFd);
        parent.fd = parent.own.get();
        parent.made = true;
        parent.opened = true;  // the target's parent is not the sync's to make writable
        (void)targets_.push(std::move(parent));  // no memory: no target, nothing done
    }

    ~TreeSync() override { stop(); }

    SyncCounts counts() const {
        SyncCounts c;
        c.created = created_.load();
        c.modified = modified_.load();
        c.attributes = attributes_.load();
        c.removed = removed_.load();
        c.unchanged = unchanged_.load();
        c.bytes = bytes_.load();
        return c;
    }

   private:
    // A step of copy's on an entry of this sync: its failures reported at the entry, its bytes counted.
    class Step final : public CopyReport, public ByteCount {
       public:
        // srcDir and name: the source entry, whose vanishing since it was listed is no failure.
        Step(TreeSync& job, const Where& w, int srcDir = -1, const char* name = nullptr)
            : job_(job), w_(w), srcDir_(srcDir), name_(name) {}
        void failed(int err) override {
            failures_ = true;
            struct stat gone;
            if (err == ENOENT && name_ && fstatat(srcDir_, name_, &gone, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return;
            job_.report(w_, err);
        }
        void progressed(std::uint64_t /*entries*/, std::uint64_t bytes) override { bytes_ += bytes; }
        void moved(std::uint64_t bytes) override { bytes_ += bytes; }
        bool failures() const { return failures_; }
        std::uint64_t bytes() const { return bytes_; }

       private:
        TreeSync& job_;
        Where w_;
        int srcDir_;
        const char* name_;
        bool failures_ = false;
        std::uint64_t bytes_ = 0;
    };

    // ---- reporting

    void report(const Where& w, int err) {
        if (err != kVanished && err != kReported) fail(w.base, w.rel, w.relLen, err);
    }

    void change(SyncKind kind, EntryType type, const Where& w) {
        switch (kind) {
            case SyncKind::created: created_.fetch_add(1, std::memory_order_relaxed); break;
            case SyncKind::modified: modified_.fetch_add(1, std::memory_order_relaxed); break;
            case SyncKind::attributes: attributes_.fetch_add(1, std::memory_order_relaxed); break;
            case SyncKind::removed: removed_.fetch_add(1, std::memory_order_relaxed); break;
        }
        if (options_.reportChanges) fail(w.base, w.rel, w.relLen, syncChangeCode(kind, type));
    }

    // An entry of `type` put in at's place of t (null: there was none), or over one of its type.
    void replaced(Level& at, const struct stat* t, bool sameType, EntryType type, const Where& w) {
        at.changed = true;
        if (sameType) {
            change(SyncKind::modified, type, w);
        } else {
            if (t) change(SyncKind::removed, typeOf(*t), w);
            change(SyncKind::created, type, w);
        }
    }

    void unchanged() {
        unchanged_.fetch_add(1, std::memory_order_relaxed);
        progressed(1, 0);
    }

    void wrote(std::uint64_t bytes) {
        bytes_.fetch_add(bytes, std::memory_order_relaxed);
        progressed(1, bytes);
    }

    // ---- the target's directories

    // A name for new contents that no one else uses.
    void tempName(char* out, std::size_t size) {
        const unsigned long n = tempCount_.fetch_add(1, std::memory_order_relaxed);
        (void)std::snprintf(out, size, "%s%x.%lx", kSyncTempPrefix, pid_, n);
    }

    // Before the first change in a directory: as an unprivileged owner, one
    // that is read-only is made writable for the run (its mode set again when left).
    void writable(Level& at) {
        if (root_ || at.opened || at.fd < 0) return;
        at.opened = true;
        struct stat st;
        if (fstat(at.fd, &st) != 0 || (st.st_mode & 0300) == 0300 || st.st_uid != geteuid()) {
            at.opened = false;
            return;
        }
        (void)fchmod(at.fd, (st.st_mode & kModeBits) | 0300);  // if refused, the change fails and is reported
    }

    // Removes the target entry `name` of at (t its record): a directory with
    // everything below it through the delete engine; reported when it fails.
    bool removeEntry(Level& at, const char* name, const struct stat& t, const Where& w) {
        writable(at);
        if (!S_ISDIR(t.st_mode)) {
            if (unlinkat(at.fd, name, 0) == 0) return true;
            report(w, errno);
            return false;
        }
        // Never across a mount point, a bind mount of the same device included.
        const UniqueFd it(openat(at.fd, name, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
        const std::uint64_t mount = it ? mountIdOf(it.get()) : 0;
        if (t.st_dev != at.id.dev || (mount != 0 && mount != mountIdOf(at.fd))) {
            report(w, kReasonMountPoint);
            return false;
        }
        UniqueFd dir(dup(at.fd));
        std::unique_ptr<TreeShares> job = dir ? startDelete(std::move(dir), name, 1) : nullptr;
        if (!job) {
            report(w, ENOMEM);
            return false;
        }
        bool ok = true;
        TreeFailure f;
        const CharsPtr here = joinPath(w.base, w.rel, w.relLen);
        while (job->takeFailure(&f)) {
            ok = false;
            const char* below = f.path ? f.path.get() : "";
            fail(here ? here.get() : "", below, std::strlen(below), f.err);
        }
        (void)finishDelete(std::move(job));
        return ok;
    }

    // Sets the attributes of a target entry from the source's record s (its
    // extended attributes read from `from`, null: not set) and reports what fails.
    void updateAttributes(const Ent& to, const Ent* from, const struct stat& s, const Where& w) {
        const bool link = S_ISLNK(s.st_mode);
        if (from) {
            bool differ = false;
            const int err = syncXattrs(*from, to, root_, true, &differ);
            if (err != 0) report(w, fault(Context::xattr, err == EOPNOTSUPP ? ENOTSUP : err));
        }
        struct stat t;
        if (lstatOf(to, &t) != 0) {
            report(w, errno);
            return;
        }
        if (t.st_uid != s.st_uid || t.st_gid != s.st_gid) {
            // Owner and group where this process may set them; else the group alone where it may.
            const uid_t uid = root_ ? s.st_uid : static_cast<uid_t>(-1);
            int rc = to.name ? fchownat(to.fd, to.name, uid, s.st_gid, AT_SYMLINK_NOFOLLOW)
                             : fchownat(to.fd, "", uid, s.st_gid, AT_EMPTY_PATH);
            if (rc != 0 && errno != EPERM && errno != EINVAL) report(w, errno);
            if (lstatOf(to, &t) != 0) rc = -1;
        }
        int rc = 0;
        if (!link && (t.st_mode & kModeBits) != wantedMode(s, t)) {
            rc = to.name ? fchmodat(to.fd, to.name, wantedMode(s, t), AT_SYMLINK_NOFOLLOW) : fchmod(to.fd, wantedMode(s, t));
        }
        const struct timespec times[2] = {s.st_atim, s.st_mtim};
        if (rc == 0) rc = to.name ? utimensat(to.fd, to.name, times, AT_SYMLINK_NOFOLLOW) : futimens(to.fd, times);
        if (rc != 0) report(w, errno);
    }

    // Whether the target entry's metadata (t its record) differs from the source's: meta and time apart.
    void compare(const Ent& from, const struct stat& s, const Ent& to, const struct stat& t, bool* meta, bool* time) {
        *time = !sameTime(s.st_mtim, t.st_mtim);
        *meta = (!S_ISLNK(s.st_mode) && (t.st_mode & kModeBits) != wantedMode(s, t)) ||
                (root_ && (s.st_uid != t.st_uid || s.st_gid != t.st_gid));
        if (!*meta) {
            bool differ = false;
            if (syncXattrs(from, to, root_, false, &differ) == 0) *meta = differ;
        }
    }

    // ---- making entries

    // New contents for the regular file `name` of srcDir as `dstName` of at:
    // a new inode, filled and given its attributes by copy's steps, then
    // linked in (replace: over the old name); 0 or the reason (kVanished:
    // the source is gone, or is another inode than expect names).
    int writeFile(int srcDir, const char* name, Level& at, const char* dstName, bool replace, const Where& w,
                  std::uint64_t* written, const struct stat* expect = nullptr) {
        UniqueFd from(openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat s;
        if (!from) return errno == ENOENT ? kVanished : errno;
        if (fstat(from.get(), &s) != 0) return errno;
        if (!S_ISREG(s.st_mode)) return kVanished;  // something else since listed: taken next time
        if (expect && (s.st_dev != expect->st_dev || s.st_ino != expect->st_ino)) return kVanished;
        writable(at);
        char tmp[64];
        tempName(tmp, sizeof tmp);
        bool named = false;
        UniqueFd to;
        if (!options_.namedTemporaries) to.reset(openat(at.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
        if (!to) {
            const bool refused = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT;
            if (!options_.namedTemporaries && !refused) return errno;
            to.reset(openat(at.fd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!to) return errno;
            named = true;
        }
        Step step(*this, w);
        int err = copyFileData(from.get(), to.get(), s, env_.data, &step);
        *written = step.bytes();
        if (err == 0) {
            const XattrEnd source{from.get(), nullptr, false};
            setAttributes(AttrTarget{to.get(), false, -1, nullptr}, &source, s, false, env_.who, step);
            if (options_.durable && fsync(to.get()) != 0) err = errno;
        }
        if (err == 0 && !named) {
            // The nameless inode gets its name: the final one when nothing is there, else a temporary one.
            const ProcPath self(to.get());
            if (linkat(AT_FDCWD, self.text, at.fd, replace ? tmp : dstName, AT_SYMLINK_FOLLOW) != 0) err = errno;
            if (err == 0 && !replace) return 0;
            named = err == 0;
        }
        if (err == 0 && renameat(at.fd, tmp, at.fd, dstName) != 0) err = errno;
        if (err == 0) return 0;
        if (named) (void)unlinkat(at.fd, tmp, 0);  // no temporary outlives a failure
        return err;
    }

    // Makes what is not a regular file nor a directory (s its source record)
    // as `dstName` of at by copy's steps, under a temporary name first when it
    // replaces something; 0 or the reason.
    int makeOther(int srcDir, const char* name, const struct stat& s, Level& at, const char* dstName, bool replace,
                  const Where& w) {
        writable(at);
        char tmp[64];
        tempName(tmp, sizeof tmp);
        Step step(*this, w, srcDir, name);
        if (!createEntry(srcDir, name, s, at.fd, replace ? tmp : dstName, false, env_, step)) return kReported;
        if (replace && renameat(at.fd, tmp, at.fd, dstName) != 0) {
            const int err = errno;
            (void)unlinkat(at.fd, tmp, 0);
            return err;
        }
        return 0;
    }

    // Links `dstName` of at to the target of a group's first name (over what is there when replace).
    int linkGroup(const char* firstRel, Level& at, const char* dstName, bool replace) {
        writable(at);
        const int top = targets_.len > 1 ? targets_.data[1].fd : -1;
        if (top < 0) return ENOENT;
        char tmp[64];
        tempName(tmp, sizeof tmp);
        const int err = linkBelow(top, firstRel, at.fd, replace ? tmp : dstName);
        if (err != 0 || !replace) return err;
        if (renameat(at.fd, tmp, at.fd, dstName) != 0) {
            const int e = errno;
            (void)unlinkat(at.fd, tmp, 0);
            return e;
        }
        (void)unlinkat(at.fd, tmp, 0);  // already that file: the rename left both names
        return 0;
    }

    // ---- entries

    // The source entry `name` of srcDir (not a directory; s its record) as
    // `dstName` of at. A name of a hard-link group waits for the end of the
    // run, when every name of its group is known.
    void syncEntry(int srcDir, const char* name, const struct stat& s, Level& at, const char* dstName, const Where& w) {
        if (S_ISREG(s.st_mode) && s.st_nlink > 1 && freshTop_) {
            freshName(srcDir, name, s, at, dstName, w);
        } else if (S_ISREG(s.st_mode) && s.st_nlink > 1) {
            hold(srcDir, name, s, at, dstName, w);
        } else {
            (void)syncOne(srcDir, name, s, at, dstName, w);
        }
    }

    // A name of a hard-link group in a target this run made whole: no target
    // inode can be kept, so whichever name comes first is made and the others
    // are linked to it, the same changes as settling the group by path makes.
    void freshName(int srcDir, const char* name, const struct stat& s, Level& at, const char* dstName, const Where& w) {
        CharsPtr first;
        if (!fresh_.claim(s.st_dev, s.st_ino, &first)) {
            const int err = linkGroup(first.get(), at, dstName, false);
            if (err != 0) {
                report(w, err);
                return;
            }
            at.changed = true;
            change(SyncKind::created, EntryType::file, w);
            progressed(1, 0);
            return;
        }
        const bool made = syncOne(srcDir, name, s, at, dstName, w);
        fresh_.publish(s.st_dev, s.st_ino, made ? joinPath(w.base, w.rel, w.relLen) : CharsPtr());
    }

    // A name of a source hard-link group (s its record) as `dstName` of at:
    // what the target holds there noted, the rest left to settling the groups.
    void hold(int srcDir, const char* name, const struct stat& s, Level& at, const char* dstName, const Where& w) {
        HeldName h;
        h.rel = joinPath(w.base, w.rel, w.relLen);
        if (!h.rel) {
            report(w, ENOMEM);
            return;
        }
        h.len = std::strlen(h.rel.get());
        const char* slash = std::strrchr(h.rel.get(), '/');
        h.leaf = slash ? static_cast<std::size_t>(slash - h.rel.get()) + 1 : 0;
        if (!at.absent) {
            h.exists = fstatat(at.fd, dstName, &h.t, AT_SYMLINK_NOFOLLOW) == 0;
            if (!h.exists && errno != ENOENT) {
                report(w, errno);
                return;
            }
            if (h.exists) ++at.matched;
        }
        // Judged here, on the worker, once per target inode of the group: the quick check and the metadata.
        const bool judge = h.exists && S_ISREG(h.t.st_mode) && h.t.st_size == s.st_size;
        const bool judged = judge && links_.judged(s, &h);
        if (judge && !judged) {
            h.passes = sameTime(h.t.st_mtim, s.st_mtim) || sameBytes(srcDir, name, at.fd, dstName, s);
            if (h.passes) compare(Ent{srcDir, name}, s, Ent{at.fd, dstName}, h.t, &h.meta, &h.time);
        }
        if (!links_.hold(std::move(h), s, judge && !judged, at.absent ? nullptr : &at.id, at.src)) report(w, ENOMEM);
    }

    // One source entry that is not a directory.
    bool syncOne(int srcDir, const char* name, const struct stat& s, Level& at, const char* dstName, const Where& w) {
        const EntryType type = typeOf(s);
        const std::uint64_t size = S_ISREG(s.st_mode) ? static_cast<std::uint64_t>(s.st_size) : 0;
        if (at.absent) {
            change(SyncKind::created, type, w);
            wrote(size);
            return true;
        }
        if (at.fresh) {
            // A directory this run made holds nothing to replace, and no reader waits there for whole files: made as a copy makes them.
            Step step(*this, w, srcDir, name);
            if (!createEntry(srcDir, name, s, at.fd, dstName, false, env_, step)) return false;
            at.changed = true;
            change(SyncKind::created, type, w);
            wrote(step.bytes());
            return true;
        }
        struct stat t;
        const bool exists = fstatat(at.fd, dstName, &t, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            report(w, errno);
            return false;
        }
        if (exists) ++at.matched;
        const bool sameType = exists && (t.st_mode & S_IFMT) == (s.st_mode & S_IFMT);
        bool remake = !sameType;
        if (sameType && S_ISREG(s.st_mode)) {
            // The quick check: size and modification time; a name that must leave a group of links too.
            // A time alone that differs is set in place when the bytes are the same.
            remake = t.st_size != s.st_size || (s.st_nlink < 2 && links_.linksOf(t) > 1) ||
                     (!sameTime(t.st_mtim, s.st_mtim) && !sameBytes(srcDir, name, at.fd, dstName, s));
        } else if (sameType && S_ISLNK(s.st_mode)) {
            remake = !sameLink(srcDir, name, s, at.fd, dstName, t);
        } else if (sameType && (S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode))) {
            remake = t.st_rdev != s.st_rdev;
        }
        if (!remake) {
            bool meta = false;
            bool time = false;
            const Ent from{srcDir, name};
            const Ent to{at.fd, dstName};
            compare(from, s, to, t, &meta, &time);
            if (meta || time) {
                if (!options_.dryRun) updateAttributes(to, &from, s, w);
                change(SyncKind::attributes, type, w);
                progressed(1, 0);
            } else {
                unchanged();
            }
            return true;
        }
        if (exists) links_.leaves(t);
        std::uint64_t written = 0;
        if (!options_.dryRun) {
            if (exists && S_ISDIR(t.st_mode) && !removeEntry(at, dstName, t, w)) return false;
            const bool replace = exists && !S_ISDIR(t.st_mode);
            const int err = S_ISREG(s.st_mode) ? writeFile(srcDir, name, at, dstName, replace, w, &written)
                                               : makeOther(srcDir, name, s, at, dstName, replace, w);
            if (err != 0) {
                report(w, err);
                if (err == kVanished && exists) --at.matched;  // the extras pass finds it absent
                return false;
            }
        } else {
            written = size;
        }
        replaced(at, exists ? &t : nullptr, sameType, type, w);
        wrote(written);
        return true;
    }

    // Whether two regular files of the size of s hold the same bytes (false when either cannot be read).
    static bool sameBytes(int srcDir, const char* name, int dstDir, const char* dstName, const struct stat& s) {
        const UniqueFd a(openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        const UniqueFd b(openat(dstDir, dstName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!a || !b) return false;
        Buffer x;
        Buffer y;
        if (!x.ensure(kBufferBytes) || !y.ensure(kBufferBytes)) return false;
        for (off_t at = 0; at < s.st_size;) {
            const ssize_t n = pread(a.get(), x.data, kBufferBytes, at);
            const ssize_t m = n > 0 ? pread(b.get(), y.data, static_cast<std::size_t>(n), at) : -1;
            if (n <= 0 || m != n || std::memcmp(x.data, y.data, static_cast<std::size_t>(n)) != 0) return false;
            at += n;
        }
        return true;
    }

    // Whether two links hold the same target bytes.
    static bool sameLink(int srcDir, const char* name, const struct stat& s, int dstDir, const char* dstName,
                         const struct stat& t) {
        if (s.st_size != t.st_size) return false;
        Buffer a;
        Buffer b;
        const std::size_t want = static_cast<std::size_t>(s.st_size) + 2;
        if (!a.ensure(want) || !b.ensure(want)) return false;
        const ssize_t n = readlinkat(srcDir, name, a.data, a.cap);
        const ssize_t m = readlinkat(dstDir, dstName, b.data, b.cap);
        return n >= 0 && n == m && std::memcmp(a.data, b.data, static_cast<std::size_t>(n)) == 0;
    }

    // The source directory `name` of srcDir (s its record) as `dstName` of
    // at: the target directory opened, made, or (dry run) found absent into
    // *out; whether anything can be done below it.
    bool enterDir(int srcDir, const char* name, const struct stat& s, Level& at, const char* dstName, const Where& w,
                  Level* out) {
        out->src = s;
        if (at.absent) {
            change(SyncKind::created, EntryType::directory, w);
            progressed(1, 0);
            out->absent = true;
            out->fresh = true;
            return true;
        }
        struct stat t;
        bool exists = fstatat(at.fd, dstName, &t, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            report(w, errno);
            return false;
        }
        if (exists) ++at.matched;
        if (exists && !S_ISDIR(t.st_mode)) {
            links_.leaves(t);
            if (!options_.dryRun && !removeEntry(at, dstName, t, w)) return false;
            change(SyncKind::removed, typeOf(t), w);
            at.changed = true;
            exists = false;
        }
        if (!exists) {
            change(SyncKind::created, EntryType::directory, w);
            progressed(1, 0);
            at.changed = true;
            out->fresh = true;
            if (options_.dryRun) {
                out->absent = true;
                return true;
            }
            writable(at);
        }
        struct stat made;
        Step step(*this, w);
        const DirOpen got = out->fresh ? (out->own = makeDirectory(at.fd, dstName, &made, step), DirOpen::opened)
                                       : openDir(at.fd, dstName, DirCheck(), &made, &out->own);
        if (out->fresh && !out->own) return false;  // reported
        if (got != DirOpen::opened) {
            report(w, got == DirOpen::failed && errno != ELOOP && errno != ENOTDIR ? errno : kReasonTargetMoved);
            return false;
        }
        out->fd = out->own.get();
        out->id = DirId::of(made);
        out->made = true;
        if (!out->fresh) {
            const Ent from{srcDir, name};
            const Ent to{out->fd, nullptr};
            compare(from, s, to, made, &out->metaDiffer, &out->timeDiffer);
        }
        return true;
    }

    // A directory done with (srcSelf its source, or -1: `name` of srcParent):
    // what the source lacks removed, then its attributes.
    void leaveDir(Level& l, int srcSelf, int srcParent, const char* name, const Where& w) {
        if (l.absent || !l.made || l.fd < 0) return;
        if (!l.incomplete && !l.fresh) extras(l, srcSelf, srcParent, name, w);  // a new one holds only what the source has
        const bool report = !l.fresh && (l.metaDiffer || (l.timeDiffer && !l.changed));
        // Its time alone differs and none of its names changed: a name of a group settled later may yet.
        const bool later = report && !l.metaDiffer && links_.decidedLater(l.id);
        if (report && !later) change(SyncKind::attributes, EntryType::directory, w);
        if (!report && !l.fresh) unchanged();
        if (options_.dryRun) return;
        if (l.fresh || l.metaDiffer || l.timeDiffer || l.changed || l.opened) {
            const Ent* from = nullptr;
            Ent fromEnt{srcSelf, nullptr};
            if (srcSelf >= 0) {
                from = &fromEnt;
            } else if (srcParent >= 0) {
                fromEnt = Ent{srcParent, name};
                from = &fromEnt;
            }
            if (l.fresh) {
                Step step(*this, w);
                finishDirectory(l.fd, l.src, srcSelf, srcSelf >= 0 ? -1 : srcParent, name, false, env_, step);
            } else {
                updateAttributes(Ent{l.fd, nullptr}, l.metaDiffer ? from : nullptr, l.src, w);
            }
            if (options_.durable && l.changed) (void)fsync(l.fd);
        }
    }

    // Removes (or in a dry run reports) the names of target directory l that
    // its source directory looks up as absent; with keepExtras only what a
    // killed run left behind.
    void extras(Level& l, int srcSelf, int srcParent, const char* name, const Where& w) {
        UniqueFd copy(dup(l.fd));
        DirPtr dir(copy ? fdopendir(copy.get()) : nullptr);
        if (!dir) {
            report(w, errno);
            return;
        }
        (void)copy.release();
        std::size_t count = 0;
        bool temps = false;
        errno = 0;
        for (const struct dirent64* e; (e = readdir64(dir.get())) != nullptr; errno = 0) {
            if (isDotEntry(e->d_name)) continue;
            ++count;
            if (std::strncmp(e->d_name, kSyncTempPrefix, sizeof kSyncTempPrefix - 1) == 0) temps = true;
        }
        if (errno != 0) {
            report(w, errno);
            return;
        }
        if (count <= l.matched && !temps) return;
        if (options_.keepExtras && !temps) return;
        UniqueFd own;
        int src = srcSelf;
        if (src < 0) {
            struct stat st;
            const DirId expect = DirId::of(l.src);
            DirCheck check;
            check.expect = &expect;
            if (openDir(srcParent, name, check, &st, &own) != DirOpen::opened) return;  // gone or replaced: left alone
            src = own.get();
        }
        rewinddir(dir.get());
        for (const struct dirent64* e; (e = readdir64(dir.get())) != nullptr;) {
            const char* n = e->d_name;
            if (isDotEntry(n)) continue;
            const bool temp = std::strncmp(n, kSyncTempPrefix, sizeof kSyncTempPrefix - 1) == 0;
            if (options_.keepExtras && !temp) continue;
            struct stat st;
            if (fstatat(src, n, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) continue;  // there, or not known
            struct stat t;
            if (fstatat(l.fd, n, &t, AT_SYMLINK_NOFOLLOW) != 0) continue;
            const std::size_t len = std::strlen(n);
            const CharsPtr here = joinPath(w.base, w.rel, w.relLen);
            const Where at{here ? here.get() : "", n, len};
            links_.leaves(t);
            if (!options_.dryRun && !removeEntry(l, n, t, at)) continue;
            l.changed = true;
            change(SyncKind::removed, typeOf(t), at);
        }
    }

    // ---- hard-link groups: the changes that settling them (SyncLinks) decides

    // A directory reached again from a tree's top, kept open for the next name in it.
    struct Reached {
        UniqueFd own;
        int fd = -1;
        CharsPtr rel;
        std::size_t len = 0;
    };

    // The directory at the first len bytes of rel below topFd ("": topFd
    // itself), opened a step at a time, never through a link, and (expect
    // given) only when it is that directory: so nothing another process swaps
    // in meanwhile leads elsewhere. The descriptor, or -1 with the reason in *why.
    static int reach(int topFd, const char* rel, std::size_t len, const DirId* expect, Reached* r, int* why) {
        if (r->fd >= 0 && r->len == len && std::memcmp(r->rel.get(), rel, len) == 0) return r->fd;
        r->own.reset();
        r->fd = -1;
        r->rel = copyChars(rel, len);
        r->len = len;
        if (!r->rel || topFd < 0) {
            *why = r->rel ? kReasonTargetMoved : ENOMEM;
            return -1;
        }
        int at = topFd;
        struct stat st;
        for (std::size_t i = 0; i < len;) {
            std::size_t j = i;
            while (j < len && rel[j] != '/') ++j;
            char step[NAME_MAX + 1];
            if (j - i > NAME_MAX) {
                *why = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(step, rel + i, j - i);
            step[j - i] = '\0';
            UniqueFd next;
            const DirOpen got = openDir(at, step, DirCheck(), &st, &next);
            if (got != DirOpen::opened) {
                *why = got == DirOpen::failed && errno != ELOOP && errno != ENOTDIR ? errno : kReasonTargetMoved;
                return -1;
            }
            r->own = std::move(next);
            at = r->own.get();
            i = j + 1;
        }
        if (expect && (fstat(at, &st) != 0 || !expect->is(st))) {
            *why = kReasonTargetMoved;
            return -1;
        }
        r->fd = at;
        return at;
    }

    // Settling the groups on this job's target: the steps of what SyncLinks
    // decides, with the trees' tops and the directories last reached.
    struct Settle final : public SyncGroupSteps {
        explicit Settle(TreeSync& j)
            : job(j),
              srcTop(j.nodes_.len > 1 ? j.nodes_.data[1].fd.get() : -1),
              dstTop(j.targets_.len > 1 ? j.targets_.data[1].fd : -1) {}
        bool keep(const HeldName& h, HeldDir* dir, const struct stat& s) override {
            return job.keepAnchor(*this, h, dir, s);
        }
        bool make(const HeldName& h, HeldDir* dir, const struct stat& s) override {
            return job.makeFirst(*this, h, dir, s);
        }
        void link(const HeldName& h, HeldDir* dir, const char* anchor) override { job.linkHeld(*this, h, dir, anchor); }
        void same(const HeldName& /*h*/) override { job.unchanged(); }
        void settled(const HeldDir& d) override { job.settleDir(*this, d); }
        void failed(const char* rel, std::size_t len, int err) override { job.fail("", rel, len, err); }
        bool stopped() override { return job.cancelled(); }

        TreeSync& job;
        const int srcTop;
        const int dstTop;
        Reached src;
        Reached dst;
    };

    // The source directory of h, or -1 (reported).
    int sourceDir(Settle& st, const HeldName& h) {
        int why = 0;
        const int fd = reach(st.srcTop, h.rel.get(), h.leaf > 0 ? h.leaf - 1 : 0, nullptr, &st.src, &why);
        if (fd < 0) report(Where{"", h.rel.get(), h.len}, why);
        return fd;
    }

    // The target directory d of h as a level to change, false (reported) when it is not there.
    bool targetDir(Settle& st, const HeldName& h, const HeldDir& d, Level* out) {
        int why = 0;
        out->fd = reach(st.dstTop, d.rel.get(), d.len, &d.id, &st.dst, &why);
        if (out->fd < 0) {
            report(Where{"", h.rel.get(), h.len}, why);
            return false;
        }
        out->id = d.id;
        out->made = true;
        return true;
    }

    // Whether h's directory d was made writable to settle it: its mode is set again after.
    static void heldOpened(HeldDir* d, const Level& at) {
        if (at.opened && d) d->opened = true;
    }

    // A change made (or in a dry run to be made) to name h (d its directory).
    void heldChanged(const HeldName& h, HeldDir* d, bool madeFile) {
        const EntryType type = EntryType::file;
        const Where w{"", h.rel.get(), h.len};
        if (h.exists && S_ISREG(h.t.st_mode)) {
            change(SyncKind::modified, type, w);
        } else {
            if (h.exists) change(SyncKind::removed, typeOf(h.t), w);
            change(SyncKind::created, type, w);
        }
        if (!madeFile) progressed(1, 0);
        if (!d) return;
        d->changed = true;
    }

    // The target inode h names becomes its group's: its metadata, as judged
    // when h was met, set as any kept file's. False when it is not there any more.
    bool keepAnchor(Settle& st, const HeldName& h, HeldDir* d, const struct stat& s) {
        const Where w{"", h.rel.get(), h.len};
        const char* leaf = h.rel.get() + h.leaf;
        if (!h.meta && !h.time) {
            unchanged();
            return true;
        }
        if (options_.dryRun) {
            change(SyncKind::attributes, EntryType::file, w);
            progressed(1, 0);
            return true;
        }
        const int src = sourceDir(st, h);
        if (src < 0) return false;
        Level at;
        if (!targetDir(st, h, *d, &at)) return false;
        struct stat t;
        struct stat held;
        if (fstatat(at.fd, leaf, &t, AT_SYMLINK_NOFOLLOW) != 0 || !DirId::of(h.t).is(t) ||
            fstatat(src, leaf, &held, AT_SYMLINK_NOFOLLOW) != 0 || held.st_dev != s.st_dev || held.st_ino != s.st_ino) {
            report(w, kReasonTargetMoved);
            return false;
        }
        const Ent from{src, leaf};
        updateAttributes(Ent{at.fd, leaf}, &from, s, w);
        change(SyncKind::attributes, EntryType::file, w);
        progressed(1, 0);
        return true;
    }

    // The group's file made as name h (s the source's record): new contents
    // as any file's; false (reported) when it could not be.
    bool makeFirst(Settle& st, const HeldName& h, HeldDir* d, const struct stat& s) {
        const std::uint64_t size = static_cast<std::uint64_t>(s.st_size);
        if (options_.dryRun) {
            heldChanged(h, d, true);
            wrote(size);
            return true;
        }
        const Where w{"", h.rel.get(), h.len};
        const char* leaf = h.rel.get() + h.leaf;
        const int src = sourceDir(st, h);
        Level at;
        if (src < 0 || !d || !targetDir(st, h, *d, &at)) return false;
        const bool removed = !(h.exists && S_ISDIR(h.t.st_mode)) || removeEntry(at, leaf, h.t, w);
        std::uint64_t written = 0;
        const int err = removed ? writeFile(src, leaf, at, leaf, h.exists && !S_ISDIR(h.t.st_mode), w, &written, &s) : kReported;
        heldOpened(d, at);
        if (err != 0) {
            report(w, err);
            return false;
        }
        heldChanged(h, d, true);
        wrote(written);
        return true;
    }

    // Name h linked to the group's file at anchor (a path below the roots).
    void linkHeld(Settle& st, const HeldName& h, HeldDir* d, const char* anchor) {
        if (!options_.dryRun) {
            const Where w{"", h.rel.get(), h.len};
            const char* leaf = h.rel.get() + h.leaf;
            Level at;
            if (!d || !targetDir(st, h, *d, &at)) return;
            const bool removed = !(h.exists && S_ISDIR(h.t.st_mode)) || removeEntry(at, leaf, h.t, w);
            const int err = removed ? linkGroup(anchor, at, leaf, h.exists && !S_ISDIR(h.t.st_mode)) : kReported;
            heldOpened(d, at);
            if (err != 0) {
                report(w, err);
                return;
            }
        }
        heldChanged(h, d, false);
    }

    // Every held name, group by group, so that what is decided never depends
    // on which thread met a name first; then the directories that held them.
    void settleGroups() {
        Settle st(*this);
        links_.settle(st);
    }

    // A directory that held names of groups: its report if it waited for
    // them, its attributes set again where they changed it.
    void settleDir(Settle& st, const HeldDir& d) {
        const Where w{"", d.rel.get(), d.len};
        if (d.undecided && d.changed) unchanged();
        if (d.undecided && !d.changed) change(SyncKind::attributes, EntryType::directory, w);
        if (options_.dryRun || (!d.changed && !d.opened)) return;
        int why = 0;
        const int fd = reach(st.dstTop, d.rel.get(), d.len, &d.id, &st.dst, &why);
        if (fd < 0) {
            report(w, why);
            return;
        }
        updateAttributes(Ent{fd, nullptr}, nullptr, d.src, w);
        if (options_.durable && d.changed) (void)fsync(fd);
    }

    // ---- the frame's callbacks

    bool top(int parentFd, const char* name, const struct stat& st) override {
        caller_ = pthread_self();
        if (targets_.len != 1) {
            fail("", "", 0, ENOMEM);
            return false;
        }
        const Where w{"", "", 0};
        if (!S_ISDIR(st.st_mode)) {
            (void)syncOne(parentFd, name, st, targets_.data[0], dstName_.get(), w);  // a group of one name here
            return false;
        }
        Level l;
        const bool in = enterDir(parentFd, name, st, targets_.data[0], dstName_.get(), w, &l);
        freshTop_ = l.fresh && !options_.dryRun;
        if (!targets_.push(std::move(l))) {
            fail("", "", 0, ENOMEM);
            return false;
        }
        if (in) return true;
        return false;
    }

    Level* nodeLevel(std::size_t node) { return node < targets_.len ? &targets_.data[node] : nullptr; }

    void entry(Node& node, const char* name, EntryType /*type*/) override {
        struct stat st;
        const std::size_t len = std::strlen(name);
        if (fstatat(node.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) fail(node.path.get(), name, len, errno);
            return;
        }
        Level* at = nodeLevel(indexOf(node));
        if (!at || (!at->made && !at->absent)) return;
        // Entries of one directory may come on several threads: each syncs against a view of it,
        // whose counts join the directory's under the lock.
        Level view;
        {
            const std::lock_guard<std::mutex> hold(nodeLock_);
            view.fd = at->fd;
            view.id = at->id;
            view.absent = at->absent;
            view.made = at->made;
            view.fresh = at->fresh;
            view.opened = at->opened;
            view.src = at->src;
        }
        syncEntry(node.fd.get(), name, st, view, name, Where{node.path.get(), name, len});
        const std::lock_guard<std::mutex> hold(nodeLock_);
        at->matched += view.matched;
        at->changed = at->changed || view.changed;
        at->opened = at->opened || view.opened;
    }

    bool enter(Node& parent, const char* name, const char* path, const struct stat& st, bool otherFs) override {
        Level* at = nodeLevel(static_cast<std::size_t>(&parent - nodes_.data));
        if (!at || (!at->made && !at->absent)) return false;
        const Where w{path, "", 0};
        Level l;
        if (!enterDir(parent.fd.get(), name, st, *at, name, w, &l)) return false;
        if (otherFs) {
            l.incomplete = true;  // not entered: what its counterpart holds stays
            leaveDir(l, -1, parent.fd.get(), name, w);
            return false;
        }
        if (!targets_.ensure(nodes_.len + 1)) {
            fail(path, "", 0, ENOMEM);
            return false;
        }
        while (targets_.len <= nodes_.len) (void)targets_.push(Level{});
        targets_.data[nodes_.len] = std::move(l);
        return true;
    }

    void unopened(int parentFd, const char* name, const char* path) override {
        Level* at = nodeLevel(nodeOf(parentFd));
        if (at) unreadable(parentFd, name, path, *at);
    }

    // A source directory that cannot be read: its counterpart made or kept, nothing in it removed.
    void unreadable(int parentFd, const char* name, const char* path, Level& at) {
        struct stat st;
        if ((!at.made && !at.absent) || fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return;
        const Where w{path, "", 0};
        Level l;
        if (!enterDir(parentFd, name, st, at, name, w, &l)) return;
        l.incomplete = true;
        leaveDir(l, -1, parentFd, name, w);
    }

    bool share(int parentFd, const char* name, const char* path) override;
    void walkBelow(TreeWalk& walk, Level& top, const char* base);

    void last() override {
        for (std::size_t i = targets_.len; i-- > 1 && !cancelled();) {
            Level& l = targets_.data[i];
            const bool node = i < nodes_.len;
            const Node* n = node ? &nodes_.data[i] : nullptr;
            // A top level that failed to be read whole (or was never opened) keeps what its counterpart holds.
            if (!node || n->failed) l.incomplete = true;
            const char* p = n ? n->path.get() : "";
            leaveDir(l, n ? n->fd.get() : -1, n ? nodes_.data[n->parent].fd.get() : -1, n ? n->name.get() : nullptr,
                     Where{p, "", 0});
        }
        settleGroups();
    }

    pthread_t caller_{};  // the thread that started the job: its working directory is the process's
    Grow<Level> targets_;  // targets_.data[i]: the target of node i of the top levels
    CharsPtr dstName_;
    const SyncOptions options_;
    const bool root_;
    const unsigned pid_;
    std::mutex nodeLock_;  // a top level's counts, from the workers
    CopyEnv env_;
    SyncLinks links_;                  // the hard-link groups met, settled at the end
    bool freshTop_ = false;            // a real run whose target's top it made: groups made as met
    CopyLinks fresh_;                  // then: where each group's file was made
    std::atomic<unsigned long> tempCount_{0};
    std::atomic<std::uint64_t> created_{0};
    std::atomic<std::uint64_t> modified_{0};
    std::atomic<std::uint64_t> attributes_{0};
    std::atomic<std::uint64_t> removed_{0};
    std::atomic<std::uint64_t> unchanged_{0};
    std::atomic<std::uint64_t> bytes_{0};
};

// The target's descriptors are in a DirChain (the one being filled and the
// one just made never closed); each level's fd is set from it just before use.
void TreeSync::walkBelow(TreeWalk& walk, Level& topLevel, const char* base) {
    Grow<Level> levels;
    DirChain target(topLevel.fd, 2, kReasonTargetMoved);
    const auto fdOf = [&](std::size_t d, int* why) { return levels.data[d].fd = target.fd(d, why); };
    WalkPath at;
    WalkItem item;
    std::size_t n = 0;
    DirChain::Level top;
    top.fd = topLevel.fd;
    const DirId topId = topLevel.id;
    if (!target.push(std::move(top), topId) || !levels.push(std::move(topLevel))) {
        fail(base, "", 0, ENOMEM);
        return;
    }
    while (!cancelled() && walk.next(&item)) {
        const std::size_t d = item.depth;
        int why = 0;
        if (item.event == WalkEvent::failure) {
            if (d < levels.len) levels.data[d].incomplete = true;
            const char* p = at.of(d, &n);
            fail(base, p, n, item.err);
            continue;
        }
        if (item.event == WalkEvent::leave) {
            if (d == 0 || d >= levels.len) continue;
            Level& l = levels.data[d];
            const char* p = at.of(d, &n);
            if (item.otherDevice) l.incomplete = true;
            if (l.made && fdOf(d, &why) < 0) {
                fail(base, p, n, why);
            } else {
                const int srcDir = walk.directoryFd(d, &why);
                if (srcDir < 0) l.incomplete = true;
                leaveDir(l, -1, srcDir, item.name, Where{base, p, n});
            }
            if (l.changed || l.fresh) levels.data[d - 1].changed = true;
            while (levels.len > d) {
                target.pop(true);
                levels.pop();
            }
            continue;
        }
        const char* p = at.entry(d, item.name, item.nameLen, &n);
        if (!p) {
            fail(base, "", 0, ENOMEM);
            break;
        }
        const Where w{base, p, n};
        const int srcDir = walk.directoryFd(d, &why);
        const bool usable = srcDir >= 0 && (levels.data[d - 1].absent || fdOf(d - 1, &why) >= 0);
        if (item.type != EntryType::directory) {
            if (usable) {
                syncEntry(srcDir, item.name, *item.st, levels.data[d - 1], item.name, w);
            } else {
                fail(base, p, n, why);
            }
            continue;
        }
        Level l;
        bool in = false;
        if (usable) {
            in = enterDir(srcDir, item.name, *item.st, levels.data[d - 1], item.name, w, &l);
        } else {
            fail(base, p, n, why);
        }
        if (!in) walk.skip();
        DirChain::Level c;
        c.name = copyChars(item.name, item.nameLen);
        c.own = std::move(l.own);
        c.fd = c.own.get();
        l.fd = -1;  // the chain's: set again before each use
        const DirId id = l.id;
        if (!c.name || levels.len != d || !levels.reserve(1) || !target.push(std::move(c), id) ||
            !levels.push(std::move(l)) || !at.enter(d, item.name, item.nameLen)) {
            fail(base, p, n, ENOMEM);
            break;
        }
    }
    topLevel = std::move(levels.data[0]);
}

bool TreeSync::share(int parentFd, const char* name, const char* path) {
    if (!pthread_equal(pthread_self(), caller_)) ownWorkingDirectory();
    const std::size_t node = nodeOf(parentFd);
    Level* at = nodeLevel(node);
    if (!at || (!at->made && !at->absent)) return false;
    UniqueFd src;
    struct stat st;
    const Where w{path, "", 0};
    Grow<DirId> chain;
    const DirOpen got = openShare(parentFd, name, &chain, &st, &src);
    const bool otherFs = got == DirOpen::otherDevice;
    if (got != DirOpen::opened && !otherFs) {
        const int err = got == DirOpen::failed ? errno : openDirReason(got);
        // No longer a directory (a link in its place, say): synced as what it is now.
        if ((err == ELOOP || err == ENOTDIR) && fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            const std::lock_guard<std::mutex> hold(nodeLock_);
            syncEntry(parentFd, name, st, *at, name, w);
            return true;
        }
        if (err == ENOENT) return true;  // gone since listed
        fail(path, "", 0, err);
        const std::lock_guard<std::mutex> hold(nodeLock_);
        unreadable(parentFd, name, path, *at);
        return true;  // reported: what holds it was read whole all the same
    }
    Level l;
    bool in;
    {
        // The parent's counts are shared with the other workers.
        const std::lock_guard<std::mutex> hold(nodeLock_);
        in = enterDir(parentFd, name, st, *at, name, w, &l);
    }
    if (!in) return true;
    if (!otherFs) {
        UniqueFd keep(dup(src.get()));
        const std::unique_ptr<TreeWalk> walk = keep ? walkShare(std::move(src), chain) : nullptr;
        if (!walk) {
            fail(path, "", 0, ENOMEM);
            return false;
        }
        walkBelow(*walk, l, path);
        if (cancelled()) return false;
        leaveDir(l, keep.get(), parentFd, name, w);
    } else {
        l.incomplete = true;
        leaveDir(l, -1, parentFd, name, w);
    }
    if (l.changed || l.fresh) {
        const std::lock_guard<std::mutex> hold(nodeLock_);
        at->changed = true;
    }
    return true;
}

std::unique_ptr<TreeShares> startSync(UniqueFd srcParentFd, const char* srcName, UniqueFd dstParentFd,
                                      const char* dstName, const SyncOptions& options, std::size_t threads) {
    CharsPtr name = copyChars(dstName, std::strlen(dstName));
    std::unique_ptr<TreeShares> job(name ? new (std::nothrow) TreeSync(std::move(dstParentFd), std::move(name), options)
                                         : nullptr);
    if (job) job->start(std::move(srcParentFd), srcName, threads);
    return job;
}

SyncCounts finishSync(std::unique_ptr<TreeShares> shares) {
    if (!shares || shares->kind() != JobKind::sync) return SyncCounts();
    auto& job = static_cast<TreeSync&>(*shares);  // of that kind: see above
    job.stop();
    return job.counts();
}

}  // namespace fsutil
