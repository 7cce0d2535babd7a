// Native handles owned by Java objects (see JniHandles.h): a handle's kind
// checked before its memory is used.
#include "jni/JniHandles.h"

#include <jni.h>

#include <cstddef>
#include <cstdint>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniUtil.h"

namespace fsutil {

HandleHeader* checkedHandle(JNIEnv* env, jlong handle, const HandleKind* kinds, std::size_t count, const char* call,
                            const char* what) {
    auto* h = reinterpret_cast<HandleHeader*>(static_cast<std::intptr_t>(handle));  // NOLINT(performance-no-int-to-ptr)
    for (std::size_t i = 0; h && handle != -1 && i < count; ++i) {
        if (h->kind == kinds[i]) return h;
    }
    char szMsg[128];
    formatMessage(szMsg, sizeof szMsg, "%s not a %s handle", call, what);
    throwException(env, "java/lang/IllegalArgumentException", szMsg);
    return nullptr;
}

}  // namespace fsutil
