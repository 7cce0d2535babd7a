// The JNI glue of this library's own natives (see JniGlue.h): the path
// converter, open failures as Java exceptions, typed handles.
#include "jni/JniGlue.h"

#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/JniInternal.h"
#include "JniUtil/JniUtil.h"

namespace fsutil {

namespace {

// The java.nio.file exception of a failure on path, made by the jar's Failures
// (the one place errno becomes an exception) and thrown; where the VM cannot
// make it, its own error stays pending.
void raiseFailure(JNIEnv* env, const char* path, int err, const char* text) {
    jstring file = JNU_NewStringNative(env, path);
    jstring reason = file ? JNU_NewStringNative(env, text ? text : std::strerror(err)) : nullptr;
    jclass cls = reason ? env->FindClass("com/orvan/mek/fsutil/Failures") : nullptr;
    jmethodID of = cls ? env->GetStaticMethodID(cls, "of", "(Ljava/lang/String;ILjava/lang/String;)Ljava/io/IOException;") : nullptr;
    auto* e = of ? static_cast<jthrowable>(env->CallStaticObjectMethod(cls, of, file, static_cast<jint>(err), reason)) : nullptr;
    if (e && !env->ExceptionCheck()) env->Throw(e);
    env->DeleteLocalRef(e);
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(reason);
    env->DeleteLocalRef(file);
}

// Whether jsPath is null, raising the NullPointerException that names the call.
bool isNull(JNIEnv* env, const void* jPath, const char* prefix) {
    if (jPath) return false;
    char szMsg[64];
    formatMessage(szMsg, sizeof szMsg, "%spath is null", prefix);
    throwException(env, "java/lang/NullPointerException", szMsg);
    return true;
}

}  // namespace

void raiseNoMemory(JNIEnv* env, const char* prefix) {
    if (env->ExceptionCheck()) return;
    char szMsg[64];
    formatMessage(szMsg, sizeof szMsg, "%sno memory", prefix);
    throwException(env, "java/lang/OutOfMemoryError", szMsg);
}

void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err) {
    raiseOpenFailure(env, prefix, path, err, nullptr);
}

void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err, const char* text) {
    if (err == ENOMEM) {
        raiseNoMemory(env, prefix);
    } else {
        raiseFailure(env, path, err, text);
    }
}

void formatPathError(char* buf, std::size_t size, const char* head, const char* path, int err) {
    char tail[320];
    formatMessage(tail, sizeof tail, "'. Error='%s'", std::strerror(err));
    formatPathMessage(buf, size, head, path, tail);
}

void raisePathError(JNIEnv* env, const char* head, const char* path, int err) {
    char szMsg[512];
    formatPathError(szMsg, sizeof szMsg, head, path, err);
    if (err == ENOENT) {
        throwFileNotFoundException(env, szMsg);
    } else {
        throwIOException(env, szMsg);
    }
}

bool pathOf(JNIEnv* env, jstring jsPath, const char* prefix, CString* out) {
    if (isNull(env, jsPath, prefix)) return false;
    Charset cs = Charset::unresolved;
    out->reset(resolvedPath(env, jsPath, cs));
    if (!*out) raiseNoMemory(env, prefix);
    return static_cast<bool>(*out);
}

bool pathOf(JNIEnv* env, jbyteArray jbPath, const char* prefix, CString* out) {
    out->reset(bytesPath(env, jbPath, prefix));
    return static_cast<bool>(*out);
}

int openPath(JNIEnv* env, jstring jsPath, int flags, const char* prefix, CString* shown) {
    if (isNull(env, jsPath, prefix)) return -1;
    Charset cs = Charset::unresolved;
    // Resolved while opened, component by component: the same answer as pathOf, one walk.
    const int fd = openResolved(env, jsPath, flags, cs, shown);
    if (fd == -1) raiseOpenFailure(env, prefix, shown->get(), errno);
    return fd < 0 ? -1 : fd;
}

int openPath(JNIEnv* env, jbyteArray jbPath, int flags, const char* prefix, CString* shown) {
    if (!pathOf(env, jbPath, prefix, shown)) return -1;
    const int fd = openNativePath(shown->get(), flags);
    if (fd < 0) raiseOpenFailure(env, prefix, shown->get(), errno);
    return fd;
}

HandleHeader* checkedHandle(JNIEnv* env, jlong handle, const HandleKind* kinds, std::size_t count, const char* call,
                            const char* what) {
    auto* h = reinterpret_cast<HandleHeader*>(static_cast<std::intptr_t>(handle));  // NOLINT(performance-no-int-to-ptr)
    for (std::size_t i = 0; h && handle != -1 && i < count; ++i) {
        if (h->kind == kinds[i]) return h;
    }
    char szMsg[128];
    formatMessage(szMsg, sizeof szMsg, "%s not a %s handle", call, what);
    throwException(env, "java/lang/IllegalArgumentException", szMsg);
    return nullptr;
}

}  // namespace fsutil
