// The natives of FileTree.watch: a tree watcher (engine/TreeWatch.h) as a
// handle that owns it and a wake-up eventfd, its changes and failures
// encoded as watch records (RecordFormat.h) and handed to the one reader
// thread in batches.
#include <fcntl.h>
#include <jni.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "base/Grow.h"
#include "base/Owned.h"
#include "engine/TreeWatch.h"
#include "jni/CallPrefixes.h"
#include "jni/JniHandles.h"
#include "jni/JniPaths.h"
#include "jni/RecordFormat.h"

namespace {

using namespace fsutil::format;  // NOLINT(google-build-using-namespace): the records' own names

// How often the root is looked at where its parent could not be watched.
constexpr int kRootCheckMillis = 1000;

// A watch handed to Java: the watcher, what it reported and Java has not yet
// taken, and the eventfd that close() signals to end a read that waits.
struct Watching {
    static constexpr fsutil::HandleKind kKind = fsutil::HandleKind::watch;
    static constexpr char kWhat[] = "watch";
    fsutil::HandleHeader header{kKind};
    fsutil::TreeWatch* watch = nullptr;  // owned: deleted with the handle (freeWatching)
    int wake = -1;                       // owned
    fsutil::Grow<unsigned char> out;     // records not yet handed out, from `at`
    std::size_t at = 0;
};

void freeWatching(Watching* w) {
    w->header.kind = fsutil::HandleKind::gone;
    delete w->watch;
    if (w->wake >= 0) close(w->wake);
    delete w;
}

// 4 bytes, big-endian.
void put32(unsigned char* out, std::size_t v) {
    out[0] = static_cast<unsigned char>(v >> 24);
    out[1] = static_cast<unsigned char>(v >> 16);
    out[2] = static_cast<unsigned char>(v >> 8);
    out[3] = static_cast<unsigned char>(v);
}

std::size_t get32(const unsigned char* in) {
    return (static_cast<std::size_t>(in[0]) << 24) | (static_cast<std::size_t>(in[1]) << 16) |
           (static_cast<std::size_t>(in[2]) << 8) | in[3];
}

// Encodes what the watcher reports into out.
class RecordSink final : public fsutil::ChangeSink {
   public:
    explicit RecordSink(fsutil::Grow<unsigned char>* out) : out_(out) {}

    void change(fsutil::ChangeKind kind, fsutil::EntryType type, const char* path, std::size_t len, const char* from,
                std::size_t fromLen) override {
        put(static_cast<unsigned char>(kind), static_cast<unsigned char>(type), 0, path, len, from, fromLen);
    }

    void failure(const char* path, std::size_t len, int code, const char* text) override {
        put(kWatchFailure, static_cast<unsigned char>(fsutil::contextOf(code)), fsutil::errnoOf(code), path, len, text,
            std::strlen(text));
    }

   private:
    void put(unsigned char kind, unsigned char type, int err, const char* a, std::size_t aLen, const char* b,
             std::size_t bLen) {
        // Out of memory, the record is lost as a kernel overflow loses events; nothing else is.
        if (!out_->reserve(kWatchHeader + aLen + bLen)) return;
        unsigned char* r = out_->data + out_->len;
        r[0] = kind;
        r[kWatchTypeAt] = type;
        put32(r + kWatchErrnoAt, static_cast<unsigned int>(err));
        put32(r + kWatchPathLengthAt, aLen);
        put32(r + kWatchSecondLengthAt, bLen);
        if (aLen > 0) std::memcpy(r + kWatchHeader, a, aLen);
        if (bLen > 0) std::memcpy(r + kWatchHeader + aLen, b, bLen);
        out_->len += kWatchHeader + aLen + bLen;
    }

