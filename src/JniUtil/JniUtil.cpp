// JNI utility layer, the exported contract functions: string conversion,
// exception raising, file-name negotiation, stat wrappers and file primitives,
// with the string forms behind them (JniStrings.h). The charset fast paths
// they use live in Charsets.
#include "JniUtil/JniUtil.h"

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"

namespace fsutil {

namespace {

constexpr char kStringClass[] = "java/lang/String";
constexpr std::size_t kMsgSize = 512;
void capacityDiagnostic(const char* function) {
    char line[128];
    formatMessage(line, sizeof line, "[%s] EnsureLocalCapacity failed", function);
    printDiagnostic(line);
}

// EnsureLocalCapacity(2) with the diagnostic that every conversion prints
// when the VM refuses.
bool ensureCapacity(JNIEnv* env, const char* function) {
    if (env->EnsureLocalCapacity(2) < 0) {
        capacityDiagnostic(function);
        return false;
    }
    return true;
}

jstring newStringThroughJava(JNIEnv* env, const char* str, jsize len, const char* charset) {
    jbyteArray bytes = env->NewByteArray(len);
    if (!bytes) return nullptr;
    jclass cls = env->FindClass(kStringClass);
    if (!cls) {
        env->DeleteLocalRef(bytes);
        return nullptr;
    }
    jmethodID ctor = env->GetMethodID(cls, "<init>", charset ? "([BLjava/lang/String;)V" : "([B)V");
    jstring result = nullptr;
    if (ctor) {
        env->SetByteArrayRegion(bytes, 0, len, reinterpret_cast<const jbyte*>(str));
        if (!charset) {
            result = static_cast<jstring>(env->NewObject(cls, ctor, bytes));
        } else if (jstring jsCharset = env->NewStringUTF(charset)) {
            result = static_cast<jstring>(env->NewObject(cls, ctor, bytes, jsCharset));
            env->DeleteLocalRef(jsCharset);
        }
    }
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(bytes);
    return result;
}

char* stringCharsThroughJava(JNIEnv* env, jstring jstr, const char* charset) {
    jclass cls = env->FindClass(kStringClass);
    if (!cls) return nullptr;
    jmethodID getBytes = env->GetMethodID(cls, "getBytes", charset ? "(Ljava/lang/String;)[B" : "()[B");
    jbyteArray bytes = nullptr;
    if (getBytes) {
        if (!charset) {
            bytes = static_cast<jbyteArray>(env->CallObjectMethod(jstr, getBytes));
        } else if (jstring jsCharset = env->NewStringUTF(charset)) {
            bytes = static_cast<jbyteArray>(env->CallObjectMethod(jstr, getBytes, jsCharset));
            env->DeleteLocalRef(jsCharset);
        }
    }
    env->DeleteLocalRef(cls);
    if (!bytes || env->ExceptionCheck()) return nullptr;
    const jsize len = env->GetArrayLength(bytes);
    char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(len) + 1));
    if (out) {
        env->GetByteArrayRegion(bytes, 0, len, reinterpret_cast<jbyte*>(out));
        out[len] = '\0';
    }
    env->DeleteLocalRef(bytes);
    return out;
}

// The probe behind getNativeFilePath: 0 when open(path, O_RDONLY) would
// succeed, else the errno it would fail with. A plain blocking open would
// wait for a writer on a FIFO and may act on a device (rewind a tape,
// become the controlling tty), so FIFOs are opened without blocking and
// devices are judged by their permissions instead of being opened.
int probeOpen(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno;
    switch (st.st_mode & S_IFMT) {
        case S_IFSOCK:
            return ENXIO;  // what open() reports for a socket
        case S_IFCHR:
        case S_IFBLK:
            return faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) == 0 ? 0 : errno;
        default:
            break;
    }
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    closeFile(fd);
    return 0;
}

struct StatError {
    int err;
    const char* text;
};

constexpr StatError kStatErrors[] = {
    {EACCES, "'. Search permission is denied for one of the directories in the path prefix of path."},
    {EBADF, "'. filedes is bad."},
    {EFAULT, "'. Bad address."},
    {ELOOP, "'. Too many symbolic links encountered while traversing the path. "},
    {ENAMETOOLONG, "'. File name too long."},
    {ENOENT, "'. A component of the path does not exist, or the path is an empty string."},
    {ENOMEM, "'. Out of memory (i.e. kernel memory)."},
    {ENOTDIR, "'. A component of the path is not a directory."},
};

