// The native behind FileTree.toPath: a Java path string turned into the
// bytes this library resolves it to, as java.nio.file takes them.
#include <jni.h>

#include "JniUtil/JniStrings.h"
#include "jni/JniPaths.h"

extern "C" {

// The bytes a path string names as this library resolves it, component by component.
JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_resolve(JNIEnv* env, jclass /*jcls*/, jstring jsPath) {
    fsutil::CString path;
    if (!fsutil::pathOf(env, jsPath, "[FileTree.toPath] ", &path, fsutil::Refuse::invalidPath)) return nullptr;
    return fsutil::newByteArray(env, path.get());
}

}  // extern "C"
