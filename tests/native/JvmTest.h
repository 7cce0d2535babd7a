// An embedded JVM (-Xcheck:jni) shared by the native tests, and helpers to
// build Java strings and read results and exceptions from the test side.
#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

JNIEnv* testEnv();  // of the calling thread, attached on first use

inline bool latin1Process() { return std::strcmp(std::getenv("FSUTIL_CODESET"), "ISO-8859-1") == 0; }

inline jstring jstr(JNIEnv* env, const std::u16string& s) {
    return env->NewString(reinterpret_cast<const jchar*>(s.data()), static_cast<jsize>(s.size()));
}

inline std::u16string chars(JNIEnv* env, jstring s) {
    if (!s) return u"<null>";
    std::u16string out(static_cast<std::size_t>(env->GetStringLength(s)), u'\0');
    env->GetStringRegion(s, 0, static_cast<jsize>(out.size()), reinterpret_cast<jchar*>(out.data()));
    return out;
}

inline std::string utf8(JNIEnv* env, jobject s) {  // "<null>" for null
    if (!s) return "<null>";
    const char* utf = env->GetStringUTFChars(static_cast<jstring>(s), nullptr);
    std::string out(utf);
    env->ReleaseStringUTFChars(static_cast<jstring>(s), utf);
    return out;
}

// Throwable.toString() of the pending exception ("java.io.IOException: msg")
// and of its cause; takes (clears) it. Both empty when nothing was pending.
struct Thrown {
    std::string text, cause;
};
Thrown takeThrown(JNIEnv* env);

// Each test runs in its own local frame and must leave no exception pending.
class JvmTest : public ::testing::Test {
protected:
    JNIEnv* env = testEnv();
    void SetUp() override { ASSERT_EQ(env->PushLocalFrame(256), 0); }
    void TearDown() override {
        EXPECT_EQ(takeThrown(env).text, "") << "test left a Java exception pending";
        env->PopLocalFrame(nullptr);
    }
};

struct Owned {  // owner of a malloc'd result
    char* p;
    ~Owned() { std::free(p); }
    std::string str() const { return p ? std::string(p) : std::string("<null>"); }
};

// Open descriptors of this process on `under` or below: the JVM's own threads
// open and close other files whenever they like.
inline long openFds(const std::string& under) {
    long n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;  // the iterator's own descriptor, closed by now
        n += std::filesystem::read_symlink(fd.path(), gone).string().rfind(under, 0) == 0;
    }
    return n;
}

struct TempDir {  // a fresh directory, removed with everything in it
    std::string path;
    TempDir() : path(std::filesystem::temp_directory_path() / "fsutil-XXXXXX") { path = mkdtemp(path.data()); }
    ~TempDir() {
        std::error_code ignored;  // what cannot be removed stays in /tmp; no reason to fail a test
        std::filesystem::remove_all(path, ignored);
    }
};
