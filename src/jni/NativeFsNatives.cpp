// The natives behind NativeFs: a path's native bytes, a link's whole target,
// whether a path is a directory, the statistics of a path's file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "JniUtil/PathResolve.h"
#include "base/Owned.h"
#include "jni/JniPaths.h"

using fsutil::Charset;
using fsutil::CString;

namespace {

// readLinkTarget at any length: past PATH_MAX, of the link opened itself, component by component.
int readLinkAnyLength(const char* path, char** target) {
    if (std::strlen(path) < PATH_MAX) return readLinkTarget(path, target);
    const fsutil::UniqueFd fd(fsutil::openNativePath(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return -1;
    int rc = -1;
    for (std::size_t size = 512; size <= 65536; size *= 2) {
        CString buffer(static_cast<char*>(std::malloc(size)));
        if (!buffer) break;
        const ssize_t n = readlinkat(fd.get(), "", buffer.get(), size);  // "" reads the link fd names
        if (n < 0) break;
        if (static_cast<std::size_t>(n) < size) {
            buffer.get()[n] = '\0';
            *target = buffer.release();
            rc = 0;
            break;
        }
    }
    return rc;
}

}  // namespace

extern "C" {

// Small natives behind the command-line tool.

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_nativePath(JNIEnv* env, jclass /*jcls*/,
                                                                          jstring jsPath) {
    if (!jsPath) {
        throwException(env, "java/lang/NullPointerException", "[UNIXFileSysUtil.nativePath] path is null");
        return nullptr;
    }
    if (fsutil::refuseNul(env, jsPath)) return nullptr;
    CString szPath(getNativeFilePath(env, jsPath));
    if (!szPath) return nullptr;
    const auto len = static_cast<jsize>(std::strlen(szPath.get()));
    jbyteArray bytes = env->NewByteArray(len);
    if (bytes) env->SetByteArrayRegion(bytes, 0, len, reinterpret_cast<const jbyte*>(szPath.get()));
    return bytes;
}

JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_readLink(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    CString szPath;
    if (!fsutil::pathOf(env, jsPath, "[UNIXFileSysUtil.readLink] ", &szPath)) return nullptr;
    char* pszTarget = nullptr;
    if (readLinkAnyLength(szPath.get(), &pszTarget) != 0) {
        fsutil::raisePathError(env, "[UNIXFileSysUtil.readLink] Fail to read link '", szPath.get(), errno);
        return nullptr;
    }
    CString target(pszTarget);
    return getJavaFilePath(env, target.get());
}

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_readLinkBytes(JNIEnv* env, jclass /*jcls*/,
                                                                             jbyteArray jbPath) {
    CString szPath;
    if (!fsutil::pathOf(env, jbPath, "[NativeFs.readLink] ", &szPath)) return nullptr;
    char* pszTarget = nullptr;
    if (readLinkAnyLength(szPath.get(), &pszTarget) != 0) {
        fsutil::raiseOpenFailure(env, "[NativeFs.readLink] ", szPath.get(), errno);
        return nullptr;
    }
    CString target(pszTarget);
    const auto len = static_cast<jsize>(std::strlen(target.get()));
    jbyteArray bytes = env->NewByteArray(len);
    if (bytes) env->SetByteArrayRegion(bytes, 0, len, reinterpret_cast<const jbyte*>(target.get()));
    return bytes;
}

JNIEXPORT jboolean JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_isDirectoryBytes(JNIEnv* env, jclass /*jcls*/,
                                                                              jbyteArray jbPath) {
    CString szPath;
    if (!fsutil::pathOf(env, jbPath, "[NativeFs.isDirectory] ", &szPath)) return JNI_FALSE;
    struct stat st;
    return fsutil::lstatNativePath(szPath.get(), &st) == 0 && S_ISDIR(st.st_mode) ? JNI_TRUE : JNI_FALSE;
}

// The eleven statvfs values of the file system holding path (links followed), in FileSysStatUnix's order.
JNIEXPORT jlongArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_statVfsBytes(JNIEnv* env, jclass /*jcls*/,
                                                                            jbyteArray jbPath) {
    CString szPath;
    if (!fsutil::pathOf(env, jbPath, "[NativeFs.fileSystemStat] ", &szPath)) return nullptr;
    const fsutil::UniqueFd fd(fsutil::openNativePath(szPath.get(), O_PATH | O_CLOEXEC));
    struct statvfs64 buf;
    if (!fd || fstatvfs64(fd.get(), &buf) != 0) {
        fsutil::raiseOpenFailure(env, "[NativeFs.fileSystemStat] ", szPath.get(), errno);
        return nullptr;
    }
    const jlong values[11] = {static_cast<jlong>(buf.f_bsize),  static_cast<jlong>(buf.f_frsize), static_cast<jlong>(buf.f_blocks),
                              static_cast<jlong>(buf.f_bfree),  static_cast<jlong>(buf.f_bavail), static_cast<jlong>(buf.f_files),
                              static_cast<jlong>(buf.f_ffree),  static_cast<jlong>(buf.f_favail), static_cast<jlong>(buf.f_fsid),
                              static_cast<jlong>(buf.f_flag),   static_cast<jlong>(buf.f_namemax)};
    jlongArray out = env->NewLongArray(11);
    if (out) env->SetLongArrayRegion(out, 0, 11, values);
    return out;
}

JNIEXPORT jboolean JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_isDirectory(JNIEnv* env, jclass /*jcls*/,
                                                                         jstring jsPath) {
    CString szPath;
    if (!fsutil::pathOf(env, jsPath, "[UNIXFileSysUtil.isDirectory] ", &szPath)) return JNI_FALSE;
    struct stat st;
    return fsutil::lstatNativePath(szPath.get(), &st) == 0 && S_ISDIR(st.st_mode) ? JNI_TRUE : JNI_FALSE;
}

}  // extern "C"
