// Native paths opened and examined at any length (see PathResolve.h):
// component by component past PATH_MAX.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/PathResolve.h"
#include "base/Owned.h"

namespace fsutil {

namespace {

// Opens `path` one component at a time with openat, so that its length is not
// bounded by PATH_MAX: intermediate components as the kernel's own walk would
// (links followed), the last with `flags`.
int openByComponents(const char* path, int flags) {
    int dirFd = AT_FDCWD;
    if (*path == '/') {
        dirFd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) return -1;
    }
    char form[NAME_MAX + 1];
    for (const char* p = path;;) {
        while (*p == '/') ++p;
        const std::size_t pn = std::strcspn(p, "/");
        const char* rest = p + pn + std::strspn(p + pn, "/");
        const bool last = *rest == '\0';
        int next = -1;
        if (pn > NAME_MAX) {
            errno = ENAMETOOLONG;
        } else {
            std::memcpy(form, p, pn);
            form[pn] = '\0';
            // "dir/" names a directory, as it does to the kernel.
            const int stepFlags = !last ? O_PATH | O_DIRECTORY | O_CLOEXEC : p[pn] == '/' ? flags | O_DIRECTORY : flags;
            next = openat(dirFd, pn == 0 ? "." : form, stepFlags);
        }
        const int err = errno;
        if (dirFd != AT_FDCWD) close(dirFd);
        if (next < 0 || last) {
            errno = err;
            return next;
        }
        dirFd = next;
        p += pn;
    }
}

}  // namespace

int openNativePath(const char* path, int flags) {
    return std::strlen(path) < PATH_MAX ? open(path, flags) : openByComponents(path, flags);
}

int lstatNativePath(const char* path, struct stat* st) {
    if (std::strlen(path) < PATH_MAX) return lstat(path, st);
    // The entry itself, a link too: O_PATH with O_NOFOLLOW opens the link, not its target.
    const UniqueFd fd(openByComponents(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return fd ? fstat(fd.get(), st) : -1;
}

}  // namespace fsutil
