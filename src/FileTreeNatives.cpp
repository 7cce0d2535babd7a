// The natives behind FileTree: the tree walk's events encoded as records for
// Java in batches, and reading any file the walk reports, whatever its path's
// length or bytes.
#include <fcntl.h>
#include <jni.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "JniInternal.h"
#include "JniUtil.h"
#include "Grow.h"
#include "TreeCopy.h"
#include "TreeDelete.h"
#include "TreeUsage.h"
#include "TreeWalk.h"

namespace {

using fsutil::CString;

// The records, as FileTree reads them (its checkFormat compares): kind (1 byte:
// the entry types of DirEntries.h, kFailure, kLeave), depth (4 bytes, big-endian),
// name length (2 bytes, big-endian), the name's bytes; then for an entry with
// attributes, kAttrCount native-endian int64: dev, ino, mode, nlink, uid, gid,
// size, blocks, atime s/ns, mtime s/ns, ctime s/ns; for a failure, the text's
// length (2 bytes, big-endian) and bytes (at most kMaxText). A leave record has
// no name: it reports the directory of its depth, in post-order walks only.
constexpr unsigned char kFailure = 5;
constexpr unsigned char kLeave = 6;
constexpr std::size_t kHeader = 7;
constexpr std::size_t kAttrCount = 14;
constexpr std::size_t kMaxText = 255;
// Bytes per batch, on the stack: several hundred entries for one JNI crossing.
constexpr std::size_t kBatchBytes = 32768;
// The longest record: a failure with the longest name and text.
constexpr std::size_t kMaxRecord = kHeader + 255 + 2 + kMaxText;
static_assert(kMaxRecord >= kHeader + 255 + kAttrCount * 8, "an entry record fits");
constexpr jint kFormat[] = {static_cast<jint>(fsutil::EntryType::file), static_cast<jint>(fsutil::EntryType::directory),
                            static_cast<jint>(fsutil::EntryType::symlink), static_cast<jint>(fsutil::EntryType::fifo),
                            kFailure, kLeave, kHeader, kAttrCount, kBatchBytes};

// A walk handed to Java: the engine and what the encoder does with its events.
struct Batches {
    std::unique_ptr<fsutil::TreeWalk> walk;
    bool postOrder = false;          // directories reported when left
    bool stopAtDirectories = false;  // a batch ends after a directory the walk would enter: Java may skip it
    fsutil::WalkOptions options;
    fsutil::Grow<fsutil::DirId> above;  // for a part of a walk: the directories above its top
    dev_t topDevice = 0;
};

// Entries split off a walk, with what a walk of one of them needs.
struct Group {
    fsutil::UniqueFd fd;                // their directory
    std::size_t depth = 0;              // its depth in the walk it came from
    fsutil::Grow<fsutil::DirId> above;  // the directories from the walk's top down to it, it included
    dev_t topDevice = 0;
    fsutil::WalkOptions options;
    bool postOrder = false;
    bool stopAtDirectories = false;
    fsutil::Grow<unsigned char> records;
};

Group* fromGroupHandle(jlong jlHandle) {
    return reinterpret_cast<Group*>(static_cast<std::intptr_t>(jlHandle));  // NOLINT(performance-no-int-to-ptr)
}

Batches* fromHandle(jlong jlHandle) {
    return reinterpret_cast<Batches*>(static_cast<std::intptr_t>(jlHandle));  // NOLINT(performance-no-int-to-ptr)
}

std::size_t putHeader(unsigned char* out, unsigned char kind, std::size_t depth, const char* name, std::size_t len) {
    out[0] = kind;
    out[1] = static_cast<unsigned char>(depth >> 24);
    out[2] = static_cast<unsigned char>(depth >> 16);
    out[3] = static_cast<unsigned char>(depth >> 8);
    out[4] = static_cast<unsigned char>(depth);
    out[5] = static_cast<unsigned char>(len >> 8);
    out[6] = static_cast<unsigned char>(len);
    std::memcpy(out + kHeader, name, len);
    return kHeader + len;
}

std::size_t putRecord(unsigned char* out, const fsutil::WalkItem& item) {
    if (item.event == fsutil::WalkEvent::leave) return putHeader(out, kLeave, item.depth, "", 0);
    if (item.event == fsutil::WalkEvent::failure) {
        std::size_t textLen = std::strlen(item.text);
        if (textLen > kMaxText) textLen = kMaxText;
        const std::size_t n = putHeader(out, kFailure, item.depth, item.name, item.nameLen);
        out[n] = static_cast<unsigned char>(textLen >> 8);
        out[n + 1] = static_cast<unsigned char>(textLen);
        // Records carry lengths, not terminators.
        std::memcpy(out + n + 2, item.text, textLen);  // NOLINT(bugprone-not-null-terminated-result)
        return n + 2 + textLen;
    }
    const std::size_t n = putHeader(out, static_cast<unsigned char>(item.type), item.depth, item.name, item.nameLen);
    if (!item.st) return n;
    const struct stat& st = *item.st;
    const std::int64_t v[kAttrCount] = {
        static_cast<std::int64_t>(st.st_dev),          static_cast<std::int64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_mode),         static_cast<std::int64_t>(st.st_nlink),
        static_cast<std::int64_t>(st.st_uid),          static_cast<std::int64_t>(st.st_gid),
        static_cast<std::int64_t>(st.st_size),         static_cast<std::int64_t>(st.st_blocks),
        static_cast<std::int64_t>(st.st_atim.tv_sec),  static_cast<std::int64_t>(st.st_atim.tv_nsec),
        static_cast<std::int64_t>(st.st_mtim.tv_sec),  static_cast<std::int64_t>(st.st_mtim.tv_nsec),
        static_cast<std::int64_t>(st.st_ctim.tv_sec),  static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
    std::memcpy(out + n, v, sizeof v);
    return n + sizeof v;
}

// Records of the entries a split takes.
class RecordSink final : public fsutil::WalkSink {
   public:
    explicit RecordSink(fsutil::Grow<unsigned char>* out) : out_(out) {}
    bool entry(const fsutil::WalkItem& item) override {
        if (!out_->reserve(kMaxRecord)) return false;
        out_->len += putRecord(out_->data + out_->len, item);
        return true;
    }

