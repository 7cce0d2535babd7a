// Library-private: raising Java exceptions, the one place a failure (an
// errno, a refused argument, a pending VM error) becomes the exception Java
// sees. Hidden visibility: nothing here is exported.
#ifndef FSUTIL_JNIRAISE_H
#define FSUTIL_JNIRAISE_H

#include <jni.h>

namespace fsutil {

// Takes a pending exception out of the VM so that the caller may make JNI
// calls again, and hands it over in *cause (null when none was pending).
// Returns false, leaving it pending, when it is a VirtualMachineError
// (OutOfMemoryError, StackOverflowError...), which must reach Java as is.
bool takePending(JNIEnv* env, jthrowable* cause);

// Constructs cls(msg), attaches `cause` (if any) with initCause and throws
// it. If the VM cannot build the exception, its own error stays pending.
void raise(JNIEnv* env, jclass cls, jmethodID ctor, jstring msg, jthrowable cause);

// OutOfMemoryError("<prefix>no memory"), unless an exception is pending already.
void raiseNoMemory(JNIEnv* env, const char* prefix);

// NullPointerException("<prefix>path is null").
void raiseNullPath(JNIEnv* env, const char* prefix);

// InvalidPathException(input, text), as Path.of refuses a string; where the
// VM cannot make it, its own error stays pending.
void raiseInvalidPath(JNIEnv* env, jstring input, const char* text);

// The java.nio.file exception the jar's Failures makes of (file, err, text):
// NoSuchFileException for ENOENT and so on; where the VM cannot make it, its
// own error stays pending.
void raiseFailure(JNIEnv* env, jstring file, int err, const char* text);

// A failure to open or start on a path as a Java exception: OutOfMemoryError
// for ENOMEM, else raiseFailure's of (path, errno, its text), the path read
// as listings read names, so that getFile() names the entry as Entry.path() would.
void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err);

// The same with the reason's text given (null: the system's text for err).
void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err, const char* text);

// A failure on path in the published helpers' words and classes: formatPathError's
// message as FileNotFoundException for ENOENT, IOException for any other err.
void raisePathError(JNIEnv* env, const char* head, const char* path, int err);

}  // namespace fsutil

#endif
