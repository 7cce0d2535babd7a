// The natives of FileTree.newInputStream: opening any file the walk reports,
// whatever its path's length or bytes, and reads that close() from another
// thread can end (poll on the file and a wake-up eventfd).
#include <fcntl.h>
#include <jni.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "base/Owned.h"
#include "jni/CallPrefixes.h"
#include "jni/JniPaths.h"
#include "jni/RecordFormat.h"

namespace {

using fsutil::CString;
using fsutil::kOpenPrefix;
using fsutil::raiseOpenFailure;
using namespace fsutil::format;  // NOLINT(google-build-using-namespace): the read codes' own names

// O_NONBLOCK: opening a FIFO must not wait for a writer; reads wait in poll() instead.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// An input stream's handle is no pointer, so nothing is cast: its descriptor in
// the low 32 bits, its wake-up eventfd (or -1) in the high.
jlong toStreamHandle(int fd, int wake) {
    return static_cast<jlong>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(wake)) << 32) |
                              static_cast<std::uint32_t>(fd));
}
int streamFd(jlong jlStream) { return static_cast<int>(static_cast<std::uint32_t>(jlStream)); }
int streamWake(jlong jlStream) { return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(jlStream) >> 32)); }

// The input stream's handle for the open file fd; -1 with an exception pending.
jlong inputOf(JNIEnv* env, fsutil::UniqueFd fd, const char* shown) {
    struct stat st;
    int err = fstat(fd.get(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    // A regular file never makes a read wait for long, so it needs no wake-up descriptor.
    fsutil::UniqueFd wake(err == 0 && !S_ISREG(st.st_mode) ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1);
    if (err == 0 && !wake && !S_ISREG(st.st_mode)) err = errno;
    if (err != 0) {
        raiseOpenFailure(env, kOpenPrefix, shown, err);
        return -1;
    }
    // The handle owns both now, until closeFd.
    return toStreamHandle(fd.release(), wake.release());
}

// The input stream of a path given as a String or as a Path's bytes; -1 with an exception pending.
template <class JPath>
jlong openReadOf(JNIEnv* env, JPath jPath) {
    CString shown;
    const int fd = fsutil::openPath(env, jPath, kReadFlags, kOpenPrefix, &shown);
    return fd < 0 ? -1 : inputOf(env, fsutil::UniqueFd(fd), shown.get());
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_openRead(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    return openReadOf(env, jsPath);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_openReadBytes(JNIEnv* env, jclass /*jcls*/, jbyteArray jbPath) {
    return openReadOf(env, jbPath);
}

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_read(JNIEnv* env, jclass /*jcls*/, jlong jlStream,
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

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_wakeFd(JNIEnv* /*env*/, jclass /*jcls*/, jlong jlStream) {
    const int wake = streamWake(jlStream);
    const std::uint64_t one = 1;
    if (wake >= 0) (void)!write(wake, &one, sizeof one);  // full only after 2^64-1 wake-ups: never
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_closeFd(JNIEnv* /*env*/, jclass /*jcls*/, jlong jlStream) {
    close(streamFd(jlStream));
    if (streamWake(jlStream) >= 0) close(streamWake(jlStream));
}

}  // extern "C"