   private:
    fsutil::Grow<unsigned char>* out_;
};

void freeBatches(Batches* b) { delete b; }

// Fills out[0..size) with whole records; 0 at the end of the walk.
std::size_t readBatch(Batches& b, unsigned char* out, std::size_t size) {
    std::size_t used = 0;
    fsutil::WalkItem item;
    while (used + kMaxRecord <= size && b.walk->next(&item)) {
        if (item.event == fsutil::WalkEvent::leave && !b.postOrder) continue;
        used += putRecord(out + used, item);
        if (b.stopAtDirectories && item.event == fsutil::WalkEvent::entry && b.walk->wouldEnter()) break;
    }
    return used;
}

// An input stream's handle: its descriptor in the low 32 bits, its wake-up eventfd (or -1) in the high.
jlong toStreamHandle(int fd, int wake) {
    return static_cast<jlong>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(wake)) << 32) |
                              static_cast<std::uint32_t>(fd));
}
int streamFd(jlong jlStream) { return static_cast<int>(static_cast<std::uint32_t>(jlStream)); }
int streamWake(jlong jlStream) { return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(jlStream) >> 32)); }

// What read returns besides counts and -1 (the end); Java's FdInputStream knows them.
constexpr jint kReadClosed = -2;
constexpr jint kReadInterrupted = -3;

constexpr char kWalkPrefix[] = "[FileTree.walk] ";
constexpr char kDeletePrefix[] = "[FileTree.delete] ";
constexpr char kUsagePrefix[] = "[FileTree.usage] ";
constexpr char kCopyPrefix[] = "[FileTree.copy] ";
constexpr char kOpenPrefix[] = "[FileTree.newInputStream] ";
// O_NONBLOCK: opening a FIFO must not wait for a writer; reads wait in poll() instead.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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

