// An embedded JVM (-Xcheck:jni) shared by the native tests, the walk natives as the VM calls
// them, and helpers to build Java strings and read results and exceptions from the test side.
#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "Fixtures.h"

extern "C" {
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(JNIEnv*, jobject, jstring, jobject);
JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(JNIEnv*, jobject, jlong, jstring);
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(JNIEnv*, jobject, jlong);
}
constexpr auto firstFile = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile;
constexpr auto nextFile = Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile;
constexpr auto closeHandle = Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle;

JNIEnv* testEnv();  // of the calling thread, attached on first use

inline bool latin1Process() { return std::strcmp(std::getenv("FSUTIL_CODESET"), "ISO-8859-1") == 0; }

inline jstring jstr(JNIEnv* env, const std::u16string& s) {
    return env->NewString(reinterpret_cast<const jchar*>(s.data()), static_cast<jsize>(s.size()));
}

// Modified UTF-8 of a Java string: one to one with its UTF-16, lone surrogates too.
inline std::string utf8(JNIEnv* env, jobject s) {
    if (!s) return "<null>";
    const char* utf = env->GetStringUTFChars(static_cast<jstring>(s), nullptr);
    std::string out(utf);
    env->ReleaseStringUTFChars(static_cast<jstring>(s), utf);
    return out;
}

inline std::string text(JNIEnv* env, jobject o) {  // o.toString()
    jmethodID toString = env->GetMethodID(env->GetObjectClass(o), "toString", "()Ljava/lang/String;");
    jobject s = env->CallObjectMethod(o, toString);
    EXPECT_FALSE(env->ExceptionCheck());
    return utf8(env, s);
}

inline jobject newStringBuffer(JNIEnv* env) {
    jclass c = env->FindClass("java/lang/StringBuffer");
    return env->NewObject(c, env->GetMethodID(c, "<init>", "()V"));
}

// Throwable.toString() of the pending exception ("java.io.IOException: msg") and of its
// cause; takes (clears) it. Both empty when nothing was pending.
struct Thrown {
    std::string text, cause;
};
inline Thrown takeThrown(JNIEnv* env) {
    jthrowable exc = env->ExceptionOccurred();
    if (!exc) return {};
    env->ExceptionClear();
    jmethodID getCause = env->GetMethodID(env->GetObjectClass(exc), "getCause", "()Ljava/lang/Throwable;");
    jobject cause = env->CallObjectMethod(exc, getCause);
    EXPECT_FALSE(env->ExceptionCheck());
    return {text(env, exc), cause ? text(env, cause) : ""};
}

// Each test runs in its own local frame and must leave no exception pending.
class JvmTest : public ::testing::Test {
protected:
    JNIEnv* env = testEnv();
    void SetUp() override { ASSERT_EQ(env->PushLocalFrame(256), 0); }
    void TearDown() override {
        EXPECT_EQ(takeThrown(env).text, "") << "test left a Java exception pending";
        env->PopLocalFrame(nullptr);
    }
    void expectThrown(const std::string& text, const std::string& cause = "") {
        const Thrown t = takeThrown(env);
        EXPECT_EQ(t.text, text);
        EXPECT_EQ(t.cause, cause);
    }
};

struct Owned {  // owner of a malloc'd result
    char* p;
    ~Owned() { std::free(p); }
    std::string str() const { return p ? std::string(p) : std::string("<null>"); }
};