    fsutil::Grow<unsigned char>* out_;
};

// The watch of a root given as a String or as a Path's bytes, as a handle for FileTree; -1 with an exception pending.
template <class JPath>
jlong watchOf(JNIEnv* env, JPath jRoot, jboolean sameFileSystem) {
    fsutil::CString shown;
    const int fd = fsutil::openPath(env, jRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC, fsutil::kWatchPrefix, &shown);
    if (fd < 0) return -1;
    fsutil::UniqueFd root(fd);
    std::unique_ptr<Watching> w(new (std::nothrow) Watching);
    if (!w) {
        fsutil::raiseNoMemory(env, fsutil::kWatchPrefix);
        return -1;
    }
    w->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w->wake < 0) {
        fsutil::raiseOpenFailure(env, fsutil::kWatchPrefix, shown.get(), errno);
        return -1;
    }
    fsutil::WatchOptions options;
    options.sameFileSystem = sameFileSystem == JNI_TRUE;
    RecordSink sink(&w->out);
    int err = 0;
    std::unique_ptr<fsutil::TreeWatch> watch = fsutil::TreeWatch::open(std::move(root), options, sink, &err);
    if (!watch) {
        char text[160];
        fsutil::watchFailureText(err, text, sizeof text);
        close(w->wake);
        w->wake = -1;
        fsutil::raiseOpenFailure(env, fsutil::kWatchPrefix, shown.get(), err, text);
        return -1;
    }
    w->watch = watch.release();
    return fsutil::toTypedHandle(w.release());
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_watchOpen(JNIEnv* env, jclass /*jcls*/, jstring jsRoot,
                                                                             jboolean sameFileSystem) {
    return watchOf(env, jsRoot, sameFileSystem);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_watchOpenBytes(JNIEnv* env, jclass /*jcls*/,
                                                                                  jbyteArray jbRoot, jboolean sameFileSystem) {
    return watchOf(env, jbRoot, sameFileSystem);
}

// Fills batch with whole watch records, at most maxRecords of them, waiting
// for some when wait is set (until close() signals). The bytes filled; 0
// when woken or, without wait, when none is ready; kWatchEnded once the
// watch has ended; -(the size needed) when the next record does not fit.
JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_watchRead(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                            jbyteArray jbBatch, jint maxRecords,
                                                                            jboolean wait) {
    Watching* watching = fsutil::handleOf<Watching>(env, jlHandle, "[FileTree.watchRead]");
    if (!watching || !jbBatch) return 0;
    Watching& w = *watching;
    RecordSink sink(&w.out);
    while (w.at == w.out.len) {
        w.out.len = w.at = 0;
        if (w.watch->ended()) return kWatchEnded;
        if (wait != JNI_TRUE) return 0;
        if (!w.watch->due()) {
            struct pollfd p[2] = {{w.watch->fd(), POLLIN, 0}, {w.wake, POLLIN, 0}};
            const int ready = poll(p, 2, w.watch->rootTold() ? -1 : kRootCheckMillis);
            if (ready < 0) continue;  // EINTR
            if (p[1].revents != 0) return 0;
            if (ready == 0) {
                w.watch->check(sink);
                continue;
            }
        }
        w.watch->process(sink);
    }
    const auto size = static_cast<std::size_t>(env->GetArrayLength(jbBatch));
    std::size_t used = 0;
    jint records = 0;
    while (w.at + used < w.out.len && records < maxRecords) {
        const unsigned char* r = w.out.data + w.at + used;
        const std::size_t len = kWatchHeader + get32(r + kWatchPathLengthAt) + get32(r + kWatchSecondLengthAt);
        if (used + len > size) {
            if (used == 0) return -static_cast<jint>(len);
            break;
        }
        used += len;
        ++records;
    }
    env->SetByteArrayRegion(jbBatch, 0, static_cast<jsize>(used), reinterpret_cast<const jbyte*>(w.out.data + w.at));
    w.at += used;
    return static_cast<jint>(used);
}

// The consumer's queue is full: what the kernel holds is dropped and the tree read again.
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_watchOverflow(JNIEnv* env, jclass /*jcls*/,
                                                                                jlong jlHandle) {
    if (Watching* w = fsutil::handleOf<Watching>(env, jlHandle, "[FileTree.watchOverflow]")) w->watch->overflow();
}

// Ends a read that waits; called with the reader inside, never frees.
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_watchWake(JNIEnv* env, jclass /*jcls*/, jlong jlHandle) {
    if (const Watching* w = fsutil::handleOf<Watching>(env, jlHandle, "[FileTree.watchWake]")) {
        const eventfd_t one = 1;
        (void)eventfd_write(w->wake, one);
    }
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_watchClose(JNIEnv* env, jclass /*jcls*/, jlong jlHandle) {
    if (Watching* w = fsutil::handleOf<Watching>(env, jlHandle, "[FileTree.watchClose]")) freeWatching(w);
}

}  // extern "C"
