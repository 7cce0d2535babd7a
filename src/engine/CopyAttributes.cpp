// Setting a copy's attributes in the order that keeps them: extended
// attributes first (a mode without write permission would refuse them),
// then owner (chown clears set-ID bits), then mode, then times (every other
// change moves ctime only, but a write would move mtime).
#include "engine/CopyAttributes.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Reasons.h"

namespace fsutil {

namespace {

constexpr mode_t kModeBits = 07777;

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

bool mustReport(const char* name, int err) {
    if (std::strncmp(name, "user.", 5) == 0 || std::strncmp(name, "system.posix_acl_", 17) == 0) return true;
    return err != EPERM && err != EACCES && err != ENOTSUP;
}

// Owner and group where this process may set them, as cp -a: what it may not
// set stays the copier's, and the set-ID bit that goes with it is then not
// kept. The mode bits to leave out; errno of another failure in *err.
mode_t setOwner(const AttrTarget& m, const struct stat& st, bool always, const Copier& who, int* err) {
    if (!always && st.st_uid == who.euid && st.st_gid == who.egid) return 0;
    auto chownTo = [&m](uid_t uid, gid_t gid) {
        return m.fd >= 0 ? fchownat(m.fd, "", uid, gid, AT_EMPTY_PATH)
                         : fchownat(m.dirFd, m.name, uid, gid, AT_SYMLINK_NOFOLLOW);
    };
    if (chownTo(st.st_uid, st.st_gid) == 0) return 0;
    if (errno != EPERM && errno != EINVAL) {
        *err = errno;
        return S_ISUID | S_ISGID;
    }
    if (st.st_gid != who.egid && chownTo(static_cast<uid_t>(-1), st.st_gid) == 0) return S_ISUID;
    return st.st_gid == who.egid ? S_ISUID : S_ISUID | S_ISGID;
}

}  // namespace

Copier Copier::ofProcess() {
    Copier who{geteuid(), getegid(), kUnknownMode};
    FILE* f = std::fopen("/proc/self/status", "re");
    if (!f) return who;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "Umask:", 6) != 0) continue;
        char* end = nullptr;
        const unsigned long value = std::strtoul(line + 6, &end, 8);
        if (end != line + 6) who.umask = static_cast<mode_t>(value) & 0777;
        break;
    }
    (void)std::fclose(f);  // read only: nothing to lose
    return who;
}

ProcPath::ProcPath(int fd, const char* name) {
    // A name is at most 255 bytes: the text always fits.
    if (std::snprintf(text, sizeof text, name ? "/proc/self/fd/%d/%s" : "/proc/self/fd/%d", fd, name ? name : "") < 0) {
        text[0] = '\0';
    }
}

ssize_t XattrEnd::list(char* buf, std::size_t size) const {
    if (fd >= 0) return flistxattr(fd, buf, size);
    return nofollow ? llistxattr(path, buf, size) : listxattr(path, buf, size);
}

ssize_t XattrEnd::get(const char* name, void* buf, std::size_t size) const {
    if (fd >= 0) return fgetxattr(fd, name, buf, size);
    return nofollow ? lgetxattr(path, name, buf, size) : getxattr(path, name, buf, size);
}

int XattrEnd::set(const char* name, const void* value, std::size_t size) const {
    if (fd >= 0) return fsetxattr(fd, name, value, size, 0);
    return nofollow ? lsetxattr(path, name, value, size, 0) : setxattr(path, name, value, size, 0);
}

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

void setAttributes(const AttrTarget& m, const XattrEnd* from, const struct stat& st, bool always, const Copier& who,
                   CopyReport& report) {
    const bool link = S_ISLNK(st.st_mode);
    const bool byPath = link || m.pathOnly;
    const ProcPath self(byPath && m.fd < 0 ? m.dirFd : m.fd, byPath && m.fd < 0 ? m.name : nullptr);
    if (from) {
        const XattrEnd to = byPath ? XattrEnd{-1, self.text, link} : XattrEnd{m.fd, nullptr, false};
        const int xerr = copyXattrs(*from, to);
        if (xerr != 0) report.failed(fault(Context::xattr, xerr));
    }
    int err = 0;
    const mode_t clear = setOwner(m, st, always, who, &err);
    if (err != 0) report.failed(err);
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
    if (rc != 0) report.failed(errno);
}

}  // namespace fsutil
