// Java paths given to this library's own Java API, turned into native bytes
// component by component, so that dir + "/" + name reaches an entry whatever
// mix of encodings lies along the path.
#include <sys/stat.h>

#include <cstring>

#include "JniInternal.h"

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
    if (!jsPath) return nullptr;
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

}  // namespace fsutil
