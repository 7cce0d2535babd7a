// The natives of FileTree's whole-tree jobs (delete, usage, copy): opening
// their start on a path, handing their failures to Java as job failure records
// (RecordFormat.h), and their results.
#include <fcntl.h>
#include <jni.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "JniUtil/PathResolve.h"
#include "jni/CallPrefixes.h"
#include "jni/JniHandles.h"
#include "jni/JniPaths.h"
#include "jni/RecordFormat.h"
#include "engine/TreeCopy.h"
#include "engine/TreeDelete.h"
#include "engine/TreeShares.h"
#include "engine/TreeSync.h"
#include "engine/TreeUsage.h"

namespace {

using fsutil::CString;
using fsutil::kCopyPrefix;
using fsutil::kDeletePrefix;
using fsutil::kSyncPrefix;
using fsutil::kUsagePrefix;
using fsutil::raiseOpenFailure;
using namespace fsutil::format;  // NOLINT(google-build-using-namespace): the records' own names

// The handle Java holds of a running job: the job and its kind, so that a
// delete's handle given to usageClose is refused, not misread.
struct JobHandle {
    fsutil::HandleHeader header;
    fsutil::TreeShares* shares;
};

constexpr fsutil::HandleKind kAnyJob[] = {fsutil::HandleKind::deleteJob, fsutil::HandleKind::usageJob,
                                           fsutil::HandleKind::copyJob, fsutil::HandleKind::syncJob};

// The job of handle, of kind (or any job kind when kind is null); null with IllegalArgumentException pending.
JobHandle* jobOf(JNIEnv* env, jlong handle, const fsutil::HandleKind* kind, const char* call, const char* what) {
    return reinterpret_cast<JobHandle*>(fsutil::checkedHandle(env, handle, kind ? kind : kAnyJob, kind ? 1 : 4, call, what));
}

// Takes the job out of its handle and frees the handle; null with IllegalArgumentException pending.
std::unique_ptr<fsutil::TreeShares> finishing(JNIEnv* env, jlong handle, fsutil::HandleKind kind, const char* call,
                                              const char* what) {
    JobHandle* job = jobOf(env, handle, &kind, call, what);
    if (!job) return nullptr;
    std::unique_ptr<fsutil::TreeShares> shares(job->shares);
    job->header.kind = fsutil::HandleKind::gone;
    delete job;
    return shares;
}

jlong toJobHandle(JNIEnv* env, std::unique_ptr<fsutil::TreeShares> shares, fsutil::HandleKind kind, const char* prefix) {
    JobHandle* job = shares ? new (std::nothrow) JobHandle{{kind}, shares.get()} : nullptr;
    if (!job) {
        // Not started, or no memory for its handle: a started job is stopped and freed as its kind is.
        if (shares && kind == fsutil::HandleKind::deleteJob) fsutil::finishDelete(std::move(shares));
        if (shares && kind == fsutil::HandleKind::usageJob) fsutil::finishUsage(std::move(shares));
        if (shares && kind == fsutil::HandleKind::copyJob) fsutil::finishCopy(std::move(shares));
        if (shares && kind == fsutil::HandleKind::syncJob) fsutil::finishSync(std::move(shares));
        fsutil::raiseNoMemory(env, prefix);
        return -1;
    }
    static_cast<void>(shares.release());  // the handle owns it now, until finishing()
    return fsutil::toTypedHandle(job);
}

// Splits *path (native bytes) at its last component, trailing slashes
// dropped: that component's name, inside *path; the directory before it into
// *parent ("." for none, "/" for the root). Whether the name is ".", ".." or
// empty ("/"): a name that cannot be taken out of a parent.
bool splitLast(CString* path, const char** name, CString* parent) {
    char* p = path->get();
    std::size_t len = std::strlen(p);
    while (len > 1 && p[len - 1] == '/') p[--len] = '\0';
    const char* slash = std::strrchr(p, '/');
    *name = slash ? slash + 1 : p;
    parent->reset(slash ? strndup(p, slash == p ? 1 : static_cast<std::size_t>(slash - p)) : strdup("."));
    return **name == '\0' || std::strcmp(*name, ".") == 0 || std::strcmp(*name, "..") == 0;
}

// Whether path ends in '/' after a name ("f/", not "/"): it then names a directory.
bool endsInSlash(const char* path) {
    const std::size_t len = std::strlen(path);
    return len > 1 && path[len - 1] == '/' && std::strspn(path, "/") != len;
}

// Opens the directory holding the last component of *path (native bytes,
// which it may shorten; links along the way followed, as named) and checks
// that component exists; its name goes to *name, inside *path. Closed with
// an exception pending on failure. refuseDots: ".", ".." and "/" are
// refused, as a delete must; elsewhere they name the directory itself.
fsutil::UniqueFd openParentOf(JNIEnv* env, const char* prefix, bool refuseDots, CString* path, const char** name) {
    CString parent;
    const bool slashed = endsInSlash(path->get());
    const bool dots = splitLast(path, name, &parent);
    const char* p = path->get();
    if (dots && refuseDots) {
        char szMsg[512];
        fsutil::formatMessage(szMsg, sizeof szMsg, "%sRefusing to remove '%s': '.', '..' and '/' are never removed",
                              prefix, p);
        throwIOException(env, szMsg);
        return fsutil::UniqueFd();
    }
    // The directory itself where the name cannot be taken out of its parent ("/", "x/..").
    if (dots) {
        parent.reset(strdup(p));
        *name = ".";
    }
    fsutil::UniqueFd parentFd(parent ? fsutil::openNativePath(parent.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    struct stat st;
    if (!parentFd || fstatat(parentFd.get(), *name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        raiseOpenFailure(env, prefix, p, parent ? errno : ENOMEM);
        return fsutil::UniqueFd();
    }
    if (slashed && !S_ISDIR(st.st_mode)) {
        // "name/" is a directory: a link's target where the link leads to one, else ENOTDIR. A
        // removal never goes through a link, so it refuses that case too (nothing removed).
        struct stat target;
        const bool toDirectory = S_ISLNK(st.st_mode) && fstatat(parentFd.get(), *name, &target, 0) == 0 && S_ISDIR(target.st_mode);
        fsutil::UniqueFd through(toDirectory && !refuseDots ? openat(parentFd.get(), *name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
        if (!through) {
            raiseOpenFailure(env, prefix, p, toDirectory && !refuseDots ? errno : ENOTDIR);
            return through;
        }
        *name = ".";
        return through;
    }
    return parentFd;
}

// Opens the directory that is to hold the new entry *path names (native
// bytes, which it may shorten); its name goes to *name, inside *path. Closed
// with an exception pending when the directory cannot be opened or the entry exists already.
fsutil::UniqueFd openTargetParent(JNIEnv* env, CString* path, const char** name) {
    if (*path->get() == '\0') {
        raiseOpenFailure(env, kCopyPrefix, "", ENOENT);  // the empty path names nothing, as for cp
        return fsutil::UniqueFd();
    }
    CString parent;
    const bool dots = splitLast(path, name, &parent);
    const char* p = path->get();
    // ".", ".." and "/" name directories that exist.
    fsutil::UniqueFd parentFd(!dots && parent ? fsutil::openNativePath(parent.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    if (!parentFd && !dots) {
        raiseOpenFailure(env, kCopyPrefix, p, parent ? errno : ENOMEM);
        return parentFd;
    }
    struct stat st;
    const int err = dots || fstatat(parentFd.get(), *name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? EEXIST : errno;
    if (err == ENOENT) return parentFd;
    raiseOpenFailure(env, kCopyPrefix, p, err);  // FileAlreadyExistsException for EEXIST, naming the path
    return fsutil::UniqueFd();
}

// Whether the directory open as dirFd is the directory src or lies below it (followed up through "..").
bool insideOf(int dirFd, const struct stat& src) {
    fsutil::UniqueFd fd(dup(dirFd));
    struct stat st;
    while (fd && fstat(fd.get(), &st) == 0) {
        if (st.st_dev == src.st_dev && st.st_ino == src.st_ino) return true;
        fsutil::UniqueFd parent(openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat up;
        if (!parent || fstat(parent.get(), &up) != 0 || (up.st_dev == st.st_dev && up.st_ino == st.st_ino)) {
            return false;  // the root: nothing above
        }
        fd = std::move(parent);
    }
    return false;
}

// The delete of *path (native bytes) started, as a handle for FileTree; -1 with an exception pending.
jlong deleteStart(JNIEnv* env, CString* path) {
    const char* name = nullptr;
    fsutil::UniqueFd parentFd = openParentOf(env, kDeletePrefix, true, path, &name);
    if (!parentFd) return -1;
    return toJobHandle(env, fsutil::startDelete(std::move(parentFd), name, fsutil::usableCores()), fsutil::HandleKind::deleteJob,
                       kDeletePrefix);
}

// The usage sums of *path (native bytes) started, as a handle for FileTree; -1 with an exception pending.
jlong usageStart(JNIEnv* env, CString* path, jboolean sameFileSystem) {
    const char* name = nullptr;
    fsutil::UniqueFd parentFd = openParentOf(env, kUsagePrefix, false, path, &name);
    if (!parentFd) return -1;
    return toJobHandle(env, fsutil::startUsage(std::move(parentFd), name, sameFileSystem == JNI_TRUE, fsutil::usableCores()),
                       fsutil::HandleKind::usageJob, kUsagePrefix);
}

// A two-path job's arguments as native bytes, and the directory holding its source, opened.
struct TwoPaths {
    CString src;
    CString dst;
    const char* srcName = nullptr;  // inside src
    fsutil::UniqueFd srcParent;
};

// Both path arguments (either form) as native bytes, then the source's
// directory opened; false with an exception pending.
template <class JPath>
bool twoPathsOf(JNIEnv* env, JPath source, JPath target, const char* prefix, TwoPaths* p) {
    if (!fsutil::pathOf(env, source, prefix, &p->src) || !fsutil::pathOf(env, target, prefix, &p->dst)) return false;
    p->srcParent = openParentOf(env, prefix, false, &p->src, &p->srcName);
    return static_cast<bool>(p->srcParent);
}

// The copy of p's source to the new entry p->dst started, as a handle for
// FileTree; -1 with an exception pending.
jlong copyStart(JNIEnv* env, TwoPaths* p, jboolean sameFileSystem) {
    const char* dstName = nullptr;
    fsutil::UniqueFd dstParent = openTargetParent(env, &p->dst, &dstName);
    if (!dstParent) return -1;
    struct stat st;
    if (fstatat(p->srcParent.get(), p->srcName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        insideOf(dstParent.get(), st)) {
        char szMsg[1024];
        fsutil::formatMessage(szMsg, sizeof szMsg, "%sCannot copy '%s' into itself: '%s' lies inside it", kCopyPrefix,
                              p->src.get(), p->dst.get());
        throwIOException(env, szMsg);
        return -1;
    }
    return toJobHandle(env,
                       fsutil::startCopy(std::move(p->srcParent), p->srcName, std::move(dstParent), dstName,
                                         sameFileSystem == JNI_TRUE, fsutil::usableCores()),
                       fsutil::HandleKind::copyJob, kCopyPrefix);
}

// Refuses a sync before anything changes: IOException "<prefix><what>" naming both paths; always -1.
jlong refuseSync(JNIEnv* env, const char* what, const char* src, const char* dst) {
    char szMsg[1024];
    fsutil::formatMessage(szMsg, sizeof szMsg, "%s%s: '%s' -> '%s'", kSyncPrefix, what, src, dst);
    throwIOException(env, szMsg);
    return -1;
}

// The sync of p's source into p->dst started, as a handle for FileTree; -1
// with an exception pending. A target that is not a directory, or either
// tree inside the other, is refused before anything changes.
jlong syncStart(JNIEnv* env, TwoPaths* p, jint flags) {
    CString* srcPath = &p->src;
    CString* dstPath = &p->dst;
    struct stat src;
    if (fstatat(p->srcParent.get(), p->srcName, &src, AT_SYMLINK_NOFOLLOW) != 0) {
        raiseOpenFailure(env, kSyncPrefix, srcPath->get(), errno);
        return -1;
    }
    CString parent;
    const char* dstName = nullptr;
    const bool dots = splitLast(dstPath, &dstName, &parent);
    if (dots) {
        parent.reset(strdup(dstPath->get()));
        dstName = ".";
    }
    fsutil::UniqueFd dstParent(parent ? fsutil::openNativePath(parent.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    if (!dstParent) {
        raiseOpenFailure(env, kSyncPrefix, dstPath->get(), parent ? errno : ENOMEM);
        return -1;
    }
    struct stat dst;
    const bool exists = fstatat(dstParent.get(), dstName, &dst, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) {
        raiseOpenFailure(env, kSyncPrefix, dstPath->get(), errno);
        return -1;
    }
    if (exists && !S_ISDIR(dst.st_mode)) return refuseSync(env, "Target exists and is not a directory", srcPath->get(), dstPath->get());
    if (exists && !S_ISDIR(src.st_mode)) return refuseSync(env, "Source is not a directory but the target is", srcPath->get(), dstPath->get());
    if (S_ISDIR(src.st_mode) && insideOf(dstParent.get(), src)) {
        return refuseSync(env, "Target lies inside the source", srcPath->get(), dstPath->get());
    }
    if (exists && (insideOf(p->srcParent.get(), dst) || (src.st_dev == dst.st_dev && src.st_ino == dst.st_ino))) {
        return refuseSync(env, "Source lies inside the target", srcPath->get(), dstPath->get());
    }
    fsutil::SyncOptions options;
    options.sameFileSystem = (flags & kSyncSameFileSystem) != 0;
    options.dryRun = (flags & kSyncDryRun) != 0;
    options.keepExtras = (flags & kSyncKeepExtras) != 0;
    options.durable = (flags & kSyncDurable) != 0;
    options.reportChanges = (flags & kSyncReportChanges) != 0;
    return toJobHandle(env,
                       fsutil::startSync(std::move(p->srcParent), p->srcName, std::move(dstParent), dstName, options,
                                         fsutil::usableCores()),
                       fsutil::HandleKind::syncJob, kSyncPrefix);
}

// Each job started from its path arguments, given as Strings or as a Path's
// bytes alike; -1 with an exception pending.

template <class JPath>
jlong deleteOf(JNIEnv* env, JPath jPath) {
    CString path;
    return fsutil::pathOf(env, jPath, kDeletePrefix, &path) ? deleteStart(env, &path) : -1;
}

template <class JPath>
jlong usageOf(JNIEnv* env, JPath jPath, jboolean sameFileSystem) {
    CString path;
    return fsutil::pathOf(env, jPath, kUsagePrefix, &path) ? usageStart(env, &path, sameFileSystem) : -1;
}

template <class JPath>
jlong copyOf(JNIEnv* env, JPath source, JPath target, jboolean sameFileSystem) {
    TwoPaths p;
    return twoPathsOf(env, source, target, kCopyPrefix, &p) ? copyStart(env, &p, sameFileSystem) : -1;
}

template <class JPath>
jlong syncOf(JNIEnv* env, JPath source, JPath target, jint flags) {
    TwoPaths p;
    return twoPathsOf(env, source, target, kSyncPrefix, &p) ? syncStart(env, &p, flags) : -1;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_syncOpen(JNIEnv* env, jclass /*jcls*/, jstring jsSource,
                                                                   jstring jsTarget, jint flags) {
    return syncOf(env, jsSource, jsTarget, flags);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_syncOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                        jbyteArray jbSource, jbyteArray jbTarget,
                                                                        jint flags) {
    return syncOf(env, jbSource, jbTarget, flags);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_syncClose(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                   jlongArray jlCounts) {
    std::unique_ptr<fsutil::TreeShares> job = finishing(env, jlHandle, fsutil::HandleKind::syncJob, "[FileTree.syncClose]", "sync");
    if (!job) return;
    const fsutil::SyncCounts c = fsutil::finishSync(std::move(job));
    jlong counts[kSyncCount];
    counts[kSyncCreated] = static_cast<jlong>(c.created);
    counts[kSyncModified] = static_cast<jlong>(c.modified);
    counts[kSyncAttributes] = static_cast<jlong>(c.attributes);
    counts[kSyncRemoved] = static_cast<jlong>(c.removed);
    counts[kSyncUnchanged] = static_cast<jlong>(c.unchanged);
    counts[kSyncBytes] = static_cast<jlong>(c.bytes);
    if (jlCounts && env->GetArrayLength(jlCounts) == static_cast<jsize>(kSyncCount)) {
        env->SetLongArrayRegion(jlCounts, 0, kSyncCount, counts);
    }
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_deleteOpen(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    return deleteOf(env, jsPath);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_usageOpen(JNIEnv* env, jclass /*jcls*/, jstring jsPath,
                                                                    jboolean sameFileSystem) {
    return usageOf(env, jsPath, sameFileSystem);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_deleteOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                          jbyteArray jbPath) {
    return deleteOf(env, jbPath);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_usageOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                         jbyteArray jbPath, jboolean sameFileSystem) {
    return usageOf(env, jbPath, sameFileSystem);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_copyOpen(JNIEnv* env, jclass /*jcls*/, jstring jsSource,
                                                                   jstring jsTarget, jboolean sameFileSystem) {
    return copyOf(env, jsSource, jsTarget, sameFileSystem);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_copyOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                        jbyteArray jbSource, jbyteArray jbTarget,
                                                                        jboolean sameFileSystem) {
    return copyOf(env, jbSource, jbTarget, sameFileSystem);
}

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_jobNext(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                       jint waitMs, jlongArray jlDone) {
    JobHandle* handle = jobOf(env, jlHandle, nullptr, "[FileTree.jobNext]", "job");
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
    // The failure, then the path's bytes.
    unsigned char head[kFailureHeader + kMaxText];
    const std::size_t headLen = putFailure(head, failure.err);
    jbyteArray record = env->NewByteArray(static_cast<jsize>(headLen + pathLen));
    if (!record) return nullptr;
    env->SetByteArrayRegion(record, 0, static_cast<jsize>(headLen), reinterpret_cast<const jbyte*>(head));
    env->SetByteArrayRegion(record, static_cast<jsize>(headLen), static_cast<jsize>(pathLen),
                            reinterpret_cast<const jbyte*>(path.get()));
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
