// Native handles owned by Java objects: typed, so that a handle of the wrong
// kind, or one already freed, is refused and never cast.
#ifndef FSUTIL_JNIHANDLES_H
#define FSUTIL_JNIHANDLES_H

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace fsutil {

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
