// Library-private: why something could not be done, as the engine carries it:
// an errno, and what was being done when it was met (a Context: "Extended
// attributes not copied"), or a reason of the engine's own that has no errno
// (a loop, a directory moved meanwhile, a mount point not crossed). Both go in
// one int code so that every channel of the engine carries one value: an
// errno as itself, a context with its errno as the negative of
// (context << 16 | errno). Nothing enumerates the pairs; a record splits the
// code into its errno and its context again. No JNI here.
#ifndef FSUTIL_REASONS_H
#define FSUTIL_REASONS_H

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace fsutil {

// What a failure happened in, beyond its errno. The values are written into
// failure records as they are: add at the end only.
enum class Context : unsigned char {
    none = 0,
    loop = 1,         // a directory met again below itself (a followed link, a bind mount)
    moved = 2,        // a directory opened again is no longer the one walked
    mountPoint = 3,   // a job that stays on one file system does not cross into another
    targetMoved = 4,  // a copy's target directory was moved or replaced meanwhile
    xattr = 5,        // extended attributes not copied, for its errno
    syncChange = 6,   // not a failure: a change a sync made, its kind and type in the errno's place (TreeSync.h)
};

struct ContextText {
    Context context;
    const char* text;
};

constexpr ContextText kContextTexts[] = {
    {Context::none, ""},
    {Context::loop, "File system loop: the link leads back to a directory above it"},
    {Context::moved, "Directory moved or replaced during the walk"},
    {Context::mountPoint, "Mount point: not crossed"},
    {Context::targetMoved, "Target directory moved or replaced during the copy"},
    {Context::xattr, "Extended attributes not copied"},
    {Context::syncChange, ""},
};

// The code of a failure in context c for errno err (0: the context has none).
constexpr int fault(Context c, int err = 0) {
    return c == Context::none ? err : -((static_cast<int>(c) << 16) | err);
}
// The errno of a code (0 where it has none).
constexpr int errnoOf(int code) { return code >= 0 ? code : (-code) & 0xFFFF; }
// The context of a code.
constexpr Context contextOf(int code) { return code >= 0 ? Context::none : static_cast<Context>((-code) >> 16); }

// The engine's own reasons, which have no errno.
constexpr int kReasonLoop = fault(Context::loop);
constexpr int kReasonMoved = fault(Context::moved);
constexpr int kReasonMountPoint = fault(Context::mountPoint);
constexpr int kReasonTargetMoved = fault(Context::targetMoved);

inline const char* contextText(Context c) {
    for (const ContextText& t : kContextTexts) {
        if (t.context == c) return t.text;
    }
    return "";  // not reached: every context has its text
}

// The text of a code into buf (size bytes): the context's, then the
// system's for its errno ("Extended attributes not copied: Permission
// denied"), either alone where the other is missing. Its length.
inline std::size_t failureText(int code, char* buf, std::size_t size) {
    const char* context = contextText(contextOf(code));
    const int err = errnoOf(code);
    const char* system = err != 0 ? std::strerror(err) : "";
    const char* sep = context[0] != '\0' && system[0] != '\0' ? ": " : "";
    const int n = std::snprintf(buf, size, "%s%s%s", context, sep, system);
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

}  // namespace fsutil

#endif