void throwStatError(JNIEnv* env, int iErr, const char* acPath, const char* acPrefix) {
    const char* text = "";
    char other[kMsgSize];
    if (iErr != 0) {
        formatMessage(other, sizeof other, "'. %s", std::strerror(iErr));
        text = other;
        for (const StatError& e : kStatErrors) {
            if (e.err == iErr) text = e.text;
        }
    }
    char head[kMsgSize];
    formatMessage(head, sizeof head, "%s stat() failed on  '", acPrefix);
    char szMsg[kMsgSize];
    formatPathMessage(szMsg, sizeof szMsg, head, acPath ? acPath : "(null)", text);
    throwIOException(env, szMsg);
}

using StatFn = int (*)(const char*, struct stat*);

int statWith(JNIEnv* env, StatFn fn, const char* prefix, const char* acPath, struct stat* pStatbuf,
             int iThrowExpt) {
    const int iStatus = acPath ? fn(acPath, pStatbuf) : (errno = EFAULT, -1);
    if (iStatus != 0 && iThrowExpt != 0) throwStatError(env, errno, acPath, prefix);
    return iStatus;
}

int plainStat(const char* path, struct stat* st) { return stat(path, st); }
int plainLstat(const char* path, struct stat* st) { return lstat(path, st); }

}  // namespace

jstring newStringNative(JNIEnv* env, const char* str, Charset& cs) {
    if (!str) return nullptr;
    if (!ensureCapacity(env, "JNU_NewStringNative")) return nullptr;
    const std::size_t len = std::strlen(str);
    if (len > static_cast<std::size_t>(INT32_MAX)) return nullptr;
    if (isAsciiBytes(str, len) && asciiTransparent()) return env->NewStringUTF(str);
    if (!resolveDefaultCharset(env, cs)) return nullptr;
    bool done = false;
    jstring fast = decodeKnown(env, str, len, cs, &done);
    if (done) return fast;
    return newStringThroughJava(env, str, static_cast<jsize>(len), nullptr);
}

char* stringNativeChars(JNIEnv* env, jstring jstr, Charset& cs) {
    if (!jstr) return nullptr;
    if (!ensureCapacity(env, "JNU_GetStringNativeChars")) return nullptr;
    Chars chars;
    if (!loadChars(env, jstr, chars)) return nullptr;
    if (isAsciiChars(chars.data, chars.len) && asciiTransparent()) return copyAscii(chars.data, chars.len);
    if (!resolveDefaultCharset(env, cs)) return nullptr;
    if (cs == Charset::latin1 || cs == Charset::ascii || cs == Charset::utf8) {
        if (cs != Charset::utf8) return encodeSingleByte(chars, cs == Charset::latin1 ? 0x100 : 0x80);
        bool hasSurrogates = false;
        char* out = encodeUtf8Bmp(chars, &hasSurrogates);
        if (!hasSurrogates) return out;
    }
    return stringCharsThroughJava(env, jstr, nullptr);
}

jstring javaFilePath(JNIEnv* env, const char* szNativeFilePath, Charset& cs) {
    if (!szNativeFilePath) return nullptr;
    const std::size_t len = std::strlen(szNativeFilePath);
    if (len > static_cast<std::size_t>(INT32_MAX)) return nullptr;
    if (isAsciiBytes(szNativeFilePath, len) && asciiTransparent()) return env->NewStringUTF(szNativeFilePath);
    if (!resolveDefaultCharset(env, cs)) return nullptr;
    // Where the decode is known, so is the round trip: latin1 and valid
    // UTF-8 survive it, anything that does not decode cleanly does not.
    if (cs == Charset::latin1 || cs == Charset::utf8 || cs == Charset::ascii) {
        bool done = false;
        jstring fast = decodeKnown(env, szNativeFilePath, len, cs, &done);
        if (done) return fast;
        const Utf8Form form = classifyUtf8(reinterpret_cast<const unsigned char*>(szNativeFilePath), len);
        if (cs == Charset::ascii || form == Utf8Form::invalid) {
            return ensureCapacity(env, "JNU_NewStringISO8859_1") ? newLatin1(env, szNativeFilePath, len) : nullptr;
        }
    }
    jstring jsFileName = newStringNative(env, szNativeFilePath, cs);
    if (!jsFileName) return nullptr;  // a VM error is pending; nothing more may be asked of it
    CString revertedChar(stringNativeChars(env, jsFileName, cs));
    if (env->ExceptionCheck()) {
        env->DeleteLocalRef(jsFileName);
        return nullptr;
    }
    if (!revertedChar || std::strcmp(revertedChar.get(), szNativeFilePath) != 0) {
        env->DeleteLocalRef(jsFileName);
        jsFileName = ensureCapacity(env, "JNU_NewStringISO8859_1") ? newLatin1(env, szNativeFilePath, len) : nullptr;
    }
    return jsFileName;
}

