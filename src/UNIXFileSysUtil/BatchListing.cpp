// The batch listing behind FolderIteratorNix: a stream of our own per
// iterator, read into the caller's byte[] as listing records (RecordFormat.h).
#include <dirent.h>

#include <cstdint>
#include <cstdlib>

#include "engine/DirEntries.h"
#include "jni/RecordFormat.h"
#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "jni/JniHandles.h"
#include "jni/JniPaths.h"
#include "UNIXFileSysUtil/UNIXFileSysUtil.h"
#include "UNIXFileSysUtil/UnixNatives.h"

using fsutil::Charset;
using fsutil::CString;
using fsutil::openOrRaise;
using fsutil::raiseNoMemory;

namespace {

constexpr char kOpenBatchPrefix[] = "[UNIXFileSysUtil.openBatch] ";

// ---- batches for the Java iterator ------------------------------------------
// A batch stream is ours alone (never a contract handle), so it carries what
// its opening learnt about the directory. Records in the caller's byte[]:
// type (1 byte, fsutil::EntryType), name length (2 bytes, big-endian), the
// name's bytes as the directory gave them.

struct BatchStream {
    static constexpr fsutil::HandleKind kKind = fsutil::HandleKind::listing;
    static constexpr char kWhat[] = "listing";
    fsutil::HandleHeader header;
    DIR* dir;
    fsutil::TypeRoad road;
};

constexpr std::size_t kBatchBytes = fsutil::format::kListBatch;
constexpr std::size_t kListHeader = fsutil::format::kListHeader;
constexpr std::size_t kMaxRecord = kListHeader + sizeof(dirent64::d_name);

jlong openBatchOf(JNIEnv* env, const char* szListDir);


}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_openBatch(JNIEnv* env, jclass /*jcls*/,
                                                                             jstring jsPath) {
    CString szListDir;
    return fsutil::pathOf(env, jsPath, kOpenBatchPrefix, &szListDir) ? openBatchOf(env, szListDir.get()) : -1;
}

// A directory given as its bytes (a java.nio.file.Path's own), listed as they are.
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_openBatchBytes(JNIEnv* env, jclass /*jcls*/,
                                                                                  jbyteArray jbPath) {
    CString szListDir;
    return fsutil::pathOf(env, jbPath, kOpenBatchPrefix, &szListDir) ? openBatchOf(env, szListDir.get()) : -1;
}

}  // extern "C"

namespace {

// The batch stream of the native path szListDir; -1 with an exception pending.
jlong openBatchOf(JNIEnv* env, const char* szListDir) {
    auto* stream = static_cast<BatchStream*>(std::malloc(sizeof(BatchStream)));
    if (!stream) {
        raiseNoMemory(env, kOpenBatchPrefix);
        return -1;
    }
    stream->dir = openOrRaise(env, szListDir);
    if (!stream->dir) {
        std::free(stream);
        return -1;
    }
    stream->road = fsutil::typeRoad(stream->dir);
    stream->header.kind = BatchStream::kKind;
    return fsutil::toTypedHandle(stream);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_readBatch(JNIEnv* env, jclass /*jcls*/,
                                                                            jlong jlHandle, jbyteArray jbBatch) {
    if (!jbBatch) {
        throwException(env, "java/lang/NullPointerException", "[UNIXFileSysUtil.readBatch] buffer is null");
        return -1;
    }
    const auto size = static_cast<std::size_t>(env->GetArrayLength(jbBatch));
    // Checked before reading: an entry taken from the stream always fits, so none is lost.
    if (size < kMaxRecord) {
        throwException(env, "java/lang/IllegalArgumentException", "[UNIXFileSysUtil.readBatch] buffer too small");
        return -1;
    }
    const std::size_t budget = size < kBatchBytes ? size : kBatchBytes;
    BatchStream* stream = fsutil::handleOf<BatchStream>(env, jlHandle, "[UNIXFileSysUtil.readBatch]");
    if (!stream) return -1;
    unsigned char records[kBatchBytes];
    std::size_t used = 0;
    fsutil::EntryType type;
    while (used + kMaxRecord <= budget) {
        const struct dirent64* entry = fsutil::nextEntry(stream->dir, stream->road, &type);
        if (!entry) break;
        const std::size_t len = std::strlen(entry->d_name);
        records[used] = static_cast<unsigned char>(type);
        records[used + fsutil::format::kListNameLengthAt] = static_cast<unsigned char>(len >> 8);
        records[used + fsutil::format::kListNameLengthAt + 1] = static_cast<unsigned char>(len & 0xFF);
        std::memcpy(records + used + kListHeader, entry->d_name, len);
        used += kListHeader + len;
    }
    env->SetByteArrayRegion(jbBatch, 0, static_cast<jsize>(used), reinterpret_cast<const jbyte*>(records));
    return static_cast<jint>(used);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_closeBatch(JNIEnv* env, jclass /*jcls*/,
                                                                             jlong jlHandle) {
    if (jlHandle == -1 || jlHandle == 0) return;
    BatchStream* stream = fsutil::handleOf<BatchStream>(env, jlHandle, "[UNIXFileSysUtil.closeBatch]");
    if (!stream) return;
    stream->header.kind = fsutil::HandleKind::gone;
    closedir(stream->dir);
    std::free(stream);
}

}  // extern "C"
