// Charset fast paths: UTF-8 classification, the single-byte and UTF-8
// codecs, the JVM default-charset probe and the locale codeset cache.
#include "base/Charsets.h"

#include <langinfo.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace fsutil {

namespace {

bool isHigh(jchar c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(jchar c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::once_flag codesetOnce;
char codeset[1024];

}  // namespace

const char* localeCodeset() {
    // Concurrent first calls: one thread fills the name, the others wait for it.
    // A name longer than the buffer is cut (snprintf is bounded).
    std::call_once(codesetOnce, [] { (void)std::snprintf(codeset, sizeof codeset, "%s", nl_langinfo(CODESET)); });
    return codeset;
}

bool asciiTransparent() {
    // ASCII supersets as glibc names them; anything else takes the slow road.
    constexpr const char* kPrefixes[] = {"UTF-8", "ISO-8859-", "ANSI_X3.4-1968", "EUC-", "KOI8-", "CP125",
                                         "GB18030", "GBK", "GB2312", "BIG5"};
    const char* codeset = localeCodeset();
    for (const char* prefix : kPrefixes) {
        if (std::strncmp(codeset, prefix, std::strlen(prefix)) == 0) return true;
    }
    return false;
}

bool resolveDefaultCharset(JNIEnv* env, Charset& cs) {
    if (cs != Charset::unresolved) return cs != Charset::failed;
    cs = Charset::failed;
    jclass charsetClass = env->FindClass("java/nio/charset/Charset");
    if (!charsetClass) return false;
    jmethodID defaultCharset =
        env->GetStaticMethodID(charsetClass, "defaultCharset", "()Ljava/nio/charset/Charset;");
    jobject def = defaultCharset ? env->CallStaticObjectMethod(charsetClass, defaultCharset) : nullptr;
    env->DeleteLocalRef(charsetClass);
    if (!def || env->ExceptionCheck()) return false;
    jclass standard = env->FindClass("java/nio/charset/StandardCharsets");
    if (!standard) {
        env->DeleteLocalRef(def);
        return false;
    }
    struct Known {
        const char* field;
        Charset kind;
    };
    constexpr Known kKnown[] = {{"UTF_8", Charset::utf8}, {"ISO_8859_1", Charset::latin1}, {"US_ASCII", Charset::ascii}};
    cs = Charset::other;
    for (const Known& k : kKnown) {
        jfieldID fid = env->GetStaticFieldID(standard, k.field, "Ljava/nio/charset/Charset;");
        if (!fid) {
            cs = Charset::failed;
            break;
        }
        jobject candidate = env->GetStaticObjectField(standard, fid);
        const bool same = env->IsSameObject(candidate, def);
        env->DeleteLocalRef(candidate);
        if (same) {
            cs = k.kind;
            break;
        }
    }
    env->DeleteLocalRef(standard);
    env->DeleteLocalRef(def);
    return cs != Charset::failed;
}

Utf8Form classifyUtf8(const unsigned char* s, std::size_t len) {
    Utf8Form form = Utf8Form::ascii;
    std::size_t i = 0;
    auto cont = [&](std::size_t k) { return i + k < len && (s[i + k] & 0xC0) == 0x80; };
    while (i < len) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF && cont(1)) {
            form = form == Utf8Form::ascii ? Utf8Form::bmp : form;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF && cont(1) && cont(2)) {
            const unsigned char c1 = s[i + 1];
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return Utf8Form::invalid;
            form = form == Utf8Form::ascii ? Utf8Form::bmp : form;
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3)) {
            const unsigned char c1 = s[i + 1];
            if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return Utf8Form::invalid;
            form = Utf8Form::supplementary;
            i += 4;
        } else {
            return Utf8Form::invalid;
        }
    }
    return form;
}

bool isAsciiBytes(const char* s, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
    }
    return true;
}

bool isAsciiChars(const jchar* s, jsize len) {
    for (jsize i = 0; i < len; ++i) {
        if (s[i] >= 0x80) return false;
    }
    return true;
}

char* copyAscii(const jchar* s, jsize len) {
    char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(len) + 1));
    if (!out) return nullptr;
    for (jsize i = 0; i < len; ++i) out[i] = static_cast<char>(s[i]);
    out[len] = '\0';
    return out;
}

bool loadChars(JNIEnv* env, jstring jstr, Chars& out) {
    out.len = env->GetStringLength(jstr);
    jchar* dst = out.local;
    if (out.len > kStackChars) {
        out.heap.reset(static_cast<jchar*>(std::malloc(sizeof(jchar) * static_cast<std::size_t>(out.len))));
        if (!out.heap) return false;
        dst = out.heap.get();
    }
    env->GetStringRegion(jstr, 0, out.len, dst);
    out.data = dst;
    return true;
}

char* encodeSingleByte(const Chars& in, unsigned limit) {
    char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(in.len) + 1));
    if (!out) return nullptr;
    std::size_t n = 0;
    for (jsize i = 0; i < in.len; ++i) {
        const jchar c = in.data[i];
        if (c < limit) {
            out[n++] = static_cast<char>(c);
            continue;
        }
        if (isHigh(c) && i + 1 < in.len && isLow(in.data[i + 1])) ++i;
        out[n++] = '?';
    }
    out[n] = '\0';
    return out;
}

char* encodeUtf8Bmp(const Chars& in, bool* hasSurrogates) {
    *hasSurrogates = false;
    for (jsize i = 0; i < in.len; ++i) {
        if (in.data[i] >= 0xD800 && in.data[i] <= 0xDFFF) {
            *hasSurrogates = true;
            return nullptr;
        }
    }
    char* out = static_cast<char*>(std::malloc(3 * static_cast<std::size_t>(in.len) + 1));
    if (!out) return nullptr;
    std::size_t n = 0;
    for (jsize i = 0; i < in.len; ++i) {
        const unsigned c = in.data[i];
        if (c < 0x80) {
            out[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            out[n++] = static_cast<char>(0xC0 | (c >> 6));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[n++] = static_cast<char>(0xE0 | (c >> 12));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out[n] = '\0';
    return out;
}

jstring newLatin1(JNIEnv* env, const char* str, std::size_t len) {
    jchar local[kStackChars];
    local[0] = 0;  // the compiler cannot see that len == 0 reads nothing
    MallocPtr<jchar> heap;
    jchar* chars = local;
    if (len > static_cast<std::size_t>(kStackChars)) {
        heap.reset(static_cast<jchar*>(std::malloc(sizeof(jchar) * len)));
        if (!heap) return nullptr;
        chars = heap.get();
    }
    for (std::size_t i = 0; i < len; ++i) chars[i] = static_cast<unsigned char>(str[i]);
    return env->NewString(chars, static_cast<jsize>(len));
}

char* latin1Chars(JNIEnv* env, jstring jstr) {
    Chars chars;
    if (!loadChars(env, jstr, chars)) return nullptr;
    return encodeSingleByte(chars, 0x100);
}

jstring decodeKnown(JNIEnv* env, const char* str, std::size_t len, Charset cs, bool* done) {
    *done = true;
    if (cs == Charset::latin1) return newLatin1(env, str, len);
    if (cs == Charset::utf8 || cs == Charset::ascii) {
        const Utf8Form form = classifyUtf8(reinterpret_cast<const unsigned char*>(str), len);
        if (form == Utf8Form::ascii || (cs == Charset::utf8 && form == Utf8Form::bmp)) {
            return env->NewStringUTF(str);
        }
    }
    *done = false;
    return nullptr;
}

}  // namespace fsutil
