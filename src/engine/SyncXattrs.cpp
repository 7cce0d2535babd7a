// The extended attributes of a sync's entries, read, compared and set by
// descriptor or by name; an entry reached by name goes through the thread's
// own working directory made its directory where the thread has one, else
// through a /proc path.
#include "engine/SyncXattrs.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/Grow.h"
#include "engine/CopyAttributes.h"

namespace fsutil {

namespace {

// Whether this thread has a working directory of its own (unshare(CLONE_FS)),
// to reach an entry by its name for the calls without an *at form: a
// sync's worker threads, never a caller's.
thread_local bool tOwnFs = false;

// A growing malloc'd buffer: its room is cap.
using Buffer = Grow<char>;

// The extended attributes of an entry, by name.
class Xattrs {
   public:
    explicit Xattrs(const Ent& e) : e_(e), path_(e.fd, e.name) {}

    // Reads the names; false (errno set) when they cannot be read.
    bool load() {
        len_ = 0;
        for (;;) {
            // The size first: a call with no room tells it and copies nothing.
            const ssize_t want = list(nullptr, 0);
            if (want < 0) return errno == ENOTSUP || errno == EOPNOTSUPP;  // a file system without them has none
            if (want == 0) return true;
            if (!names_.ensure(static_cast<std::size_t>(want) + 1)) {
                errno = ENOMEM;
                return false;
            }
            const ssize_t n = list(names_.data, names_.cap);
            if (n >= 0) {
                len_ = static_cast<std::size_t>(n);
                return true;
            }
            if (errno != ERANGE) return false;  // else grown meanwhile: asked again
        }
    }
    const char* begin() const { return names_.data; }
    const char* end() const { return names_.data + len_; }
    bool has(const char* name) const {
        for (const char* n = begin(); n < end(); n += std::strlen(n) + 1) {
            if (std::strcmp(n, name) == 0) return true;
        }
        return false;
    }
    // The value of name into *out (its length in *len); false with errno.
    bool get(const char* name, Buffer* out, std::size_t* len) const {
        for (;;) {
            const ssize_t want = e_.name ? lgetxattr(at(), name, nullptr, 0) : fgetxattr(e_.fd, name, nullptr, 0);
            if (want < 0) return false;
            if (!out->ensure(static_cast<std::size_t>(want) + 1)) {
                errno = ENOMEM;
                return false;
            }
            const ssize_t v = e_.name ? lgetxattr(at(), name, out->data, out->cap)
                                      : fgetxattr(e_.fd, name, out->data, out->cap);
            if (v >= 0) {
                *len = static_cast<std::size_t>(v);
                return true;
            }
            if (errno != ERANGE) return false;
        }
    }
    int set(const char* name, const void* value, std::size_t len) const {
        return e_.name ? lsetxattr(at(), name, value, len, 0) : fsetxattr(e_.fd, name, value, len, 0);
    }
    int remove(const char* name) const { return e_.name ? lremovexattr(at(), name) : fremovexattr(e_.fd, name); }

   private:
    ssize_t list(char* buf, std::size_t size) const {
        return e_.name ? llistxattr(at(), buf, size) : flistxattr(e_.fd, buf, size);
    }
    // The entry's path for an l*xattr call: its name, relative to this
    // thread's own working directory made its directory, else a /proc path
    // through its directory's descriptor (a longer lookup).
    const char* at() const {
        return tOwnFs && fchdir(e_.fd) == 0 ? e_.name : path_.text;
    }

    Ent e_;
    ProcPath path_;
    Buffer names_;
    std::size_t len_ = 0;
};

// Whether this process compares and sets the attribute: user attributes and
// ACLs always; the others (trusted.*, security.*) only as root.
bool ours(const char* name, bool root) {
    return root || std::strncmp(name, "user.", 5) == 0 || std::strncmp(name, "system.posix_acl_", 17) == 0;
}

}  // namespace

int syncXattrs(const Ent& fromEnt, const Ent& toEnt, bool root, bool apply, bool* differ) {
    Xattrs from(fromEnt);
    Xattrs to(toEnt);
    if (!from.load()) return errno;
    if (!to.load()) return errno;
    *differ = false;
    int first = 0;
    Buffer a;
    Buffer b;
    for (const char* n = from.begin(); n < from.end(); n += std::strlen(n) + 1) {
        if (!ours(n, root)) continue;
        std::size_t alen = 0;
        std::size_t blen = 0;
        if (!from.get(n, &a, &alen)) continue;  // gone meanwhile
        const bool same = to.has(n) && to.get(n, &b, &blen) && alen == blen && std::memcmp(a.data, b.data, alen) == 0;
        if (same) continue;
        *differ = true;
        if (apply && to.set(n, a.data, alen) != 0 && first == 0) first = errno;
    }
    for (const char* n = to.begin(); n < to.end(); n += std::strlen(n) + 1) {
        if (!ours(n, root) || from.has(n)) continue;
        *differ = true;
        if (apply && to.remove(n) != 0 && errno != ENODATA && first == 0) first = errno;
    }
    return first;
}

int lstatOf(const Ent& e, struct stat* st) {
    return e.name ? fstatat(e.fd, e.name, st, AT_SYMLINK_NOFOLLOW) : fstat(e.fd, st);
}

void ownWorkingDirectory() {
    if (!tOwnFs) tOwnFs = unshare(CLONE_FS) == 0;
}

}  // namespace fsutil
