// File-system services seen by Java: statvfs statistics and the directory walk.
#include "UNIXFileSysUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <mutex>

#include "DirEntries.h"
#include "JniInternal.h"
#include "JniUtil.h"

using fsutil::Charset;
using fsutil::CString;

JNIEXPORT char codepage[1024];

namespace {
std::once_flag codepageOnce;

// Publishes the codeset name in the exported `codepage`, once; a name that a
// native caller stored there first is kept.
const char* codepageName() {
    std::call_once(codepageOnce, [] {
        if (codepage[0] == '\0') fsutil::formatMessage(codepage, sizeof codepage, "%s", fsutil::localeCodeset());
    });
    return codepage;
}
}  // namespace

namespace {

// A JVM reads NewStringUTF input as modified UTF-8. A message may hold a
// path in another codeset; each byte that is not part of a well-formed
// sequence is carried over as the character of the same value (its
// ISO-8859-1 reading), so nothing undefined reaches the VM.
void toModifiedUtf8(const char* in, char* out, std::size_t outSize) {
    const auto* s = reinterpret_cast<const unsigned char*>(in);
    std::size_t o = 0;
    auto cont = [&](std::size_t k) { return (s[k] & 0xC0) == 0x80; };
    for (std::size_t i = 0; s[i] != '\0';) {
        std::size_t n = 0;
        if (s[i] < 0x80) {
            n = 1;
        } else if (s[i] >= 0xC0 && s[i] <= 0xDF && cont(i + 1)) {
            n = 2;
        } else if (s[i] >= 0xE0 && s[i] <= 0xEF && cont(i + 1) && cont(i + 2)) {
            n = 3;
        }
        if (n > 0) {
            if (o + n >= outSize) break;
            std::memcpy(out + o, s + i, n);
            o += n;
            i += n;
        } else {
            if (o + 2 >= outSize) break;
            out[o++] = static_cast<char>(0xC0 | (s[i] >> 6));
            out[o++] = static_cast<char>(0x80 | (s[i] & 0x3F));
            ++i;
        }
    }
    out[o] = '\0';
}

void raiseIOExpt(JNIEnv* env, const char* cErrMsg, jthrowable cause) {
    char acUtf[2 * 1024 + 1];
    toModifiedUtf8(cErrMsg ? cErrMsg : "", acUtf, sizeof acUtf);
    jstring jsMsg = env->NewStringUTF(acUtf);
    if (!jsMsg) return;
    jclass jcls = env->FindClass("java/io/IOException");
    jmethodID jmid = jcls ? env->GetMethodID(jcls, "<init>", "(Ljava/lang/String;)V") : nullptr;
    if (jmid) fsutil::raise(env, jcls, jmid, jsMsg, cause);
    env->DeleteLocalRef(jsMsg);
    env->DeleteLocalRef(jcls);
}

// The failure road of getFileSysStat: a VM error left pending by the step
// that failed becomes the cause of the IOException, so Java sees one
// exception that names the step.
jobject failStat(JNIEnv* env, const char* errMsg, jthrowable cause) {
    raiseIOExpt(env, errMsg, cause);
    env->DeleteLocalRef(cause);
    return nullptr;
}

constexpr char kStatPrefix[] = "[UNIXFileSysUtil.getFileSysStat] ";

// statvfs64 of a path at any length: past PATH_MAX, of the entry opened component by component.
int statvfsAnyLength(const char* path, struct statvfs64* buf) {
    if (std::strlen(path) < PATH_MAX) return statvfs64(path, buf);
    const int fd = fsutil::openNativePath(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return -1;
    const int rc = fstatvfs64(fd, buf);
    const int err = errno;
    close(fd);
    errno = err;
    return rc;
}

// ---- directory walk -------------------------------------------------------

jlong toHandle(const void* p) { return static_cast<jlong>(reinterpret_cast<std::intptr_t>(p)); }

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

// A directory stream of a path at any length (opendir alone stops at PATH_MAX).
DIR* openDirectory(const char* path) {
    if (std::strlen(path) < PATH_MAX) return opendir(path);
    const int fd = fsutil::openNativePath(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir && fd >= 0) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return dir;
}

// "<head> '<path>'. Error='<reason>'" into buf, the path shortened in its middle where it must be.
void formatPathError(char* buf, std::size_t size, const char* head, const char* path, int err) {
    char tail[320];
    fsutil::formatMessage(tail, sizeof tail, "'. Error='%s'", std::strerror(err));
    fsutil::formatPathMessage(buf, size, head, path, tail);
}

DIR* openOrRaise(JNIEnv* env, const char* szListDir) {
    errno = 0;
    DIR* dir = openDirectory(szListDir);
    if (!dir) {
        const int err = errno;
        char szMsg[512];
        formatPathError(szMsg, sizeof szMsg, "[UNIXFileSysUtil.getFirstFile] Fail to get first file of '", szListDir, err);
        if (err == ENOENT) {
            throwFileNotFoundException(env, szMsg);
        } else {
            throwIOException(env, szMsg);
        }
    }
    return dir;
}

void raiseNoMemory(JNIEnv* env, const char* what) {
    if (!env->ExceptionCheck()) throwException(env, "java/lang/OutOfMemoryError", what);
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
        raiseNoMemory(env, "[UNIXFileSysUtil.getFirstFile] no memory");
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

// ---- batches for the Java iterator ------------------------------------------
// A batch stream is ours alone (never a contract handle), so it carries what
// its opening learnt about the directory. Records in the caller's byte[]:
// type (1 byte, fsutil::EntryType), name length (2 bytes, big-endian), the
// name's bytes as the directory gave them.

struct BatchStream {
    DIR* dir;
    fsutil::TypeRoad road;
};

constexpr std::size_t kBatchBytes = 16384;
constexpr std::size_t kMaxRecord = 3 + sizeof(dirent64::d_name);

jlong openBatchOf(JNIEnv* env, const char* szListDir);

BatchStream* fromBatchHandle(jlong jlHandle) {
    return reinterpret_cast<BatchStream*>(static_cast<std::intptr_t>(jlHandle));  // NOLINT(performance-no-int-to-ptr)
}

// readLinkTarget at any length: past PATH_MAX, of the link opened itself, component by component.
int readLinkAnyLength(const char* path, char** target) {
    if (std::strlen(path) < PATH_MAX) return readLinkTarget(path, target);
    const int fd = fsutil::openNativePath(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = -1;
    for (std::size_t size = 512; size <= 65536; size *= 2) {
        CString buffer(static_cast<char*>(std::malloc(size)));
        if (!buffer) break;
        const ssize_t n = readlinkat(fd, "", buffer.get(), size);  // "" reads the link fd names
        if (n < 0) break;
        if (static_cast<std::size_t>(n) < size) {
            buffer.get()[n] = '\0';
            *target = buffer.release();
            rc = 0;
            break;
        }
    }
    const int err = errno;
    close(fd);
    errno = err;
    return rc;
}

}  // namespace

extern "C" {

JNIEXPORT char* convert(JNIEnv* env, jstring jsPath) {
    if (!jsPath) return nullptr;
    if (std::strcmp(codepageName(), "UTF-8") == 0) {
        const char* utf = env->GetStringUTFChars(jsPath, nullptr);
        if (!utf) return nullptr;
        const std::size_t len = std::strlen(utf);
        char* out = static_cast<char*>(std::malloc(len + 1));
        if (out) std::memcpy(out, utf, len + 1);
        env->ReleaseStringUTFChars(jsPath, utf);
        return out;
    }
    jclass jcls = env->FindClass("java/lang/String");
    if (!jcls) return nullptr;
    jmethodID jmid = env->GetMethodID(jcls, "getBytes", "(Ljava/lang/String;)[B");
    env->DeleteLocalRef(jcls);
    if (!jmid) return nullptr;
    jstring jsCharset = env->NewStringUTF(codepage);
    if (!jsCharset) return nullptr;
    auto bytes = static_cast<jbyteArray>(env->CallObjectMethod(jsPath, jmid, jsCharset));
    env->DeleteLocalRef(jsCharset);
    if (!bytes || env->ExceptionCheck()) return nullptr;
    const jsize len = env->GetArrayLength(bytes);
    char* out = nullptr;
    if (jbyte* elems = env->GetByteArrayElements(bytes, nullptr)) {
        // A NUL inside the path would silently name a shorter path: refuse it.
        if (!std::memchr(elems, 0, static_cast<std::size_t>(len))) {
            out = static_cast<char*>(std::malloc(static_cast<std::size_t>(len) + 1));
            if (out) {
                std::memcpy(out, elems, static_cast<std::size_t>(len));
                out[len] = '\0';
            }
        }
        env->ReleaseByteArrayElements(bytes, elems, 0);
    }
    env->DeleteLocalRef(bytes);
    return out;
}

JNIEXPORT void throwIOExpt(JNIEnv* env, const char* cErrMsg) {
    jthrowable cause = nullptr;
    if (!fsutil::takePending(env, &cause)) return;
    raiseIOExpt(env, cErrMsg, cause);
    env->DeleteLocalRef(cause);
}

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
        formatPathError(errMsg, sizeof errMsg, "[UNIXFileSysUtil.getFileSysStat] statvfs failed for '", convertedStr.get(),
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

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_openBatch(JNIEnv* env, jclass /*jcls*/,
                                                                             jstring jsPath) {
    if (!jsPath) {
        throwException(env, "java/lang/NullPointerException", "[UNIXFileSysUtil.openBatch] path is null");
        return -1;
    }
    Charset cs = Charset::unresolved;
    CString szListDir(fsutil::resolvedPath(env, jsPath, cs));
    if (!szListDir) {
        raiseNoMemory(env, "[UNIXFileSysUtil.openBatch] no memory");
        return -1;
    }
    return openBatchOf(env, szListDir.get());
}

// A directory given as its bytes (a java.nio.file.Path's own), listed as they are.
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_openBatchBytes(JNIEnv* env, jclass /*jcls*/,
                                                                                  jbyteArray jbPath) {
    CString szListDir(fsutil::bytesPath(env, jbPath, "[UNIXFileSysUtil.openBatch] "));
    return szListDir ? openBatchOf(env, szListDir.get()) : -1;
}

}  // extern "C"

namespace {

// The batch stream of the native path szListDir; -1 with an exception pending.
jlong openBatchOf(JNIEnv* env, const char* szListDir) {
    auto* stream = static_cast<BatchStream*>(std::malloc(sizeof(BatchStream)));
    if (!stream) {
        raiseNoMemory(env, "[UNIXFileSysUtil.openBatch] no memory");
        return -1;
    }
    stream->dir = openOrRaise(env, szListDir);
    if (!stream->dir) {
        std::free(stream);
        return -1;
    }
    stream->road = fsutil::typeRoad(stream->dir);
    return toHandle(stream);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_readBatch(JNIEnv* env, jclass /*jcls*/,
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
    BatchStream* stream = fromBatchHandle(jlHandle);
    unsigned char records[kBatchBytes];
    std::size_t used = 0;
    fsutil::EntryType type;
    while (used + kMaxRecord <= budget) {
        const struct dirent64* entry = fsutil::nextEntry(stream->dir, stream->road, &type);
        if (!entry) break;
        const std::size_t len = std::strlen(entry->d_name);
        records[used] = static_cast<unsigned char>(type);
        records[used + 1] = static_cast<unsigned char>(len >> 8);
        records[used + 2] = static_cast<unsigned char>(len & 0xFF);
        std::memcpy(records + used + 3, entry->d_name, len);
        used += 3 + len;
    }
    env->SetByteArrayRegion(jbBatch, 0, static_cast<jsize>(used), reinterpret_cast<const jbyte*>(records));
    return static_cast<jint>(used);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeBatch(JNIEnv* /*env*/, jclass /*jcls*/,
                                                                             jlong jlHandle) {
    if (jlHandle == -1 || jlHandle == 0) return;
    BatchStream* stream = fromBatchHandle(jlHandle);
    closedir(stream->dir);
    std::free(stream);
}

// Small natives behind the command-line tool.

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeFs_nativePath(JNIEnv* env, jclass /*jcls*/,
                                                                          jstring jsPath) {
    if (!jsPath) {
        throwException(env, "java/lang/NullPointerException", "[UNIXFileSysUtil.nativePath] path is null");
        return nullptr;
    }
    if (fsutil::refuseNul(env, jsPath)) return nullptr;
    CString szPath(getNativeFilePath(env, jsPath));
    if (!szPath) return nullptr;
    const auto len = static_cast<jsize>(std::strlen(szPath.get()));
    jbyteArray bytes = env->NewByteArray(len);
    if (bytes) env->SetByteArrayRegion(bytes, 0, len, reinterpret_cast<const jbyte*>(szPath.get()));
    return bytes;
}

JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_NativeFs_readLink(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    if (!jsPath) {
        throwException(env, "java/lang/NullPointerException", "[UNIXFileSysUtil.readLink] path is null");
        return nullptr;
    }
    Charset cs = Charset::unresolved;
    CString szPath(fsutil::resolvedPath(env, jsPath, cs));
    if (!szPath) return nullptr;
    char* pszTarget = nullptr;
    if (readLinkAnyLength(szPath.get(), &pszTarget) != 0) {
        const int err = errno;
        char szMsg[512];
        formatPathError(szMsg, sizeof szMsg, "[UNIXFileSysUtil.readLink] Fail to read link '", szPath.get(), err);
        if (err == ENOENT) {
            throwFileNotFoundException(env, szMsg);
        } else {
            throwIOException(env, szMsg);
        }
        return nullptr;
    }
    CString target(pszTarget);
    return getJavaFilePath(env, target.get());
}

JNIEXPORT jboolean JNICALL Java_com_orvan_mek_fsutil_NativeFs_isDirectory(JNIEnv* env, jclass /*jcls*/,
                                                                         jstring jsPath) {
    if (!jsPath) {
        throwException(env, "java/lang/NullPointerException", "[UNIXFileSysUtil.isDirectory] path is null");
        return JNI_FALSE;
    }
    Charset cs = Charset::unresolved;
    CString szPath(fsutil::resolvedPath(env, jsPath, cs));
    struct stat st;
    return szPath && fsutil::lstatNativePath(szPath.get(), &st) == 0 && S_ISDIR(st.st_mode) ? JNI_TRUE : JNI_FALSE;
}

}  // extern "C"
