// The natives behind FileTree: the recursive walk handed to Java in batches,
// and reading any file the walk reports, whatever its path's length or bytes.
#include <fcntl.h>
#include <jni.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "JniInternal.h"
#include "JniUtil.h"
#include "TreeWalk.h"

namespace {

using fsutil::CString;

// Bytes per batch, on the stack: several hundred entries for one JNI crossing.
constexpr std::size_t kBatchBytes = 32768;

fsutil::Tree* fromHandle(jlong jlHandle) {
    return reinterpret_cast<fsutil::Tree*>(static_cast<std::intptr_t>(jlHandle));  // NOLINT(performance-no-int-to-ptr)
}

constexpr char kWalkPrefix[] = "[FileTree.walk] ";
constexpr char kOpenPrefix[] = "[FileTree.newInputStream] ";

void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err) {
    char szMsg[512];
    fsutil::formatMessage(szMsg, sizeof szMsg, "%sFail to open '%s'. Error='%s'", prefix, path, std::strerror(err));
    if (err == ENOENT) {
        throwFileNotFoundException(env, szMsg);
    } else if (err == ENOTDIR && prefix == kWalkPrefix) {
        // Lets a caller tell a file given as root (find prints it alone) from a failure.
        throwException(env, "java/nio/file/NotDirectoryException", szMsg);
    } else {
        throwIOException(env, szMsg);
    }
}

// The descriptor of `jsPath` opened with `flags`, or -1 with an exception
// pending; *shown is the path as messages show it.
int openOrRaise(JNIEnv* env, jstring jsPath, int flags, const char* prefix, CString* shown) {
    if (!jsPath) {
        char szMsg[64];
        fsutil::formatMessage(szMsg, sizeof szMsg, "%spath is null", prefix);
        throwException(env, "java/lang/NullPointerException", szMsg);
        return -1;
    }
    fsutil::Charset cs = fsutil::Charset::unresolved;
    const int fd = fsutil::openResolved(env, jsPath, flags, cs, shown);
    if (fd == -1) raiseOpenFailure(env, prefix, shown->get(), errno);
    return fd < 0 ? -1 : fd;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_openTree(JNIEnv* env, jclass /*jcls*/, jstring jsRoot,
                                                                   jint flags) {
    // The root is the one link followed, as the user named it.
    CString shown;
    const int fd = openOrRaise(env, jsRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC, kWalkPrefix, &shown);
    if (fd < 0) return -1;
    fsutil::Tree* tree = fsutil::openTree(fd, static_cast<unsigned>(flags));
    if (!tree) {
        throwException(env, "java/lang/OutOfMemoryError", "[FileTree.walk] no memory");
        return -1;
    }
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(tree));
}

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FileTree_readTree(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                  jbyteArray jbBatch) {
    const auto size = static_cast<std::size_t>(env->GetArrayLength(jbBatch));
    if (size < fsutil::kTreeMinBuffer) {
        throwException(env, "java/lang/IllegalArgumentException", "[FileTree.readTree] buffer too small");
        return -1;
    }
    unsigned char records[kBatchBytes];
    const std::size_t used = fsutil::readTree(fromHandle(jlHandle), records, size < kBatchBytes ? size : kBatchBytes);
    env->SetByteArrayRegion(jbBatch, 0, static_cast<jsize>(used), reinterpret_cast<const jbyte*>(records));
    return static_cast<jint>(used);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_closeTree(JNIEnv* /*env*/, jclass /*jcls*/,
                                                                   jlong jlHandle) {
    fsutil::closeTree(fromHandle(jlHandle));
}

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FileTree_openRead(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    CString shown;
    const int fd = openOrRaise(env, jsPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kOpenPrefix, &shown);
    if (fd < 0) return -1;
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    // Reads block as on any stream: a FIFO without a writer reads as empty.
    const int fl = err == 0 ? fcntl(fd, F_GETFL) : 0;
    if (err == 0 && (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)) err = errno;
    if (err != 0) {
        close(fd);
        raiseOpenFailure(env, kOpenPrefix, shown.get(), err);
        return -1;
    }
    return fd;
}

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FileTree_read(JNIEnv* env, jclass /*jcls*/, jint fd,
                                                              jbyteArray jbBuffer, jint off, jint len) {
    unsigned char buf[32768];
    const std::size_t want = static_cast<std::size_t>(len) < sizeof buf ? static_cast<std::size_t>(len) : sizeof buf;
    ssize_t n;
    do {
        n = read(fd, buf, want);
    } while (n < 0 && errno == EINTR);
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

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FileTree_closeFd(JNIEnv* /*env*/, jclass /*jcls*/, jint fd) {
    close(fd);
}

}  // extern "C"