// The one place a failure to open or start on a path becomes a Java exception.
void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err) {
    if (err == ENOMEM) {
        char szMsg[64];
        fsutil::formatMessage(szMsg, sizeof szMsg, "%sno memory", prefix);
        throwException(env, "java/lang/OutOfMemoryError", szMsg);
        return;
    }
    if (err == EMFILE || err == ENFILE) {
        raiseFileSystemException(env, path, err);
        return;
    }
    char head[64];
    fsutil::formatMessage(head, sizeof head, "%sFail to open '", prefix);
    char tail[320];
    fsutil::formatMessage(tail, sizeof tail, "'. Error='%s'", std::strerror(err));
    char szMsg[512];
    fsutil::formatPathMessage(szMsg, sizeof szMsg, head, path, tail);
    if (err == ENOENT) {
        throwFileNotFoundException(env, szMsg);
    } else if (err == ENOTDIR && prefix == kWalkPrefix) {
        // Lets a caller tell a file given as root (find prints it alone) from a failure.
        throwException(env, "java/nio/file/NotDirectoryException", szMsg);
    } else {
        throwIOException(env, szMsg);
    }
}

// Whether jsPath is null, raising the NullPointerException that names the call.
bool isNull(JNIEnv* env, jstring jsPath, const char* prefix) {
    if (jsPath) return false;
    char szMsg[64];
    fsutil::formatMessage(szMsg, sizeof szMsg, "%spath is null", prefix);
    throwException(env, "java/lang/NullPointerException", szMsg);
    return true;
}

// The descriptor of `jsPath` opened with `flags`, or -1 with an exception
// pending; *shown is the path as messages show it.
int openOrRaise(JNIEnv* env, jstring jsPath, int flags, const char* prefix, CString* shown) {
    if (isNull(env, jsPath, prefix)) return -1;
    fsutil::Charset cs = fsutil::Charset::unresolved;
    const int fd = fsutil::openResolved(env, jsPath, flags, cs, shown);
    if (fd == -1) raiseOpenFailure(env, prefix, shown->get(), errno);
    return fd < 0 ? -1 : fd;
}

// The same for a path given as its bytes (a java.nio.file.Path's own): opened as they are.
int openBytesOrRaise(JNIEnv* env, jbyteArray jbPath, int flags, const char* prefix, CString* shown) {
    shown->reset(fsutil::bytesPath(env, jbPath, prefix));
    if (!*shown) return -1;
    const int fd = fsutil::openNativePath(shown->get(), flags);
    if (fd < 0) raiseOpenFailure(env, prefix, shown->get(), errno);
    return fd;
}

jlong walkOf(JNIEnv* env, int fd, const char* shown, jboolean attributes, jboolean sameFileSystem, jboolean sorted,
             jboolean directoriesLast, jboolean followLinks, jint maxDepth, jboolean stopAtDirectories);
jlong inputOf(JNIEnv* env, int fd, const char* shown);
jlong copyStart(JNIEnv* env, CString* srcPath, CString* dstPath, jboolean sameFileSystem);

fsutil::TreeShares* fromJobHandle(jlong jlHandle) {
    return reinterpret_cast<fsutil::TreeShares*>(static_cast<std::intptr_t>(jlHandle));  // NOLINT(performance-no-int-to-ptr)
}

jlong toJobHandle(JNIEnv* env, std::unique_ptr<fsutil::TreeShares> job, const char* prefix) {
    if (!job) {
        char szMsg[64];
        fsutil::formatMessage(szMsg, sizeof szMsg, "%sno memory", prefix);
        throwException(env, "java/lang/OutOfMemoryError", szMsg);
        return -1;
    }
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(job.release()));
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

// jsPath resolved component by component into *path; false with an exception pending.
bool resolveOrRaise(JNIEnv* env, jstring jsPath, const char* prefix, CString* path) {
    if (isNull(env, jsPath, prefix)) return false;
    fsutil::Charset cs = fsutil::Charset::unresolved;
    path->reset(fsutil::resolvedPath(env, jsPath, cs));
    if (!*path && !env->ExceptionCheck()) throwException(env, "java/lang/OutOfMemoryError", "no memory");
    return static_cast<bool>(*path);
}

