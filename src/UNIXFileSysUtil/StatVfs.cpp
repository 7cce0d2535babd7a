// The statvfs natives: getFileSysStat (exported) and the four published
// classes' natives that forward to it.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>

#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "JniUtil/PathResolve.h"
#include "base/Owned.h"
#include "UNIXFileSysUtil/UNIXFileSysUtil.h"
#include "UNIXFileSysUtil/UnixNatives.h"

using fsutil::CString;

namespace {

// The failure road of getFileSysStat: a VM error left pending by the step
// that failed becomes the cause of the IOException, so Java sees one
// exception that names the step.
jobject failStat(JNIEnv* env, const char* errMsg, jthrowable cause) {
    fsutil::raiseIOExpt(env, errMsg, cause);
    env->DeleteLocalRef(cause);
    return nullptr;
}

constexpr char kStatPrefix[] = "[UNIXFileSysUtil.getFileSysStat] ";

// statvfs64 of a path at any length: past PATH_MAX, of the entry opened component by component.
int statvfsAnyLength(const char* path, struct statvfs64* buf) {
    if (std::strlen(path) < PATH_MAX) return statvfs64(path, buf);
    const fsutil::UniqueFd fd(fsutil::openNativePath(path, O_PATH | O_CLOEXEC));
    return fd ? fstatvfs64(fd.get(), buf) : -1;
}

}  // namespace

extern "C" {

JNIEXPORT jobject getFileSysStat(JNIEnv* env, jobject /*jobj*/, jstring jsPath) {
    char errMsg[1024];
    if (!jsPath) {
        fsutil::formatMessage(errMsg, sizeof errMsg, "%sconvert failed for a null path", kStatPrefix);
        return failStat(env, errMsg, nullptr);
    }
    if (fsutil::hasNul(env, jsPath)) {
        // The path would be cut at the NUL and name another file system's entry.
        fsutil::formatMessage(errMsg, sizeof errMsg, "%sNul character not allowed in the path", kStatPrefix);
        return failStat(env, errMsg, nullptr);
    }
    CString convertedStr(convert(env, jsPath));
    jthrowable cause = nullptr;
    if (!convertedStr) {
        if (!fsutil::takePending(env, &cause)) return nullptr;
        const char* utf = env->GetStringUTFChars(jsPath, nullptr);
        if (!utf) {
            env->DeleteLocalRef(cause);
            return nullptr;
        }
        fsutil::formatMessage(errMsg, sizeof errMsg, "%sconvert failed for '%s'", kStatPrefix, utf);
        env->ReleaseStringUTFChars(jsPath, utf);
        return failStat(env, errMsg, cause);
    }
    struct statvfs64 buf;
    if (statvfsAnyLength(convertedStr.get(), &buf) != 0) {
        const int err = errno;
        fsutil::formatPathError(errMsg, sizeof errMsg, "[UNIXFileSysUtil.getFileSysStat] statvfs failed for '", convertedStr.get(),
                        err);
        return failStat(env, errMsg, nullptr);
    }
    const jlong bsize = static_cast<jlong>(buf.f_bsize);
    const jlong frsize = static_cast<jlong>(buf.f_frsize);
    const jlong blocks = static_cast<jlong>(buf.f_blocks);
    const jlong bfree = static_cast<jlong>(buf.f_bfree);
    const jlong bavail = static_cast<jlong>(buf.f_bavail);
    const jlong files = static_cast<jlong>(buf.f_files);
    const jlong ffree = static_cast<jlong>(buf.f_ffree);
    const jlong favail = static_cast<jlong>(buf.f_favail);
    const jlong fsid = static_cast<jlong>(buf.f_fsid);
    const jlong flag = static_cast<jlong>(buf.f_flag);
    const jlong namemax = static_cast<jlong>(buf.f_namemax);

    const char acUnixFileSysStat[37] = "com/orvan/mek/fsutil/FileSysStatUnix";
    const char acMethod[7] = "<init>";
    const char acArgs[15] = "(JJJJJJJJJJJ)V";
    jclass jcls = env->FindClass(acUnixFileSysStat);
    if (!jcls) {
        if (!fsutil::takePending(env, &cause)) return nullptr;
        fsutil::formatMessage(errMsg, sizeof errMsg, "%sFindClass returns NULL for '%s'", kStatPrefix,
                              acUnixFileSysStat);
        fsutil::printDiagnostic(errMsg);
        return failStat(env, errMsg, cause);
    }
    jmethodID jmid = env->GetMethodID(jcls, acMethod, acArgs);
    if (!jmid) {
        env->DeleteLocalRef(jcls);
        if (!fsutil::takePending(env, &cause)) return nullptr;
        fsutil::formatMessage(errMsg, sizeof errMsg, "%sGetMethodID returns NULL for '%s %s %s %s'", kStatPrefix,
                              convertedStr.get(), acUnixFileSysStat, acMethod, acArgs);
        return failStat(env, errMsg, cause);
    }
    jobject result =
        env->NewObject(jcls, jmid, bsize, frsize, blocks, bfree, bavail, files, ffree, favail, fsid, flag, namemax);
    env->DeleteLocalRef(jcls);
    return result;
}

JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatFbd_getFileSysStat(JNIEnv* env, jobject jobj,
                                                                                    jstring jsPath) {
    return getFileSysStat(env, jobj, jsPath);
}

JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatMac_getFileSysStat(JNIEnv* env, jobject jobj,
                                                                                    jstring jsPath) {
    return getFileSysStat(env, jobj, jsPath);
}

JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatSos_getFileSysStat(JNIEnv* env, jobject jobj,
                                                                                    jstring jsPath) {
    return getFileSysStat(env, jobj, jsPath);
}

JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatLin_getFileSysStat(JNIEnv* env, jobject jobj,
                                                                                    jstring jsPath) {
    return getFileSysStat(env, jobj, jsPath);
}

}  // extern "C"