char* nativeFilePath(JNIEnv* env, jstring jsFilePath, Charset& cs) {
    if (!jsFilePath) return nullptr;
    {
        // Plain ASCII: both forms are these bytes, so there is nothing to probe.
        Chars chars;
        if (!loadChars(env, jsFilePath, chars)) return nullptr;
        if (isAsciiChars(chars.data, chars.len) && asciiTransparent()) {
            return ensureCapacity(env, "JNU_GetStringNativeChars") ? copyAscii(chars.data, chars.len) : nullptr;
        }
    }
    CString szNativeFilePath(stringNativeChars(env, jsFilePath, cs));
    if (!szNativeFilePath) return nullptr;
    CString szISO8859FilePath(latin1Chars(env, jsFilePath));
    // When both forms are the same bytes, the probe cannot change the answer.
    if (!szISO8859FilePath || std::strcmp(szISO8859FilePath.get(), szNativeFilePath.get()) == 0) {
        return szNativeFilePath.release();
    }
    if (probeOpen(szNativeFilePath.get()) == ENOENT && probeOpen(szISO8859FilePath.get()) == 0) {
        return szISO8859FilePath.release();
    }
    return szNativeFilePath.release();
}

bool hasNul(JNIEnv* env, jstring jstr) {
    const jsize len = env->GetStringLength(jstr);
    jchar chunk[256];
    for (jsize at = 0; at < len;) {
        const jsize n = len - at < 256 ? len - at : 256;
        env->GetStringRegion(jstr, at, n, chunk);
        for (jsize i = 0; i < n; ++i) {
            if (chunk[i] == 0) return true;
        }
        at += n;
    }
    return false;
}

jbyteArray newByteArray(JNIEnv* env, const char* str) {
    const auto len = static_cast<jsize>(std::strlen(str));
    jbyteArray bytes = env->NewByteArray(len);
    if (bytes) env->SetByteArrayRegion(bytes, 0, len, reinterpret_cast<const jbyte*>(str));
    return bytes;
}

}  // namespace fsutil

using fsutil::Charset;

