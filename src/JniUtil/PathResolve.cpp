// Java paths given to this library's own Java API, turned into native bytes
// component by component, so that dir + "/" + name reaches an entry whatever
// mix of encodings lies along the path, and opened the same way at any length.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>

#include "JniUtil/JniInternal.h"
#include "base/Owned.h"

namespace fsutil {

namespace {

bool entryExists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

std::size_t countSlashes(const char* s) {
    std::size_t n = 0;
    for (; *s != '\0'; ++s) n += *s == '/' ? 1 : 0;
    return n;
}

}  // namespace

char* resolvedPath(JNIEnv* env, jstring jsPath, Charset& cs) {
    if (!jsPath || refuseNul(env, jsPath)) return nullptr;
    {
        // Plain ASCII: both forms are these bytes, so there is nothing to probe.
        Chars chars;
        if (!loadChars(env, jsPath, chars)) return nullptr;
        if (isAsciiChars(chars.data, chars.len) && asciiTransparent()) return copyAscii(chars.data, chars.len);
    }
    CString platform(stringNativeChars(env, jsPath, cs));
    if (!platform) return nullptr;
    CString latin1(latin1Chars(env, jsPath));
    if (!latin1 || std::strcmp(latin1.get(), platform.get()) == 0) return platform.release();
    if (countSlashes(platform.get()) != countSlashes(latin1.get())) {
        // A charset that wrote a '/' byte for another character: the components
        // do not line up, so the path is judged whole.
        return !entryExists(platform.get()) && entryExists(latin1.get()) ? latin1.release() : platform.release();
    }
    const std::size_t platformLen = std::strlen(platform.get());
    CString out(static_cast<char*>(std::malloc(platformLen + std::strlen(latin1.get()) + 1)));
    if (!out) return nullptr;
    std::size_t len = 0;
    for (const char *p = platform.get(), *l = latin1.get();;) {
        const std::size_t pn = std::strcspn(p, "/");
        const std::size_t ln = std::strcspn(l, "/");
        std::memcpy(out.get() + len, p, pn);
        out.get()[len + pn] = '\0';
        // The platform form when such an entry exists, else the ISO-8859-1 form
        // when that exists, else the platform form. Equal forms need no probe.
        if ((pn != ln || std::memcmp(p, l, pn) != 0) && !entryExists(out.get())) {
            std::memcpy(out.get() + len, l, ln);
            out.get()[len + ln] = '\0';
            if (entryExists(out.get())) {
                len += ln;
            } else {
                std::memcpy(out.get() + len, p, pn);
                out.get()[len + pn] = '\0';
                len += pn;
            }
        } else {
            len += pn;
        }
        if (p[pn] == '\0') break;
        out.get()[len++] = '/';
        p += pn + 1;
        l += ln + 1;
    }
    out.get()[len] = '\0';
    return out.release();
}

namespace {

// Opens `path` one component at a time with openat, so that its length is not
// bounded by PATH_MAX: intermediate components as the kernel's own walk would
// (links followed), the last with `flags`. Where the two forms of a component
// differ, the platform form is taken when such an entry exists, else the
// ISO-8859-1 form when that exists, else the platform form.
int openByComponents(const char* platform, const char* latin1, int flags) {
    int dirFd = AT_FDCWD;
    if (*platform == '/') {
        dirFd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) return -1;
    }
    char form[NAME_MAX + 1];
    for (const char *p = platform, *l = latin1;;) {
        while (*p == '/') ++p;
        while (*l == '/') ++l;
        const std::size_t pn = std::strcspn(p, "/");
        const std::size_t ln = std::strcspn(l, "/");
        const char* rest = p + pn + std::strspn(p + pn, "/");
        const bool last = *rest == '\0';
        int next = -1;
        if (pn > NAME_MAX || ln > NAME_MAX) {
            errno = ENAMETOOLONG;
        } else {
            std::memcpy(form, p, pn);
            form[pn] = '\0';
            struct stat st;
            if ((pn != ln || std::memcmp(p, l, pn) != 0) && fstatat(dirFd, form, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                std::memcpy(form, l, ln);
                form[ln] = '\0';
                if (fstatat(dirFd, form, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    std::memcpy(form, p, pn);
                    form[pn] = '\0';
                }
            }
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
        l += ln;
    }
}

}  // namespace

int openNativePath(const char* path, int flags) {
    return std::strlen(path) < PATH_MAX ? open(path, flags) : openByComponents(path, path, flags);
}

int lstatNativePath(const char* path, struct stat* st) {
    if (std::strlen(path) < PATH_MAX) return lstat(path, st);
    // The entry itself, a link too: O_PATH with O_NOFOLLOW opens the link, not its target.
    const UniqueFd fd(openByComponents(path, path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return fd ? fstat(fd.get(), st) : -1;
}

bool hasNul(JNIEnv* env, jstring jsPath) {
    const jsize len = env->GetStringLength(jsPath);
    jchar chunk[256];
    for (jsize at = 0; at < len;) {
        const jsize n = len - at < 256 ? len - at : 256;
        env->GetStringRegion(jsPath, at, n, chunk);
        for (jsize i = 0; i < n; ++i) {
            if (chunk[i] == 0) return true;
        }
        at += n;
    }
    return false;
}

bool refuseNul(JNIEnv* env, jstring jsPath) {
    if (!hasNul(env, jsPath)) return false;
    jclass cls = env->FindClass("java/nio/file/InvalidPathException");
    jmethodID ctor = cls ? env->GetMethodID(cls, "<init>", "(Ljava/lang/String;Ljava/lang/String;)V") : nullptr;
    jstring reason = ctor ? env->NewStringUTF("Nul character not allowed") : nullptr;
    auto* e = reason ? static_cast<jthrowable>(env->NewObject(cls, ctor, jsPath, reason)) : nullptr;
    if (e) env->Throw(e);  // else the VM's own error is pending
    env->DeleteLocalRef(e);
    env->DeleteLocalRef(reason);
    env->DeleteLocalRef(cls);
    return true;
}

int openResolved(JNIEnv* env, jstring jsPath, int flags, Charset& cs, CString* shown) {
    if (refuseNul(env, jsPath)) return -2;
    CString platform(stringNativeChars(env, jsPath, cs));
    if (!platform) return -2;
    CString latin1(latin1Chars(env, jsPath));
    const char* other = platform.get();
    if (latin1 && countSlashes(latin1.get()) == countSlashes(platform.get())) other = latin1.get();
    int fd;
    if (std::strcmp(other, platform.get()) == 0 && std::strlen(platform.get()) < PATH_MAX) {
        fd = open(platform.get(), flags);  // one form, short: the kernel's walk is the same walk
    } else {
        fd = openByComponents(platform.get(), other, flags);
    }
    const int err = errno;
    *shown = std::move(platform);
    errno = err;
    return fd;
}

}  // namespace fsutil
