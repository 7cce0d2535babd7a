// The published listing natives of FolderIteratorNix (getFirstFile,
// getNextFile, closeFileHandle: the handle is the bare DIR*) with their
// registry of streams beside a mount point, and the directory opening that
// the batch listing shares.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "engine/DirEntries.h"
#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "JniUtil/PathResolve.h"
#include "base/Owned.h"
#include "UNIXFileSysUtil/UNIXFileSysUtil.h"
#include "UNIXFileSysUtil/UnixNatives.h"

using fsutil::Charset;
using fsutil::CString;

namespace fsutil {

jlong toHandle(const void* p) { return static_cast<jlong>(reinterpret_cast<std::intptr_t>(p)); }

// A directory stream of a path at any length (opendir alone stops at PATH_MAX).
DIR* openDirectory(const char* path) {
    if (std::strlen(path) < PATH_MAX) return opendir(path);
    UniqueFd fd(fsutil::openNativePath(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* dir = fd ? fdopendir(fd.get()) : nullptr;
    if (dir) (void)fd.release();  // the stream's now
    return dir;
}

DIR* openOrRaise(JNIEnv* env, const char* szListDir) {
    errno = 0;
    DIR* dir = openDirectory(szListDir);
    if (!dir) {
        raisePathError(env, "[UNIXFileSysUtil.getFirstFile] Fail to get first file of '", szListDir, errno);
    }
    return dir;
}

}  // namespace fsutil

namespace {

using fsutil::openOrRaise;
using fsutil::raiseNoMemory;
using fsutil::toHandle;

// The handle carries the stream's address by contract; there is no table to look it up in.
DIR* fromHandle(jlong jlHandle) {
    return reinterpret_cast<DIR*>(static_cast<std::intptr_t>(jlHandle));  // NOLINT(performance-no-int-to-ptr)
}

// Streams of the contract natives whose directory holds a mount point, so
// that getNextFile, which gets only the bare DIR*, stats their entries too.
// Rare; the count lets every other getNextFile pass without the lock.
std::mutex statEachLock;
std::atomic<std::size_t> statEachCount{0};
DIR** statEachStreams = nullptr;
std::size_t statEachCapacity = 0;

bool rememberStatEach(DIR* dir) {
    const std::lock_guard<std::mutex> lock(statEachLock);
    const std::size_t n = statEachCount.load(std::memory_order_relaxed);
    if (n == statEachCapacity) {
        const std::size_t cap = statEachCapacity == 0 ? 16 : statEachCapacity * 2;
        auto* grown = static_cast<DIR**>(std::realloc(statEachStreams, cap * sizeof(DIR*)));
        if (!grown) return false;
        statEachStreams = grown;
        statEachCapacity = cap;
    }
    statEachStreams[n] = dir;
    statEachCount.store(n + 1, std::memory_order_release);
    return true;
}

fsutil::TypeRoad roadOf(DIR* dir) {
    if (statEachCount.load(std::memory_order_acquire) == 0) return fsutil::TypeRoad::dType;
    const std::lock_guard<std::mutex> lock(statEachLock);
    const std::size_t n = statEachCount.load(std::memory_order_relaxed);
    for (std::size_t k = 0; k < n; ++k) {
        if (statEachStreams[k] == dir) return fsutil::TypeRoad::statEach;
    }
    return fsutil::TypeRoad::dType;
}

// Every close of a contract stream comes here, so that a later stream at the same address starts clean.
void closeStream(DIR* dir) {
    if (statEachCount.load(std::memory_order_acquire) != 0) {
        const std::lock_guard<std::mutex> lock(statEachLock);
        const std::size_t n = statEachCount.load(std::memory_order_relaxed);
        for (std::size_t k = 0; k < n; ++k) {
            if (statEachStreams[k] == dir) {
                statEachStreams[k] = statEachStreams[n - 1];
                statEachCount.store(n - 1, std::memory_order_release);
                break;
            }
        }
    }
    closedir(dir);
}

jlong getFirstFile(JNIEnv* env, const char* szListDir, jobject jStringBuffer, Charset& cs) {
    DIR* dir = openOrRaise(env, szListDir);
    if (!dir) return -1;
    const fsutil::TypeRoad road = fsutil::typeRoad(dir);
    fsutil::EntryType type;
    const struct dirent64* entry = fsutil::nextEntry(dir, road, &type);
    if (!entry) {
        closedir(dir);
        return -1;
    }
    // From here every failure closes the stream: -1 means nothing stays open.
    jstring jsFileName = fsutil::javaFilePath(env, entry->d_name, cs);
    if (!jsFileName) {
        closedir(dir);
        return -1;
    }
    jclass jcls = env->GetObjectClass(jStringBuffer);
    jmethodID jmid = env->GetMethodID(jcls, "append", "(Ljava/lang/String;)Ljava/lang/StringBuffer;");
    if (jmid) {
        jobject self = env->CallObjectMethod(jStringBuffer, jmid, jsFileName);
        env->DeleteLocalRef(self);
    }
    env->DeleteLocalRef(jcls);
    env->DeleteLocalRef(jsFileName);
    if (!jmid || env->ExceptionCheck()) {
        closedir(dir);
        return -1;
    }
    if (road == fsutil::TypeRoad::statEach && !rememberStatEach(dir)) {
        closedir(dir);
        raiseNoMemory(env, "[UNIXFileSysUtil.getFirstFile] ");
        return -1;
    }
    return toHandle(dir);
}

jstring getNextFile(JNIEnv* env, jlong jlHandle, Charset& cs) {
    DIR* dir = fromHandle(jlHandle);
    fsutil::EntryType type;
    const struct dirent64* entry = fsutil::nextEntry(dir, roadOf(dir), &type);
    if (!entry) {
        closeStream(dir);
        return nullptr;
    }
    return fsutil::javaFilePath(env, entry->d_name, cs);
}

void closeFileHandle(jlong jlHandle) {
    // -1 means no stream; 0 is never a stream. Anything else is trusted.
    if (jlHandle != -1 && jlHandle != 0) closeStream(fromHandle(jlHandle));
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(JNIEnv* env, jobject /*jobj*/,
                                                                                jstring jsPath,
                                                                                jobject jStringBuffer) {
    if (!jsPath || !jStringBuffer) {
        throwException(env, "java/lang/NullPointerException",
                       jsPath ? "[UNIXFileSysUtil.getFirstFile] buffer is null"
                              : "[UNIXFileSysUtil.getFirstFile] path is null");
        return -1;
    }
    if (fsutil::hasNul(env, jsPath)) {
        throwIOException(env, "[UNIXFileSysUtil.getFirstFile] Nul character not allowed in the path");
        return -1;
    }
    Charset cs = Charset::unresolved;
    CString szListDir(fsutil::nativeFilePath(env, jsPath, cs));
    if (!szListDir) return -1;
    return getFirstFile(env, szListDir.get(), jStringBuffer, cs);
}

JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(JNIEnv* env, jobject /*jobj*/,
                                                                                 jlong jlHandle, jstring jsListDir) {
    // Null with an exception pending keeps the stream open and the handle valid.
    if (!jsListDir) {
        throwException(env, "java/lang/NullPointerException", "[UNIXFileSysUtil.getNextFile] path is null");
        return nullptr;
    }
    // The stream alone types its entries (d_type, or fstatat relative to it),
    // so the directory path is not converted again.
    Charset cs = Charset::unresolved;
    return getNextFile(env, jlHandle, cs);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(JNIEnv* /*env*/, jobject /*jobj*/,
                                                                                  jlong jlHandle) {
    closeFileHandle(jlHandle);
}

}  // extern "C"
