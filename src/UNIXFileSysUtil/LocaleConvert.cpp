// Locale conversion for the exported helpers: the locale's codeset name in the
// exported `codepage`, convert() of a Java string into it, and the IOException
// that throwIOExpt raises (messages carried to the VM as modified UTF-8).
#include <cstdlib>
#include <mutex>

#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "UNIXFileSysUtil/UNIXFileSysUtil.h"
#include "UNIXFileSysUtil/UnixNatives.h"

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

}  // namespace

namespace fsutil {

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

}  // namespace fsutil

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
    fsutil::raiseIOExpt(env, cErrMsg, cause);
    env->DeleteLocalRef(cause);
}

}  // extern "C"
