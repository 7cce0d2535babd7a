// The one path converter of this library's own natives (see JniPaths.h): a
// String's names told apart on disk where two forms read as it, a Path's
// bytes taken as they are, and the path opened at any length.
#include "jni/JniPaths.h"

#include <fcntl.h>
#include <jni.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "JniUtil/PathResolve.h"
#include "base/Grow.h"

namespace fsutil {

namespace {

constexpr char kAmbiguous[] =
    "Ambiguous name: two entries read as it (its bytes in the platform charset and in ISO-8859-1); "
    "name the one meant by its Path (Entry.toPath(), FileTree.walker(Path))";

// The forms of each name of a path string (NameCodec.forms: platform bytes, ISO-8859-1 bytes, each or null); null with an exception pending.
jobjectArray formsOf(JNIEnv* env, jstring jsPath) {
    jclass cls = env->FindClass("com/orvan/mek/fsutil/NameCodec");
    jmethodID forms = cls ? env->GetStaticMethodID(cls, "forms", "(Ljava/lang/String;)[[B") : nullptr;
    auto* out = forms ? static_cast<jobjectArray>(env->CallStaticObjectMethod(cls, forms, jsPath)) : nullptr;
    if (env->ExceptionCheck()) {
        env->DeleteLocalRef(out);
        out = nullptr;
    }
    env->DeleteLocalRef(cls);
    return out;
}

// Whether the entry `name` (len bytes) exists in the directory open as dirFd; false also where that cannot be told.
bool existsIn(int dirFd, const char* name, std::size_t len) {
    char buf[NAME_MAX + 1];
    if (len == 0 || len > NAME_MAX) return false;
    std::memcpy(buf, name, len);
    buf[len] = '\0';
    struct stat st;
    return fstatat(dirFd, buf, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Appends a form's bytes to out; false when out of memory.
bool append(Grow<char>& out, JNIEnv* env, jbyteArray form) {
    const auto len = static_cast<std::size_t>(env->GetArrayLength(form));
    if (!out.reserve(len + 2)) return false;
    env->GetByteArrayRegion(form, 0, static_cast<jsize>(len), reinterpret_cast<jbyte*>(out.data + out.len));
    out.len += len;
    return true;
}

// The two forms of name i are told apart on disk, in the directory the path so
// far names: opened (at any length) when first needed, then followed name by name.
struct Probe {
    UniqueFd dir;
    bool open = false;  // dir is the directory out names so far
    bool lost = false;  // that directory could not be opened: nothing further is probed

    bool at(const Grow<char>& out) {
        if (open || lost) return open;
        CString prefix(static_cast<char*>(std::malloc(out.len + 2)));
        if (!prefix) return !(lost = true);
        if (out.len == 0) {
            std::memcpy(prefix.get(), ".", 2);
        } else {
            std::memcpy(prefix.get(), out.data, out.len);
            prefix.get()[out.len] = '\0';
        }
        dir = UniqueFd(openNativePath(prefix.get(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        open = static_cast<bool>(dir);
        lost = !open;
        return open;
    }

    // Into the name just resolved (of len bytes at the end of out), as the kernel's walk would go.
    void down(const Grow<char>& out, std::size_t len) {
        if (!open || len == 0) return;
        char buf[NAME_MAX + 1];
        if (len > NAME_MAX) {
            dir = UniqueFd();
        } else {
            std::memcpy(buf, out.data + out.len - len, len);
            buf[len] = '\0';
            dir = UniqueFd(openat(dir.get(), buf, O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        open = static_cast<bool>(dir);
        lost = !open;
    }
};

// A path argument of either form, opened with flags at any length; -1 with the failure raised.
template <class JPath>
int openPathOf(JNIEnv* env, JPath jPath, int flags, const char* prefix, CString* shown) {
    if (!pathOf(env, jPath, prefix, shown)) return -1;
    const int fd = openNativePath(shown->get(), flags);
    if (fd < 0) raiseOpenFailure(env, prefix, shown->get(), errno);
    return fd;
}

}  // namespace

bool refuseNul(JNIEnv* env, jstring jsPath) {
    if (!hasNul(env, jsPath)) return false;
    raiseInvalidPath(env, jsPath, "Nul character not allowed");
    return true;
}

bool pathOf(JNIEnv* env, jstring jsPath, const char* prefix, CString* out, Refuse refuse) {
    if (!jsPath) {
        raiseNullPath(env, prefix);
        return false;
    }
    if (refuseNul(env, jsPath)) return false;
    {
        // Plain ASCII: both forms are these bytes, so there is nothing to tell apart.
        Chars chars;
        if (!loadChars(env, jsPath, chars)) return false;
        if (isAsciiChars(chars.data, chars.len) && asciiTransparent()) {
            out->reset(copyAscii(chars.data, chars.len));
            if (!*out) raiseNoMemory(env, prefix);
            return static_cast<bool>(*out);
        }
    }
    jobjectArray forms = formsOf(env, jsPath);
    if (!forms) return false;
    const jsize names = env->GetArrayLength(forms) / 2;
    Grow<char> bytes;
    Probe probe;
    const char* refused = nullptr;
    bool ok = true;
    for (jsize i = 0; ok && !refused && i < names; ++i) {
        if (i > 0) {
            ok = bytes.reserve(1);
            if (ok) bytes.data[bytes.len++] = '/';
        }
        const std::size_t nameStart = bytes.len;
        auto* platform = static_cast<jbyteArray>(env->GetObjectArrayElement(forms, 2 * i));
        auto* latin1 = static_cast<jbyteArray>(env->GetObjectArrayElement(forms, 2 * i + 1));
        jbyteArray chosen = platform ? platform : latin1;
        if (!chosen) {
            refused = "Unmappable character: a name holds a character neither the platform charset nor ISO-8859-1 maps";
        } else if (ok && platform && latin1 && probe.at(bytes) && (ok = append(bytes, env, platform))) {
            // Each form tried in place: the platform's, else ISO-8859-1's; both there is two entries, and no answer.
            const bool hasPlatform = existsIn(probe.dir.get(), bytes.data + nameStart, bytes.len - nameStart);
            bytes.len = nameStart;
            ok = append(bytes, env, latin1);
            const bool hasLatin1 = ok && existsIn(probe.dir.get(), bytes.data + nameStart, bytes.len - nameStart);
            if (hasPlatform && hasLatin1) refused = kAmbiguous;
            if (ok && !hasLatin1) {
                bytes.len = nameStart;
                ok = append(bytes, env, platform);
            }
        } else if (ok) {
            ok = append(bytes, env, chosen);
        }
        env->DeleteLocalRef(latin1);
        env->DeleteLocalRef(platform);
        if (ok && !refused && i + 1 < names) probe.down(bytes, bytes.len - nameStart);
    }
    env->DeleteLocalRef(forms);
    if (refused == kAmbiguous && refuse == Refuse::fileSystem) {
        raiseFailure(env, jsPath, 0, refused);
        return false;
    }
    if (refused) {
        raiseInvalidPath(env, jsPath, refused);
        return false;
    }
    if (!ok || !bytes.reserve(1)) {
        raiseNoMemory(env, prefix);
        return false;
    }
    bytes.data[bytes.len] = '\0';
    out->reset(bytes.data);
    bytes.data = nullptr;
    bytes.len = bytes.cap = 0;
    return true;
}

bool pathOf(JNIEnv* env, jbyteArray jbPath, const char* prefix, CString* out) {
    if (!jbPath) {
        raiseNullPath(env, prefix);
        return false;
    }
    const auto len = static_cast<std::size_t>(env->GetArrayLength(jbPath));
    out->reset(static_cast<char*>(std::malloc(len + 1)));
    if (!*out) {
        raiseNoMemory(env, prefix);
        return false;
    }
    env->GetByteArrayRegion(jbPath, 0, static_cast<jsize>(len), reinterpret_cast<jbyte*>(out->get()));
    out->get()[len] = '\0';
    // A NUL would silently name a shorter path.
    if (std::memchr(out->get(), 0, len)) {
        out->reset();
        char szMsg[128];
        formatMessage(szMsg, sizeof szMsg, "%sNul character not allowed in a path", prefix);
        throwException(env, "java/lang/IllegalArgumentException", szMsg);
        return false;
    }
    return true;
}

int openPath(JNIEnv* env, jstring jsPath, int flags, const char* prefix, CString* shown) {
    return openPathOf(env, jsPath, flags, prefix, shown);
}

int openPath(JNIEnv* env, jbyteArray jbPath, int flags, const char* prefix, CString* shown) {
    return openPathOf(env, jbPath, flags, prefix, shown);
}

}  // namespace fsutil
