// An embedded JVM (-Xcheck:jni) shared by the native tests, and helpers to
// look at strings and exceptions from the test side.
#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <string>

JavaVM* testVm();
JNIEnv* testEnv();  // of the calling thread, attached on first use

// Each test runs in its own local frame and must leave no exception pending.
class JvmTest : public ::testing::Test {
protected:
    JNIEnv* env = nullptr;
    void SetUp() override;
    void TearDown() override;
};

// Returns a call's result after the exception check that -Xcheck:jni wants
// before the next JNI call; a test helper never expects one.
template <typename T>
T checked(JNIEnv* env, T result) {
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        ADD_FAILURE() << "unexpected Java exception in a test helper";
    }
    return result;
}

jstring jstr(JNIEnv* env, const std::u16string& s);
std::u16string chars(JNIEnv* env, jstring s);

struct Thrown {
    std::string cls;      // binary name, e.g. "java.io.IOException"; empty when nothing was pending
    std::u16string msg;
    std::string causeCls;
};
// Takes (and clears) the pending exception.
Thrown takeThrown(JNIEnv* env);

// UTF-16 of an ASCII/UTF-8 literal, for comparing messages.
std::u16string u16(const std::string& utf8);

// Number of open descriptors of this process.
int openFds();
// A fresh temporary directory, removed by the caller's TempDir.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
};
