// Library-private: what the JNI side shares beneath its natives: Java strings
// to native paths and back, opening and stat of paths at any length, message
// formatting, and raising exceptions. Built with hidden visibility, so nothing
// here is part of the exported interface.
#ifndef FSUTIL_JNIINTERNAL_H
#define FSUTIL_JNIINTERNAL_H

#include <jni.h>

#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>

#include "base/Charsets.h"
#include "base/Owned.h"

namespace fsutil {

// Owner of a malloc'd native byte string.
using CString = CharsPtr;

jstring newStringNative(JNIEnv* env, const char* str, Charset& cs);
char* stringNativeChars(JNIEnv* env, jstring jstr, Charset& cs);
jstring javaFilePath(JNIEnv* env, const char* szNativeFilePath, Charset& cs);
char* nativeFilePath(JNIEnv* env, jstring jsFilePath, Charset& cs);

// Opens a native path at any length (component by component past PATH_MAX).
int openNativePath(const char* path, int flags);

// lstat of a native path at any length; 0, or -1 with errno set.
int lstatNativePath(const char* path, struct stat* st);

// Whether jsPath holds a NUL character, which no system call could be given:
// the path would be cut there and name another file. Raises nothing.
bool hasNul(JNIEnv* env, jstring jsPath);

// Refuses a path holding NUL as the JDK does: true with a pending
// java.nio.file.InvalidPathException ("Nul character not allowed").
bool refuseNul(JNIEnv* env, jstring jsPath);

// A path handed over as its bytes (a java.nio.file.Path's own): copied and
// NUL-terminated, neither converted nor probed. Null with an exception pending
// when jbPath is null (NullPointerException "<prefix>path is null"), holds a
// NUL (IllegalArgumentException) or memory runs out.
char* bytesPath(JNIEnv* env, jbyteArray jbPath, const char* prefix);

// Formats into a fixed buffer; a text that does not fit is cut, never
// overrun, and a multi-byte UTF-8 sequence split by the cut is dropped.
// Variadic on purpose: the format attribute lets the compiler check every call.
void formatMessage(char* buf, std::size_t size, const char* fmt, ...)  // NOLINT(cert-dcl50-cpp)
    __attribute__((format(printf, 3, 4)));

// Formats head, path and tail into buf. Where that does not fit, the path
// loses bytes from its middle (shown as "..."), never the head or the tail,
// which carry the call and the reason; UTF-8 sequences are not split.
void formatPathMessage(char* buf, std::size_t size, const char* head, const char* path, const char* tail);

// Writes one diagnostic to standard output and flushes, so that lines from
// native code and from Java come out in the order they were made.
void printDiagnostic(const char* text);

// Takes a pending exception out of the VM so that the caller may make JNI
// calls again, and hands it over in *cause (null when none was pending).
// Returns false, leaving it pending, when it is a VirtualMachineError
// (OutOfMemoryError, StackOverflowError...), which must reach Java as is.
bool takePending(JNIEnv* env, jthrowable* cause);

// Constructs cls(msg), attaches `cause` (if any) with initCause and throws
// it. If the VM cannot build the exception, its own error stays pending.
void raise(JNIEnv* env, jclass cls, jmethodID ctor, jstring msg, jthrowable cause);

}  // namespace fsutil

#endif
