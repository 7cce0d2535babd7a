// What the entry files of the exported module share: the IOException of the
// exported helpers, and the opening of a directory to list. Hidden visibility:
// nothing here is exported.
#ifndef FSUTIL_UNIXNATIVES_H
#define FSUTIL_UNIXNATIVES_H

#include <dirent.h>
#include <jni.h>

#include <cstddef>

namespace fsutil {

// IOException(msg) with cause (if any) attached; msg made modified UTF-8.
void raiseIOExpt(JNIEnv* env, const char* cErrMsg, jthrowable cause);

// A handle for Java: the pointer's value.
jlong toHandle(const void* p);

// A directory stream of a path at any length (opendir alone stops at PATH_MAX).
DIR* openDirectory(const char* path);

// The listing stream of szListDir, or null with FileNotFoundException
// (ENOENT) or IOException pending, in the contract's words.
DIR* openOrRaise(JNIEnv* env, const char* szListDir);

}  // namespace fsutil

#endif
