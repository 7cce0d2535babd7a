// Library-private: Java strings and byte arrays to native bytes and back, in
// the platform charset, and file names negotiated between it and ISO-8859-1.
// Built with hidden visibility, so nothing here is part of the exported interface.
#ifndef FSUTIL_JNISTRINGS_H
#define FSUTIL_JNISTRINGS_H

#include <jni.h>

#include "base/Charsets.h"
#include "base/Owned.h"

namespace fsutil {

// Owner of a malloc'd native byte string.
using CString = CharsPtr;

// The forms behind the exported JNU_NewStringNative, JNU_GetStringNativeChars,
// getJavaFilePath and getNativeFilePath; cs caches the default charset across calls.
jstring newStringNative(JNIEnv* env, const char* str, Charset& cs);
char* stringNativeChars(JNIEnv* env, jstring jstr, Charset& cs);
jstring javaFilePath(JNIEnv* env, const char* szNativeFilePath, Charset& cs);
char* nativeFilePath(JNIEnv* env, jstring jsFilePath, Charset& cs);

// Whether jstr holds a NUL character, which no system call could be given:
// a path would be cut there and name another file. Raises nothing.
bool hasNul(JNIEnv* env, jstring jstr);

// A new byte[] of str's bytes (its NUL left out); null with the VM's error pending.
jbyteArray newByteArray(JNIEnv* env, const char* str);

}  // namespace fsutil

#endif
