// The one path converter of this library's own natives: a path argument, a
// String or a Path's own bytes, checked (null, NUL), turned into the native
// bytes it names, and opened at any length.
#ifndef FSUTIL_JNIPATHS_H
#define FSUTIL_JNIPATHS_H

#include <jni.h>

#include "JniUtil/JniStrings.h"

namespace fsutil {

// Refuses a path holding NUL as the JDK does: true with a pending
// java.nio.file.InvalidPathException ("Nul character not allowed").
bool refuseNul(JNIEnv* env, jstring jsPath);

// How a String that two existing entries read as is refused: a call's
// FileSystemException, or toPath's InvalidPathException.
enum class Refuse { fileSystem, invalidPath };

// A path argument as native bytes into *out; false with an exception pending
// (NullPointerException "<prefix>path is null", InvalidPathException for a
// NUL or a name no form maps, the VM's error, OutOfMemoryError). Each name
// of a String is the bytes a listing reads as it, the platform charset's
// exact bytes or ISO-8859-1's; where both read as it and both exist, the
// String is ambiguous and refused (`refuse`), nothing touched; where neither
// exists, the platform's (else ISO-8859-1's) bytes. A Path's own bytes (a
// byte[]) are taken as they are: copied and NUL-terminated, neither converted
// nor probed; one holding a NUL is refused (IllegalArgumentException).
bool pathOf(JNIEnv* env, jstring jsPath, const char* prefix, CString* out, Refuse refuse = Refuse::fileSystem);
bool pathOf(JNIEnv* env, jbyteArray jbPath, const char* prefix, CString* out);

// The same path opened with flags, at any length: the descriptor, or -1 with
// the failure raised. *shown is the path as messages show it.
int openPath(JNIEnv* env, jstring jsPath, int flags, const char* prefix, CString* shown);
int openPath(JNIEnv* env, jbyteArray jbPath, int flags, const char* prefix, CString* shown);

}  // namespace fsutil

#endif
