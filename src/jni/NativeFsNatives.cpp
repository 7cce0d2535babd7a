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

// The whole target of the link a path argument of either form names; null
// with an exception pending, a link that cannot be read raised by fail(env, path, errno).
template <class JPath, class Fail>
CString linkTargetOf(JNIEnv* env, JPath jPath, const char* prefix, Fail fail) {
    CString path;
    if (!fsutil::pathOf(env, jPath, prefix, &path)) return CString();
    char* target = nullptr;
    if (readLinkAnyLength(path.get(), &target) != 0) {
        fail(env, path.get(), errno);
        return CString();
    }
    return CString(target);
}

// Whether a path argument of either form names a directory (not through a link); false also with an exception pending.
template <class JPath>
jboolean isDirectoryOf(JNIEnv* env, JPath jPath, const char* prefix) {
    CString szPath;
    if (!fsutil::pathOf(env, jPath, prefix, &szPath)) return JNI_FALSE;
    struct stat st;
    return fsutil::lstatNativePath(szPath.get(), &st) == 0 && S_ISDIR(st.st_mode) ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

extern "C" {

// Small natives behind the command-line tool.

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_nativePath(JNIEnv* env, jclass /*jcls*/,
                                                                          jstring jsPath) {
    if (!jsPath) {
        fsutil::raiseNullPath(env, "[UNIXFileSysUtil.nativePath] ");
        return nullptr;
    }
    if (fsutil::refuseNul(env, jsPath)) return nullptr;
    CString szPath(getNativeFilePath(env, jsPath));
    return szPath ? fsutil::newByteArray(env, szPath.get()) : nullptr;
}

JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_readLink(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    const CString target = linkTargetOf(env, jsPath, "[UNIXFileSysUtil.readLink] ", [](JNIEnv* e, const char* path, int err) {
        fsutil::raisePathError(e, "[UNIXFileSysUtil.readLink] Fail to read link '", path, err);
    });
    return target ? getJavaFilePath(env, target.get()) : nullptr;
}

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_readLinkBytes(JNIEnv* env, jclass /*jcls*/,
                                                                             jbyteArray jbPath) {
    const CString target = linkTargetOf(env, jbPath, "[NativeFs.readLink] ", [](JNIEnv* e, const char* path, int err) {
        fsutil::raiseOpenFailure(e, "[NativeFs.readLink] ", path, err);
    });
    return target ? fsutil::newByteArray(env, target.get()) : nullptr;
}

JNIEXPORT jboolean JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_isDirectoryBytes(JNIEnv* env, jclass /*jcls*/,
                                                                              jbyteArray jbPath) {
    return isDirectoryOf(env, jbPath, "[NativeFs.isDirectory] ");
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
    return isDirectoryOf(env, jsPath, "[UNIXFileSysUtil.isDirectory] ");
}

}  // extern "C"