int openParent(JNIEnv* env, jstring jsPath, const char* prefix, bool refuseDots, CString* path, const char** name) {
    return resolveOrRaise(env, jsPath, prefix, path) ? openParentOf(env, prefix, refuseDots, path, name) : -1;
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

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_checkFormat(JNIEnv* env, jclass /*jcls*/, jintArray jiFormat) {
    constexpr jsize kCount = sizeof kFormat / sizeof kFormat[0];
    jint format[kCount] = {};
    const bool same = jiFormat && env->GetArrayLength(jiFormat) == kCount;
    if (same) env->GetIntArrayRegion(jiFormat, 0, kCount, format);
    if (!same || std::memcmp(format, kFormat, sizeof format) != 0) {
        throwException(env, "java/lang/InternalError", "[FileTree.checkFormat] the library and the jar do not match");
    }
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_openTree(JNIEnv* env, jclass /*jcls*/, jstring jsRoot,
                                                                   jboolean attributes, jboolean sameFileSystem,
                                                                   jboolean sorted, jboolean directoriesLast,
                                                                   jboolean followLinks, jint maxDepth,
                                                                   jboolean stopAtDirectories) {
    // The root is the one link followed, as the user named it.
    CString shown;
    const int fd = openOrRaise(env, jsRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC, kWalkPrefix, &shown);
    if (fd < 0) return -1;
    return walkOf(env, fd, shown.get(), attributes, sameFileSystem, sorted, directoriesLast, followLinks, maxDepth, stopAtDirectories);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_openTreeBytes(JNIEnv* env, jclass /*jcls*/, jbyteArray jbRoot,
                                                                        jboolean attributes, jboolean sameFileSystem,
                                                                        jboolean sorted, jboolean directoriesLast,
                                                                        jboolean followLinks, jint maxDepth,
                                                                        jboolean stopAtDirectories) {
    CString shown;
    const int fd = openBytesOrRaise(env, jbRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC, kWalkPrefix, &shown);
    if (fd < 0) return -1;
    return walkOf(env, fd, shown.get(), attributes, sameFileSystem, sorted, directoriesLast, followLinks, maxDepth, stopAtDirectories);
}

}  // extern "C"

namespace {

// The walk of the open directory fd (which it owns from here), as a handle for FileTree.
jlong walkOf(JNIEnv* env, int fd, const char* shown, jboolean attributes, jboolean sameFileSystem, jboolean sorted,
             jboolean directoriesLast, jboolean followLinks, jint maxDepth, jboolean stopAtDirectories) {
    fsutil::WalkOptions options;
    options.attributes = attributes == JNI_TRUE;
    options.sameFileSystem = sameFileSystem == JNI_TRUE;
    options.sorted = sorted == JNI_TRUE;
    options.followLinks = followLinks == JNI_TRUE;
    options.maxDepth = maxDepth < 0 ? 0 : static_cast<std::size_t>(maxDepth);
    fsutil::UniqueFd root(fd);
    std::unique_ptr<Batches> batches(new (std::nothrow) Batches);
    std::unique_ptr<fsutil::TreeWalk> walk = batches ? fsutil::TreeWalk::open(std::move(root), options) : nullptr;
    if (!walk) {
        raiseOpenFailure(env, kWalkPrefix, shown, batches ? errno : ENOMEM);
        return -1;
    }
    batches->walk = std::move(walk);
    batches->postOrder = directoriesLast == JNI_TRUE;
    batches->stopAtDirectories = stopAtDirectories == JNI_TRUE;
    batches->options = options;
    batches->topDevice = batches->walk->topDevice();
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(batches.release()));
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FileTree_readTree(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                  jbyteArray jbBatch, jboolean skip) {
    if (!jbBatch || static_cast<std::size_t>(env->GetArrayLength(jbBatch)) < kMaxRecord) {
        throwException(env, "java/lang/IllegalArgumentException", "[FileTree.readTree] buffer too small");
        return -1;
    }
    const auto size = static_cast<std::size_t>(env->GetArrayLength(jbBatch));
    Batches& b = *fromHandle(jlHandle);
    if (skip == JNI_TRUE) b.walk->skip();
    unsigned char records[kBatchBytes];
    const std::size_t used = readBatch(b, records, size < kBatchBytes ? size : kBatchBytes);
    env->SetByteArrayRegion(jbBatch, 0, static_cast<jsize>(used), reinterpret_cast<const jbyte*>(records));
    return static_cast<jint>(used);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_closeTree(JNIEnv* /*env*/, jclass /*jcls*/,
                                                                   jlong jlHandle) {
    freeBatches(fromHandle(jlHandle));
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_splitTree(JNIEnv* /*env*/, jclass /*jcls*/,
                                                                    jlong jlHandle) {
    Batches& b = *fromHandle(jlHandle);
    std::unique_ptr<Group> g(new (std::nothrow) Group);
    if (!g) return 0;
    RecordSink sink(&g->records);
    fsutil::Grow<fsutil::DirId> path;
    // Failing after split took them, nothing is lost but this part's order.
    if (!b.walk->split(sink, &g->fd, &g->depth, &path) || !g->above.ensure(b.above.len + path.len)) return 0;
    for (std::size_t i = 0; i < b.above.len; ++i) g->above.data[g->above.len++] = b.above.data[i];
    for (std::size_t i = 0; i < path.len; ++i) g->above.data[g->above.len++] = path.data[i];
    g->topDevice = b.topDevice;
    g->options = b.options;
    g->postOrder = b.postOrder;
    g->stopAtDirectories = b.stopAtDirectories;
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(g.release()));
}

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_FileTree_groupRecords(JNIEnv* env, jclass /*jcls*/,
                                                                            jlong jlGroup) {
    const Group& g = *fromGroupHandle(jlGroup);
    jbyteArray records = env->NewByteArray(static_cast<jsize>(g.records.len));
    if (records) {
        env->SetByteArrayRegion(records, 0, static_cast<jsize>(g.records.len), reinterpret_cast<const jbyte*>(g.records.data));
    }
    return records;
}

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FileTree_groupDepth(JNIEnv* /*env*/, jclass /*jcls*/, jlong jlGroup) {
    return static_cast<jint>(fromGroupHandle(jlGroup)->depth);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_openPart(JNIEnv* env, jclass /*jcls*/, jlong jlGroup,
                                                                   jbyteArray jbName, jint maxDepth) {
    const Group& g = *fromGroupHandle(jlGroup);
    char name[256];
    const jsize len = jbName ? env->GetArrayLength(jbName) : 0;
    if (len <= 0 || len > 255) {
        throwException(env, "java/lang/IllegalArgumentException", "[FileTree.openPart] bad name");
        return -1;
    }
    env->GetByteArrayRegion(jbName, 0, len, reinterpret_cast<jbyte*>(name));
    name[len] = '\0';
    std::unique_ptr<Batches> b(new (std::nothrow) Batches);
    if (!b || !b->above.ensure(g.above.len)) {
        throwException(env, "java/lang/OutOfMemoryError", "[FileTree.walk] no memory");
        return -1;
    }
    for (std::size_t i = 0; i < g.above.len; ++i) b->above.data[b->above.len++] = g.above.data[i];
    b->postOrder = g.postOrder;
    b->stopAtDirectories = g.stopAtDirectories;
    b->topDevice = g.topDevice;
    b->options = g.options;
    b->options.maxDepth = maxDepth < 0 ? 0 : static_cast<std::size_t>(maxDepth);
    b->options.above = b->above.data;
    b->options.aboveCount = b->above.len;
    b->options.topDevice = &b->topDevice;
    // Entered as the whole walk would have entered it: a link only where links are followed.
    fsutil::DirCheck check;
    check.viaLink = g.options.followLinks;
    check.device = g.options.sameFileSystem ? &g.topDevice : nullptr;
    check.path = g.above.data;
    check.pathLen = g.above.len;
    struct stat st;
    fsutil::UniqueFd fd;
    const fsutil::DirOpen got = fsutil::openDir(g.fd.get(), name, check, &st, &fd);
    const char* why = got == fsutil::DirOpen::opened || got == fsutil::DirOpen::otherDevice ? nullptr : fsutil::openDirText(got);
    b->walk = got != fsutil::DirOpen::opened ? fsutil::TreeWalk::failed(why) : fsutil::TreeWalk::open(std::move(fd), b->options);
    // A part that cannot start (out of descriptors) is a failure of its directory, not of the walk.
    if (!b->walk && errno != ENOMEM) b->walk = fsutil::TreeWalk::failed(std::strerror(errno));
    if (!b->walk) {
        throwException(env, "java/lang/OutOfMemoryError", "[FileTree.walk] no memory");
        return -1;
    }
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(b.release()));
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_closeGroup(JNIEnv* /*env*/, jclass /*jcls*/, jlong jlGroup) {
    delete fromGroupHandle(jlGroup);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_deleteOpen(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    const char* name = nullptr;
    CString path;
    const int parentFd = openParent(env, jsPath, kDeletePrefix, true, &path, &name);
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startDelete(fsutil::UniqueFd(parentFd), name, usableCores()), kDeletePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_usageOpen(JNIEnv* env, jclass /*jcls*/, jstring jsPath,
                                                                    jboolean sameFileSystem) {
    const char* name = nullptr;
    CString path;
    const int parentFd = openParent(env, jsPath, kUsagePrefix, false, &path, &name);
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startUsage(fsutil::UniqueFd(parentFd), name, sameFileSystem == JNI_TRUE, usableCores()), kUsagePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_deleteOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                          jbyteArray jbPath) {
    const char* name = nullptr;
    CString path(fsutil::bytesPath(env, jbPath, kDeletePrefix));
    const int parentFd = path ? openParentOf(env, kDeletePrefix, true, &path, &name) : -1;
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startDelete(fsutil::UniqueFd(parentFd), name, usableCores()), kDeletePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_usageOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                         jbyteArray jbPath, jboolean sameFileSystem) {
    const char* name = nullptr;
    CString path(fsutil::bytesPath(env, jbPath, kUsagePrefix));
    const int parentFd = path ? openParentOf(env, kUsagePrefix, false, &path, &name) : -1;
    if (parentFd < 0) return -1;
    return toJobHandle(env, fsutil::startUsage(fsutil::UniqueFd(parentFd), name, sameFileSystem == JNI_TRUE, usableCores()), kUsagePrefix);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_copyOpen(JNIEnv* env, jclass /*jcls*/, jstring jsSource,
                                                                   jstring jsTarget, jboolean sameFileSystem) {
    CString srcPath;
    CString dstPath;
    if (!resolveOrRaise(env, jsSource, kCopyPrefix, &srcPath) || !resolveOrRaise(env, jsTarget, kCopyPrefix, &dstPath)) return -1;
    return copyStart(env, &srcPath, &dstPath, sameFileSystem);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_copyOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                        jbyteArray jbSource, jbyteArray jbTarget,
                                                                        jboolean sameFileSystem) {
    CString srcPath(fsutil::bytesPath(env, jbSource, kCopyPrefix));
    CString dstPath(srcPath ? fsutil::bytesPath(env, jbTarget, kCopyPrefix) : nullptr);
    if (!dstPath) return -1;
    return copyStart(env, &srcPath, &dstPath, sameFileSystem);
}

}  // extern "C"

namespace {

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
    return toJobHandle(env, fsutil::startCopy(fsutil::UniqueFd(srcParent), srcName, fsutil::UniqueFd(dstParent), dstName,
                                                  sameFileSystem == JNI_TRUE, usableCores()),
                       kCopyPrefix);
}

}  // namespace

extern "C" {

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_FileTree_jobNext(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                       jint waitMs, jlongArray jlDone) {
    fsutil::TreeShares* job = fromJobHandle(jlHandle);
    fsutil::TreeFailure failure;
    const fsutil::TreeShares::Take took = job->takeFailure(&failure, waitMs);
    if (jlDone && env->GetArrayLength(jlDone) == 2) {
        const jlong done[] = {static_cast<jlong>(job->entriesDone()), static_cast<jlong>(job->bytesDone())};
        env->SetLongArrayRegion(jlDone, 0, 2, done);
    }
    if (took == fsutil::TreeShares::Take::end) return nullptr;
    if (took == fsutil::TreeShares::Take::timeout) return env->NewByteArray(0);
    CString path(failure.path.release());
    const std::size_t pathLen = std::strlen(path.get());
    const std::size_t textLen = std::strlen(failure.text);
    // The path's bytes, a NUL, the text's bytes.
    jbyteArray record = env->NewByteArray(static_cast<jsize>(pathLen + 1 + textLen));
    if (!record) return nullptr;
    env->SetByteArrayRegion(record, 0, static_cast<jsize>(pathLen + 1), reinterpret_cast<const jbyte*>(path.get()));
    env->SetByteArrayRegion(record, static_cast<jsize>(pathLen + 1), static_cast<jsize>(textLen),
                            reinterpret_cast<const jbyte*>(failure.text));
    return record;
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_copyClose(JNIEnv* /*env*/, jclass /*jcls*/, jlong jlHandle) {
    return static_cast<jlong>(fsutil::finishCopy(std::unique_ptr<fsutil::TreeShares>(fromJobHandle(jlHandle))));
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_deleteClose(JNIEnv* /*env*/, jclass /*jcls*/,
                                                                      jlong jlHandle) {
    return static_cast<jlong>(fsutil::finishDelete(std::unique_ptr<fsutil::TreeShares>(fromJobHandle(jlHandle))));
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_usageClose(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                    jlongArray jlSums) {
    const fsutil::UsageSums s = fsutil::finishUsage(std::unique_ptr<fsutil::TreeShares>(fromJobHandle(jlHandle)));
    const jlong sums[] = {static_cast<jlong>(s.entries), static_cast<jlong>(s.directories), static_cast<jlong>(s.files),
                          static_cast<jlong>(s.bytes), static_cast<jlong>(s.blocks)};
    if (jlSums && env->GetArrayLength(jlSums) == 5) env->SetLongArrayRegion(jlSums, 0, 5, sums);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_openRead(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    CString shown;
    const int fd = openOrRaise(env, jsPath, kReadFlags, kOpenPrefix, &shown);
    if (fd < 0) return -1;
    return inputOf(env, fd, shown.get());
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_openReadBytes(JNIEnv* env, jclass /*jcls*/, jbyteArray jbPath) {
    CString path(fsutil::bytesPath(env, jbPath, kOpenPrefix));
    if (!path) return -1;
    const int fd = fsutil::openNativePath(path.get(), kReadFlags);
    if (fd < 0) {
        raiseOpenFailure(env, kOpenPrefix, path.get(), errno);
        return -1;
    }
    return inputOf(env, fd, path.get());
}

}  // extern "C"

namespace {

// The input stream's handle for the open file fd (which it owns from here); -1 with an exception pending.
jlong inputOf(JNIEnv* env, int fd, const char* shown) {
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    // A regular file never makes a read wait for long, so it needs no wake-up descriptor.
    const int wake = err == 0 && !S_ISREG(st.st_mode) ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (err == 0 && wake < 0 && !S_ISREG(st.st_mode)) err = errno;
    if (err != 0) {
        close(fd);
        raiseOpenFailure(env, kOpenPrefix, shown, err);
        return -1;
    }
    return toStreamHandle(fd, wake);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FileTree_read(JNIEnv* env, jclass /*jcls*/, jlong jlStream,
                                                              jbyteArray jbBuffer, jint off, jint len) {
    const int fd = streamFd(jlStream);
    const int wake = streamWake(jlStream);
    unsigned char buf[32768];
    const std::size_t want = static_cast<std::size_t>(len) < sizeof buf ? static_cast<std::size_t>(len) : sizeof buf;
    ssize_t n;
    for (;;) {
        n = read(fd, buf, want);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR)) break;
        if (errno == EINTR) return kReadInterrupted;
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(fds, wake >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) return kReadInterrupted;
            n = -1;
            break;
        }
        if (fds[1].revents != 0) return kReadClosed;
    }
    if (n < 0) {
        char szMsg[512];
        fsutil::formatMessage(szMsg, sizeof szMsg, "[FileTree.read] Error='%s'", std::strerror(errno));
        throwIOException(env, szMsg);
        return -1;
    }
    if (n == 0) return -1;
    env->SetByteArrayRegion(jbBuffer, off, static_cast<jsize>(n), reinterpret_cast<const jbyte*>(buf));
    return static_cast<jint>(n);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_wakeFd(JNIEnv* /*env*/, jclass /*jcls*/, jlong jlStream) {
    const int wake = streamWake(jlStream);
    const std::uint64_t one = 1;
    if (wake >= 0) (void)!write(wake, &one, sizeof one);  // full only after 2^64-1 wake-ups: never
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_closeFd(JNIEnv* /*env*/, jclass /*jcls*/, jlong jlStream) {
    close(streamFd(jlStream));
    if (streamWake(jlStream) >= 0) close(streamWake(jlStream));
}

}  // extern "C"
