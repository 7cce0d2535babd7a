// Library-private charset fast paths: UTF-8 classification, the single-byte
// and UTF-8 codecs, the JVM default-charset probe and the locale codeset
// cache. They give exactly java.lang.String's results without its upcalls.
#ifndef FSUTIL_CHARSETS_H
#define FSUTIL_CHARSETS_H

#include <jni.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "base/Owned.h"

namespace fsutil {

// The locale's codeset name (nl_langinfo(CODESET)), read once per process,
// safely against concurrent first callers.
const char* localeCodeset();

// Whether plain ASCII text converts to itself in the JVM's default charset,
// judged from the locale codeset: the JVM derives its default charset from
// it, and every codeset named here is an ASCII superset in the JDK too.
bool asciiTransparent();

// What the JVM's default charset is, learned at most once per native call
// (never cached across calls) and only for text that is not plain ASCII.
// The three known charsets allow conversions without an upcall into
// java.lang.String, with results identical to it.
enum class Charset { unresolved, failed, utf8, latin1, ascii, other };

// Resolves `cs` if needed; false when the VM failed (its exception pending).
bool resolveDefaultCharset(JNIEnv* env, Charset& cs);

// How a byte string reads as UTF-8.
enum class Utf8Form { ascii, bmp, supplementary, invalid };

// Strict UTF-8 (no overlongs, no surrogates, nothing past U+10FFFF), the
// same acceptance as java.lang.String's UTF-8 decoder. For `bmp` input the
// JVM's modified UTF-8 reader gives the same characters.
Utf8Form classifyUtf8(const unsigned char* s, std::size_t len);

bool isAsciiBytes(const char* s, std::size_t len);
bool isAsciiChars(const jchar* s, jsize len);
// A malloc'd NUL-terminated copy of ASCII UTF-16 units.
char* copyAscii(const jchar* s, jsize len);

// Strings up to this many UTF-16 units are converted on the stack.
constexpr jsize kStackChars = 512;

// UTF-16 units of a Java string, on the stack when short.
struct Chars {
    jchar local[kStackChars];
    MallocPtr<jchar> heap;
    const jchar* data = nullptr;
    jsize len = 0;
};
bool loadChars(JNIEnv* env, jstring jstr, Chars& out);

// String.getBytes for a one-byte charset whose code points are 0..limit-1:
// anything else becomes '?', and a surrogate pair becomes a single '?'.
char* encodeSingleByte(const Chars& in, unsigned limit);

// String.getBytes() under UTF-8 for text without surrogates; null with
// *hasSurrogates set when the text holds any (the JDK's road then).
char* encodeUtf8Bmp(const Chars& in, bool* hasSurrogates);

// new String(bytes, "ISO-8859-1"): every byte is the character of that value.
jstring newLatin1(JNIEnv* env, const char* str, std::size_t len);

// The ISO-8859-1 bytes of a Java string, malloc'd; null when out of memory.
char* latin1Chars(JNIEnv* env, jstring jstr);

// Decodes as `cs` does when the outcome is known without the JDK (*done
// set); otherwise leaves *done false and the caller takes the JDK's road.
jstring decodeKnown(JNIEnv* env, const char* str, std::size_t len, Charset cs, bool* done);

}  // namespace fsutil

#endif
