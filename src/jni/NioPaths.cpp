// Paths as java.nio.file sees them: a path's bytes handed over from Java, and
// a Java path string turned into the bytes this library resolves it to.
#include <jni.h>

#include <cstring>

#include "JniUtil/JniInternal.h"
#include "JniUtil/JniUtil.h"
#include "jni/JniGlue.h"

namespace fsutil {

char* bytesPath(JNIEnv* env, jbyteArray jbPath, const char* prefix) {
    char szMsg[128];
    if (!jbPath) {
        formatMessage(szMsg, sizeof szMsg, "%spath is null", prefix);
        throwException(env, "java/lang/NullPointerException", szMsg);
        return nullptr;
    }
    const auto len = static_cast<std::size_t>(env->GetArrayLength(jbPath));
    auto* out = static_cast<char*>(std::malloc(len + 1));
    if (!out) {
        formatMessage(szMsg, sizeof szMsg, "%sno memory", prefix);
        throwException(env, "java/lang/OutOfMemoryError", szMsg);
        return nullptr;
    }
    env->GetByteArrayRegion(jbPath, 0, static_cast<jsize>(len), reinterpret_cast<jbyte*>(out));
    out[len] = '\0';
    // A NUL would silently name a shorter path.
    if (std::memchr(out, 0, len)) {
        std::free(out);
        formatMessage(szMsg, sizeof szMsg, "%sNul character not allowed in a path", prefix);
        throwException(env, "java/lang/IllegalArgumentException", szMsg);
        return nullptr;
    }
    return out;
}

}  // namespace fsutil

extern "C" {

// The bytes a path string names as this library resolves it, component by component.
JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_resolve(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    fsutil::CString path;
    if (!fsutil::pathOf(env, jsPath, "[FileTree.toPath] ", &path, fsutil::Refuse::invalidPath)) return nullptr;
    const auto len = static_cast<jsize>(std::strlen(path.get()));
    jbyteArray bytes = env->NewByteArray(len);
    if (bytes) env->SetByteArrayRegion(bytes, 0, len, reinterpret_cast<const jbyte*>(path.get()));
    return bytes;
}

}  // extern "C"