extern "C" {

JNIEXPORT jstring JNU_NewStringNative(JNIEnv* env, const char* str) {
    Charset cs = Charset::unresolved;
    return fsutil::newStringNative(env, str, cs);
}

JNIEXPORT jstring JNU_NewStringISO8859_1(JNIEnv* env, const char* str) {
    if (!str) return nullptr;
    if (!fsutil::ensureCapacity(env, "JNU_NewStringISO8859_1")) return nullptr;
    return fsutil::newLatin1(env, str, std::strlen(str));
}

JNIEXPORT char* JNU_GetStringNativeChars(JNIEnv* env, jstring jstr) {
    Charset cs = Charset::unresolved;
    return fsutil::stringNativeChars(env, jstr, cs);
}

JNIEXPORT char* JNU_GetStringISO8859_1Chars(JNIEnv* env, jstring jstr) {
    if (!jstr) return nullptr;
    if (!fsutil::ensureCapacity(env, "JNU_GetStringISO8859_1Chars")) return nullptr;
    return fsutil::latin1Chars(env, jstr);
}

JNIEXPORT int isANSI(const char* /*inpCodepage*/) { return std::strcmp(nl_langinfo(CODESET), "ANSI") == 0 ? 1 : 0; }

JNIEXPORT void throwException(JNIEnv* env, const char* szExceptionClassName, const char* szErrMsg) {
    // Whatever the VM left pending becomes the cause of the exception raised here.
    jthrowable cause = nullptr;
    if (!fsutil::takePending(env, &cause)) return;
    jstring jsErrMsg = nullptr;
    if (szErrMsg) {
        jsErrMsg = JNU_NewStringNative(env, szErrMsg);
        if (!jsErrMsg) {
            env->DeleteLocalRef(cause);
            return;  // the VM's own error (no memory) is pending and stands
        }
    }
    jclass jclsExpt = szExceptionClassName ? env->FindClass(szExceptionClassName) : nullptr;
    jclass throwable = nullptr;
    if (jclsExpt) {
        throwable = env->FindClass("java/lang/Throwable");
        if (!throwable || !env->IsAssignableFrom(jclsExpt, throwable)) {
            env->DeleteLocalRef(jclsExpt);
            jclsExpt = nullptr;  // not something Throw accepts; fall back like a missing class
        }
    }
    if (!jclsExpt) {
        jthrowable lookupError = nullptr;
        if (!fsutil::takePending(env, &lookupError)) {
            env->DeleteLocalRef(cause);
            env->DeleteLocalRef(jsErrMsg);
            env->DeleteLocalRef(throwable);
            return;
        }
        if (lookupError) {
            env->DeleteLocalRef(cause);
            cause = lookupError;  // tells why the exception is only a java.lang.Exception
        }
        jclsExpt = env->FindClass("java/lang/Exception");
    }
    jmethodID jmid = jclsExpt ? env->GetMethodID(jclsExpt, "<init>", "(Ljava/lang/String;)V") : nullptr;
    if (jmid) fsutil::raise(env, jclsExpt, jmid, jsErrMsg, cause);
    env->DeleteLocalRef(throwable);
    env->DeleteLocalRef(jclsExpt);
    env->DeleteLocalRef(jsErrMsg);
    env->DeleteLocalRef(cause);
}

JNIEXPORT void throwIOException(JNIEnv* env, const char* szErrMsg) { throwException(env, "java/io/IOException", szErrMsg); }

JNIEXPORT void throwFileNotFoundException(JNIEnv* env, const char* szErrMsg) {
    throwException(env, "java/io/FileNotFoundException", szErrMsg);
}

JNIEXPORT jstring getJavaFilePath(JNIEnv* env, const char* szNativeFilePath) {
    Charset cs = Charset::unresolved;
    return fsutil::javaFilePath(env, szNativeFilePath, cs);
}

JNIEXPORT char* getNativeFilePath(JNIEnv* env, jstring jsFilePath) {
    Charset cs = Charset::unresolved;
    return fsutil::nativeFilePath(env, jsFilePath, cs);
}

JNIEXPORT int openFile(const char* fname) { return open64(fname, O_RDONLY | O_LARGEFILE); }

JNIEXPORT int closeFile(int iFileDescriptor) { return close(iFileDescriptor); }

JNIEXPORT int getStat(JNIEnv* env, const char* acPath, struct stat* pStatbuf, int iThrowExpt) {
    return fsutil::statWith(env, fsutil::plainStat, "[JniUtil.getStat] ", acPath, pStatbuf, iThrowExpt);
}

JNIEXPORT int getLstat(JNIEnv* env, const char* acPath, struct stat* pStatbuf, int iThrowExpt) {
    return fsutil::statWith(env, fsutil::plainLstat, "[JniUtil.getLstat] ", acPath, pStatbuf, iThrowExpt);
}

JNIEXPORT int readFile(int iFileDescriptor, char* buf, size_t nbyte) {
    return static_cast<int>(read(iFileDescriptor, buf, nbyte));
}

JNIEXPORT off_t skipFile(int iFileDescriptor, off_t offset) {
    struct SeekError {
        int err;
        const char* line;
    };
    static constexpr SeekError kSeekErrors[] = {
        {EBADF, "[JniUtil.skipFile] iFileDescriptor is not an open file descriptor.\n"},
        {ESPIPE, "[JniUtil.skipFile] iFileDescriptor is associated with a pipe, socket, or FIFO.\n"},
        {EINVAL,
         "[JniUtil.skipFile] whence is not one of SEEK_SET, SEEK_CUR, SEEK_END, or the resulting file offset would "
         "be negative.\n"},
        {EOVERFLOW, "[JniUtil.skipFile] The resulting file offset cannot be represented in an off_t.\n"},
    };
    const off_t offStartpos = lseek64(iFileDescriptor, 0, SEEK_CUR);
    const off_t offEndpos = lseek64(iFileDescriptor, offset, SEEK_CUR);
    if (offEndpos == -1 && errno != 0) {
        const int err = errno;
        const char* line = nullptr;
        for (const SeekError& e : kSeekErrors) {
            if (e.err == err) line = e.line;
        }
        char other[256];
        if (!line) {
            fsutil::formatMessage(other, sizeof other, "[JniUtil.skipFile] %s\n", std::strerror(err));
            line = other;
        }
        fsutil::printDiagnostic(line);
    }
    return offEndpos - offStartpos;
}

JNIEXPORT int readLinkTarget(const char* szFilePath, char** pszLinkTarget) {
    for (std::size_t iSize = 512; iSize <= SSIZE_MAX / 2; iSize *= 2) {
        fsutil::CString buffer(static_cast<char*>(std::malloc(iSize)));
        if (!buffer) return -1;
        const ssize_t n = readlink(szFilePath, buffer.get(), iSize);
        if (n < 0) return -1;
        if (static_cast<std::size_t>(n) < iSize) {
            buffer.get()[n] = '\0';
            *pszLinkTarget = buffer.release();
            return 0;
        }
    }
    errno = ENAMETOOLONG;
    return -1;
}

}  // extern "C"
