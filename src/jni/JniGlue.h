// The JNI glue of this library's own natives: one path converter for every
// native that takes a path (null check, NUL refusal, charset, resolution,
// opening), the one place a failure on a path becomes a Java exception, and
// typed handles (a handle of the wrong kind is refused, never cast).
#ifndef FSUTIL_JNIGLUE_H
#define FSUTIL_JNIGLUE_H

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "JniUtil/JniInternal.h"

namespace fsutil {

// The calls' message prefixes.
inline constexpr char kWalkPrefix[] = "[FileTree.walk] ";
inline constexpr char kDeletePrefix[] = "[FileTree.delete] ";
inline constexpr char kUsagePrefix[] = "[FileTree.usage] ";
inline constexpr char kCopyPrefix[] = "[FileTree.copy] ";
inline constexpr char kSyncPrefix[] = "[FileTree.sync] ";
inline constexpr char kOpenPrefix[] = "[FileTree.newInputStream] ";
inline constexpr char kWatchPrefix[] = "[FileTree.watch] ";

// OutOfMemoryError("<prefix>no memory"), unless an exception is pending already.
void raiseNoMemory(JNIEnv* env, const char* prefix);

// A failure to open or start on a path as a Java exception: OutOfMemoryError
// for ENOMEM, else the java.nio.file exception the jar's Failures makes of
// (path, errno, its text): NoSuchFileException for ENOENT and so on.
void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err);

// The same with the reason's text given (null: the system's text for err).
void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err, const char* text);

// "<head> '<path>'. Error='<reason>'" into buf, the path shortened in its middle where it must be.
void formatPathError(char* buf, std::size_t size, const char* head, const char* path, int err);

// A failure on path in the published helpers' words and classes: formatPathError's
// message as FileNotFoundException for ENOENT, IOException for any other err.
void raisePathError(JNIEnv* env, const char* head, const char* path, int err);

// How a String that two existing entries read as is refused: a call's
// FileSystemException, or toPath's InvalidPathException.
enum class Refuse { fileSystem, invalidPath };

// A path argument as native bytes into *out; false with an exception pending
// (NullPointerException "<prefix>path is null", InvalidPathException for a
// NUL or a name no form maps, the VM's error, OutOfMemoryError). The one
// converter of every String path: each name is the bytes a listing reads as
// it, the platform charset's exact bytes or ISO-8859-1's; where both read as
// it and both exist, the String is ambiguous and refused (`refuse`), nothing
// touched; where neither exists, the platform's (else ISO-8859-1's) bytes. A
// Path's own bytes (a byte[]) are taken as they are.
bool pathOf(JNIEnv* env, jstring jsPath, const char* prefix, CString* out, Refuse refuse = Refuse::fileSystem);
bool pathOf(JNIEnv* env, jbyteArray jbPath, const char* prefix, CString* out);

// The same path opened with flags, at any length: the descriptor, or -1 with
// the failure raised. *shown is the path as messages show it.
int openPath(JNIEnv* env, jstring jsPath, int flags, const char* prefix, CString* shown);
int openPath(JNIEnv* env, jbyteArray jbPath, int flags, const char* prefix, CString* shown);

// What a handle handed to Java is. Every handle struct starts with a
// HandleHeader holding its kind, checked on every use.
enum class HandleKind : std::uint32_t {
    walk = 0x66737501,
    group,
    deleteJob,
    usageJob,
    copyJob,
    listing,
    syncJob,
    watch,
    gone = 0xdeadbeef,  // written when freed: a stale handle is refused too, where its memory still reads so
};

struct HandleHeader {
    HandleKind kind;
};

template <class T>
jlong toTypedHandle(T* h) {
    static_assert(std::is_standard_layout<T>::value, "a handle starts with its header");
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(h));
}

// The handle's header when it is one of these kinds; else null with
// IllegalArgumentException("<call> not a <what> handle") pending.
HandleHeader* checkedHandle(JNIEnv* env, jlong handle, const HandleKind* kinds, std::size_t count, const char* call,
                            const char* what);

// The T behind handle, which must be of T's kind (T::kKind); else null with
// IllegalArgumentException pending.
template <class T>
T* handleOf(JNIEnv* env, jlong handle, const char* call) {
    static_assert(std::is_standard_layout<T>::value && offsetof(T, header) == 0, "a handle starts with its header");
    const HandleKind kind = T::kKind;
    return reinterpret_cast<T*>(checkedHandle(env, handle, &kind, 1, call, T::kWhat));
}

}  // namespace fsutil

#endif
