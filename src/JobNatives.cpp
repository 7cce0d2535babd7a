// The natives of FileTree's whole-tree jobs (delete, usage, copy): opening
// their start on a path, handing their failures to Java as job failure records
// (RecordFormat.h), and their results.
#include <fcntl.h>
#include <jni.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "JniGlue.h"
#include "JniInternal.h"
#include "JniUtil.h"
#include "RecordFormat.h"
#include "TreeCopy.h"
#include "TreeDelete.h"
#include "TreeShares.h"
#include "TreeUsage.h"

namespace {

using fsutil::CString;
using fsutil::kCopyPrefix;
using fsutil::kDeletePrefix;
using fsutil::kUsagePrefix;
using fsutil::raiseOpenFailure;
using namespace fsutil::format;  // NOLINT(google-build-using-namespace): the records' own names

// A job handed to Java: the job and its kind, so that a delete's handle
// given to usageClose is refused, not misread.
struct Job {
    fsutil::HandleHeader header;
    fsutil::TreeShares* shares;
};

constexpr fsutil::HandleKind kAnyJob[] = {fsutil::HandleKind::deleteJob, fsutil::HandleKind::usageJob,
                                           fsutil::HandleKind::copyJob};

// The job of handle, of kind (or any job kind when kind is null); null with IllegalArgumentException pending.
Job* jobOf(JNIEnv* env, jlong handle, const fsutil::HandleKind* kind, const char* call, const char* what) {
    return reinterpret_cast<Job*>(fsutil::checkedHandle(env, handle, kind ? kind : kAnyJob, kind ? 1 : 3, call, what));
}

// Takes the job out of its handle and frees the handle; null with IllegalArgumentException pending.
std::unique_ptr<fsutil::TreeShares> finishing(JNIEnv* env, jlong handle, fsutil::HandleKind kind, const char* call,
                                              const char* what) {
    Job* job = jobOf(env, handle, &kind, call, what);
    if (!job) return nullptr;
    std::unique_ptr<fsutil::TreeShares> shares(job->shares);
    job->header.kind = fsutil::HandleKind::gone;
    delete job;
    return shares;
}

jlong toJobHandle(JNIEnv* env, std::unique_ptr<fsutil::TreeShares> shares, fsutil::HandleKind kind, const char* prefix) {
    Job* job = shares ? new (std::nothrow) Job{{kind}, shares.get()} : nullptr;
    if (!job) {
        // Not started, or no memory for its handle: a started job is stopped and freed as its kind is.
        if (shares && kind == fsutil::HandleKind::deleteJob) fsutil::finishDelete(std::move(shares));
        if (shares && kind == fsutil::HandleKind::usageJob) fsutil::finishUsage(std::move(shares));
        if (shares && kind == fsutil::HandleKind::copyJob) fsutil::finishCopy(std::move(shares));
        fsutil::raiseNoMemory(env, prefix);
        return -1;
    }
    static_cast<void>(shares.release());  // the handle owns it now, until finishing()
    return fsutil::toTypedHandle(job);
}

// The cores this thread may run on: the delete's threads.
std::size_t usableCores() {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<std::size_t>(CPU_COUNT(&set)) : 1;
}

// Opens the directory holding the last component of jsPath (links along the
// way followed, as named) and checks that component exists; its name goes to
// *name, inside *path. -1 with an exception pending on failure. refuseDots:
// ".", ".." and "/" are refused, as a delete must; elsewhere they name the
// directory itself.
int openParentOf(JNIEnv* env, const char* prefix, bool refuseDots, CString* path, const char** name);

int openParent(JNIEnv* env, jstring jsPath, const char* prefix, bool refuseDots, CString* path, const char** name) {
    if (!fsutil::pathOf(env, jsPath, prefix, path)) return -1;
    return openParentOf(env, prefix, refuseDots, path, name);
}

// openParent of a path already in native bytes (*path, which it may shorten).
int openParentOf(JNIEnv* env, const char* prefix, bool refuseDots, CString* path, const char** name) {
    char* p = path->get();
    std::size_t len = std::strlen(p);
    while (len > 1 && p[len - 1] == '/') p[--len] = '\0';
    char* slash = std::strrchr(p, '/');
    *name = slash ? slash + 1 : p;
    const bool dots = **name == '\0' || std::strcmp(*name, ".") == 0 || std::strcmp(*name, "..") == 0;
    if (dots && refuseDots) {
        char szMsg[512];
        fsutil::formatMessage(szMsg, sizeof szMsg, "%sRefusing to remove '%s': '.', '..' and '/' are never removed",
                              prefix, p);
        throwIOException(env, szMsg);
        return -1;
    }
    // The directory itself where the name cannot be taken out of its parent ("/", "x/..").
    CString parent(dots ? strdup(p) : slash ? strndup(p, slash == p ? 1 : static_cast<std::size_t>(slash - p)) : strdup("."));
    if (dots) *name = ".";
    const int parentFd = parent ? fsutil::openNativePath(parent.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    struct stat st;
    if (parentFd < 0 || fstatat(parentFd, *name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int err = parent ? errno : ENOMEM;
        if (parentFd >= 0) close(parentFd);
        raiseOpenFailure(env, prefix, p, err);
        return -1;
    }
    return parentFd;
}

// Opens the directory that is to hold the new entry *path names (native
// bytes, which it may shorten); its name goes to *name, inside *path. -1 with
// an exception pending when the directory cannot be opened or the entry exists already.
int openTargetParent(JNIEnv* env, CString* path, const char** name) {
    char* p = path->get();
    std::size_t len = std::strlen(p);
    while (len > 1 && p[len - 1] == '/') p[--len] = '\0';
    char* slash = std::strrchr(p, '/');
    *name = slash ? slash + 1 : p;
    char szMsg[512];
    // ".", ".." and "/" name directories that exist.
    if (**name == '\0' || std::strcmp(*name, ".") == 0 || std::strcmp(*name, "..") == 0) {
        fsutil::formatMessage(szMsg, sizeof szMsg, "%sTarget exists: '%s'", kCopyPrefix, p);
        throwException(env, "java/nio/file/FileAlreadyExistsException", szMsg);
        return -1;
    }
    CString parent(slash ? strndup(p, slash == p ? 1 : static_cast<std::size_t>(slash - p)) : strdup("."));
    const int parentFd = parent ? fsutil::openNativePath(parent.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (parentFd < 0) {
        raiseOpenFailure(env, kCopyPrefix, p, parent ? errno : ENOMEM);
        return -1;
    }
    struct stat st;
    const int err = fstatat(parentFd, *name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (err != ENOENT) {
        close(parentFd);
        if (err == 0) {
            fsutil::formatMessage(szMsg, sizeof szMsg, "%sTarget exists: '%s'", kCopyPrefix, p);
            throwException(env, "java/nio/file/FileAlreadyExistsException", szMsg);
        } else {
            raiseOpenFailure(env, kCopyPrefix, p, err);
        }
        return -1;
    }
    return parentFd;
}

// Whether the directory open as dirFd is the directory src or lies below it (followed up through "..").
bool insideOf(int dirFd, const struct stat& src) {
    int fd = dup(dirFd);
    while (fd >= 0) {
        struct stat st;
        struct stat up;
        const int parent = fstat(fd, &st) == 0 ? openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        close(fd);
        if (st.st_dev == src.st_dev && st.st_ino == src.st_ino) {
            if (parent >= 0) close(parent);
            return true;
        }
        if (parent < 0 || fstat(parent, &up) != 0 || (up.st_dev == st.st_dev && up.st_ino == st.st_ino)) {
            if (parent >= 0) close(parent);
            return false;  // the root: nothing above
        }
        fd = parent;
    }
    return false;
}

// The copy of *srcPath to the new entry *dstPath (both native bytes) started,
// as a handle for FileTree; -1 with an exception pending.
jlong copyStart(JNIEnv* env, CString* srcPath, CString* dstPath, jboolean sameFileSystem) {
    const char* srcName = nullptr;
    const int srcParent = openParentOf(env, kCopyPrefix, false, srcPath, &srcName);
    if (srcParent < 0) return -1;
    const char* dstName = nullptr;
    const int dstParent = openTargetParent(env, dstPath, &dstName);
    struct stat st;
    if (dstParent >= 0 && fstatat(srcParent, srcName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        insideOf(dstParent, st)) {
        char szMsg[1024];
        fsutil::formatMessage(szMsg, sizeof szMsg, "%sCannot copy '%s' into itself: '%s' lies inside it", kCopyPrefix,
                              srcPath->get(), dstPath->get());
        throwIOException(env, szMsg);
        close(dstParent);
        close(srcParent);
        return -1;
    }
    if (dstParent < 0) {
        close(srcParent);
        return -1;
    }
    return toJobHandle(env, fsutil::startCopy(fsutil::UniqueFd(srcParent), srcName, fsutil::UniqueFd(dstParent), dstName, sameFileSystem == JNI_TRUE, usableCores()),
                       fsutil::HandleKind::copyJob, kCopyPrefix);
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_deleteOpen(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    const char* name = nullptr;
    CString path;
    const int parentFd = openParent(env, jsPath, kDeletePrefix, true, &path, &name);
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startDelete(fsutil::UniqueFd(parentFd), name, usableCores()), fsutil::HandleKind::deleteJob, kDeletePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_usageOpen(JNIEnv* env, jclass /*jcls*/, jstring jsPath,
                                                                    jboolean sameFileSystem) {
    const char* name = nullptr;
    CString path;
    const int parentFd = openParent(env, jsPath, kUsagePrefix, false, &path, &name);
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startUsage(fsutil::UniqueFd(parentFd), name, sameFileSystem == JNI_TRUE, usableCores()), fsutil::HandleKind::usageJob, kUsagePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_deleteOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                          jbyteArray jbPath) {
    const char* name = nullptr;
    CString path;
    const int parentFd = fsutil::pathOf(env, jbPath, kDeletePrefix, &path) ? openParentOf(env, kDeletePrefix, true, &path, &name) : -1;
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startDelete(fsutil::UniqueFd(parentFd), name, usableCores()), fsutil::HandleKind::deleteJob, kDeletePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_usageOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                         jbyteArray jbPath, jboolean sameFileSystem) {
    const char* name = nullptr;
    CString path;
    const int parentFd = fsutil::pathOf(env, jbPath, kUsagePrefix, &path) ? openParentOf(env, kUsagePrefix, false, &path, &name) : -1;
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startUsage(fsutil::UniqueFd(parentFd), name, sameFileSystem == JNI_TRUE, usableCores()), fsutil::HandleKind::usageJob, kUsagePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_copyOpen(JNIEnv* env, jclass /*jcls*/, jstring jsSource,
                                                                   jstring jsTarget, jboolean sameFileSystem) {
    CString srcPath;
    CString dstPath;
    if (!fsutil::pathOf(env, jsSource, kCopyPrefix, &srcPath) || !fsutil::pathOf(env, jsTarget, kCopyPrefix, &dstPath)) return -1;
    return copyStart(env, &srcPath, &dstPath, sameFileSystem);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_copyOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                        jbyteArray jbSource, jbyteArray jbTarget,
                                                                        jboolean sameFileSystem) {
    CString srcPath;
    CString dstPath;
    if (!fsutil::pathOf(env, jbSource, kCopyPrefix, &srcPath) || !fsutil::pathOf(env, jbTarget, kCopyPrefix, &dstPath)) return -1;
    return copyStart(env, &srcPath, &dstPath, sameFileSystem);
}

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_jobNext(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                       jint waitMs, jlongArray jlDone) {
    Job* handle = jobOf(env, jlHandle, nullptr, "[FileTree.jobNext]", "job");
    if (!handle) return nullptr;
    fsutil::TreeShares* job = handle->shares;
    fsutil::TreeFailure failure;
    const fsutil::TreeShares::Take took = job->takeFailure(&failure, waitMs);
    if (jlDone && env->GetArrayLength(jlDone) == static_cast<jsize>(kJobDoneCount)) {
        const jlong done[kJobDoneCount] = {static_cast<jlong>(job->entriesDone()), static_cast<jlong>(job->bytesDone())};
        env->SetLongArrayRegion(jlDone, 0, kJobDoneCount, done);
    }
    if (took == fsutil::TreeShares::Take::end) return nullptr;
    if (took == fsutil::TreeShares::Take::timeout) return env->NewByteArray(0);
    CString path(failure.path.release());
    const std::size_t pathLen = std::strlen(path.get());
    const char* text = fsutil::reasonText(failure.err);
    const std::size_t textLen = std::strlen(text);
    // Its errno, the path's bytes, a NUL, the text's bytes.
    jbyteArray record = env->NewByteArray(static_cast<jsize>(kErrnoBytes + pathLen + 1 + textLen));
    if (!record) return nullptr;
    unsigned char err[kErrnoBytes];
    putErrno(err, recordErrno(failure.err));
    env->SetByteArrayRegion(record, 0, kErrnoBytes, reinterpret_cast<const jbyte*>(err));
    env->SetByteArrayRegion(record, kErrnoBytes, static_cast<jsize>(pathLen + 1), reinterpret_cast<const jbyte*>(path.get()));
    env->SetByteArrayRegion(record, static_cast<jsize>(kErrnoBytes + pathLen + 1), static_cast<jsize>(textLen),
                            reinterpret_cast<const jbyte*>(text));
    return record;
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_copyClose(JNIEnv* env, jclass /*jcls*/, jlong jlHandle) {
    std::unique_ptr<fsutil::TreeShares> job = finishing(env, jlHandle, fsutil::HandleKind::copyJob, "[FileTree.copyClose]", "copy");
    return job ? static_cast<jlong>(fsutil::finishCopy(std::move(job))) : -1;
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_deleteClose(JNIEnv* env, jclass /*jcls*/,
                                                                      jlong jlHandle) {
    std::unique_ptr<fsutil::TreeShares> job = finishing(env, jlHandle, fsutil::HandleKind::deleteJob, "[FileTree.deleteClose]", "delete");
    return job ? static_cast<jlong>(fsutil::finishDelete(std::move(job))) : -1;
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_usageClose(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                    jlongArray jlSums) {
    std::unique_ptr<fsutil::TreeShares> job = finishing(env, jlHandle, fsutil::HandleKind::usageJob, "[FileTree.usageClose]", "usage");
    if (!job) return;
    const fsutil::UsageSums s = fsutil::finishUsage(std::move(job));
    jlong sums[kUsageCount];
    sums[kUsageEntries] = static_cast<jlong>(s.entries);
    sums[kUsageDirectories] = static_cast<jlong>(s.directories);
    sums[kUsageFiles] = static_cast<jlong>(s.files);
    sums[kUsageBytes] = static_cast<jlong>(s.bytes);
    sums[kUsageBlocks] = static_cast<jlong>(s.blocks);
    if (jlSums && env->GetArrayLength(jlSums) == static_cast<jsize>(kUsageCount)) env->SetLongArrayRegion(jlSums, 0, kUsageCount, sums);
}

}  // extern "C"
