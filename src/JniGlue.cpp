// The JNI glue of this library's own natives (see JniGlue.h): the path
// converter, open failures as Java exceptions, typed handles.
#include "JniGlue.h"

#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniInternal.h"
#include "JniUtil.h"

namespace fsutil {

namespace {

// java.nio.file.FileSystemException(path, null, reason): a failure of the
// system, not of the caller's path (out of descriptors).
void raiseFileSystemException(JNIEnv* env, const char* path, int err) {
    jstring file = JNU_NewStringNative(env, path);
    jstring reason = file ? JNU_NewStringNative(env, std::strerror(err)) : nullptr;
    jclass cls = reason ? env->FindClass("java/nio/file/FileSystemException") : nullptr;
    jmethodID ctor = cls ? env->GetMethodID(cls, "<init>", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V") : nullptr;
    auto* e = ctor ? static_cast<jthrowable>(env->NewObject(cls, ctor, file, nullptr, reason)) : nullptr;
    if (e) env->Throw(e);  // else the VM's own error is pending
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
    if (err == ENOMEM) {
        raiseNoMemory(env, prefix);
        return;
    }
    if (err == EMFILE || err == ENFILE) {
        raiseFileSystemException(env, path, err);
        return;
    }
    char head[64];
    formatMessage(head, sizeof head, "%sFail to open '", prefix);
    char tail[320];
    formatMessage(tail, sizeof tail, "'. Error='%s'", std::strerror(err));
    char szMsg[512];
    formatPathMessage(szMsg, sizeof szMsg, head, path, tail);
    if (err == ENOENT) {
        throwFileNotFoundException(env, szMsg);
    } else if (err == ENOTDIR && prefix == kWalkPrefix) {
        // Lets a caller tell a file given as root (find prints it alone) from a failure.
        throwException(env, "java/nio/file/NotDirectoryException", szMsg);
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
