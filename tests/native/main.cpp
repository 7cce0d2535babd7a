// Starts the embedded JVM that the native tests share.
#include <clocale>
#include <cstdio>

#include "JvmTest.h"

namespace {
JavaVM* gVm = nullptr;
}

JNIEnv* testEnv() {
    JNIEnv* env = nullptr;
    if (gVm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) == JNI_EDETACHED) {
        gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    }
    return env;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::setlocale(LC_ALL, "");
    // The file primitives need no JVM; without one, LeakSanitizer can watch them alone.
    if (std::getenv("FSUTIL_NO_JVM")) return RUN_ALL_TESTS();
    std::string classpath = std::string("-Djava.class.path=") + std::getenv("FSUTIL_CLASSPATH");
    JavaVMOption options[] = {{const_cast<char*>("-Xcheck:jni"), nullptr}, {classpath.data(), nullptr}};
    JavaVMInitArgs args{JNI_VERSION_1_8, 2, options, JNI_FALSE};
    JNIEnv* env = nullptr;
    if (JNI_CreateJavaVM(&gVm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        std::fprintf(stderr, "cannot create the JVM\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
