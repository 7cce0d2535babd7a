#include <dirent.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "JvmTest.h"

namespace {
JavaVM* gVm = nullptr;
}

JavaVM* testVm() { return gVm; }

JNIEnv* testEnv() {
    JNIEnv* env = nullptr;
    if (gVm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) == JNI_EDETACHED) {
        gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    }
    return env;
}

void JvmTest::SetUp() {
    env = testEnv();
    ASSERT_EQ(env->PushLocalFrame(256), 0);
}

void JvmTest::TearDown() {
    const bool pending = env->ExceptionCheck();
    if (pending) env->ExceptionDescribe();
    env->PopLocalFrame(nullptr);
    EXPECT_FALSE(pending) << "test left a Java exception pending";
}

jstring jstr(JNIEnv* env, const std::u16string& s) {
    return env->NewString(reinterpret_cast<const jchar*>(s.data()), static_cast<jsize>(s.size()));
}

std::u16string chars(JNIEnv* env, jstring s) {
    if (!s) return u"<null>";
    std::u16string out(static_cast<std::size_t>(env->GetStringLength(s)), u'\0');
    env->GetStringRegion(s, 0, static_cast<jsize>(out.size()), reinterpret_cast<jchar*>(out.data()));
    return out;
}

namespace {
std::string className(JNIEnv* env, jobject obj) {
    jclass cls = env->GetObjectClass(obj);
    jclass clsClass = env->FindClass("java/lang/Class");
    jmethodID getName = env->GetMethodID(clsClass, "getName", "()Ljava/lang/String;");
    auto name = static_cast<jstring>(checked(env, env->CallObjectMethod(cls, getName)));
    const char* utf = env->GetStringUTFChars(name, nullptr);
    std::string out(utf);
    env->ReleaseStringUTFChars(name, utf);
    return out;
}
}  // namespace

Thrown takeThrown(JNIEnv* env) {
    Thrown t;
    if (!env->ExceptionCheck()) return t;
    jthrowable exc = env->ExceptionOccurred();
    env->ExceptionClear();
    t.cls = className(env, exc);
    jclass throwable = env->FindClass("java/lang/Throwable");
    jmethodID getMessage = env->GetMethodID(throwable, "getMessage", "()Ljava/lang/String;");
    jmethodID getCause = env->GetMethodID(throwable, "getCause", "()Ljava/lang/Throwable;");
    auto msg = static_cast<jstring>(checked(env, env->CallObjectMethod(exc, getMessage)));
    t.msg = chars(env, msg);
    jobject cause = checked(env, env->CallObjectMethod(exc, getCause));
    if (cause) t.causeCls = className(env, cause);
    return t;
}

std::u16string u16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            i += 1;
        } else if (c < 0xE0) {
            out += static_cast<char16_t>(((c & 0x1F) << 6) | (utf8[i + 1] & 0x3F));
            i += 2;
        } else {
            out += static_cast<char16_t>(((c & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F));
            i += 3;
        }
    }
    return out;
}

int openFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n - 3;  // ".", ".." and the stream's own descriptor
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/fsutil-test-XXXXXX";
    path = mkdtemp(tmpl);
}

TempDir::~TempDir() {
    const std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::setlocale(LC_ALL, "");
    // The file primitives need no JVM; without one, LeakSanitizer can watch them alone.
    if (std::getenv("FSUTIL_NO_JVM")) return RUN_ALL_TESTS();
    const char* cp = std::getenv("FSUTIL_CLASSPATH");
    std::string classpath = std::string("-Djava.class.path=") + (cp ? cp : "");
    std::vector<JavaVMOption> options = {{const_cast<char*>("-Xcheck:jni"), nullptr},
                                         {const_cast<char*>(classpath.c_str()), nullptr},
                                         {const_cast<char*>("-Xss2m"), nullptr}};
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_1_8;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    JNIEnv* env = nullptr;
    if (JNI_CreateJavaVM(&gVm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
        std::fprintf(stderr, "cannot create the JVM\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
