// The natives behind FileTree: the recursive walk handed to Java in batches,
// and reading any file the walk reports, whatever its path's length or bytes.
#include <fcntl.h>
#include <jni.h>
#include <poll.h>
#include <sys/eventfd.h>
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

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FileTree_openRead(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; reads wait in poll() instead.
    CString shown;
    const int fd = openOrRaise(env, jsPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kOpenPrefix, &shown);
    if (fd < 0) return -1;
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    // A regular file never makes a read wait for long, so it needs no wake-up descriptor.
    const int wake = err == 0 && !S_ISREG(st.st_mode) ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (err == 0 && wake < 0 && !S_ISREG(st.st_mode)) err = errno;
    if (err != 0) {
        close(fd);
        raiseOpenFailure(env, kOpenPrefix, shown.get(), err);
        return -1;
    }
    return toStreamHandle(fd, wake);
}

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
