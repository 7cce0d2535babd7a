// The directory walk natives called as the VM would, with arguments Java's types cannot produce.
#include <fcntl.h>
#include <unistd.h>

#include "JvmTest.h"

extern "C" {
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(JNIEnv*, jobject, jstring, jobject);
JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(JNIEnv*, jobject, jlong, jstring);
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(JNIEnv*, jobject, jlong);
}

class Walk : public JvmTest {};

TEST_F(Walk, HandleProtocolAndFailuresLeaveNothingOpen) {
    const auto first = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile;
    const auto next = Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile;
    const auto closeHandle = Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle;
    TempDir dir;
    close(creat((dir.path + "/only").c_str(), 0644));
    const jstring jsDir = env->NewStringUTF(dir.path.c_str());
    jclass sbClass = env->FindClass("java/lang/StringBuffer");
    jobject sb = env->NewObject(sbClass, env->GetMethodID(sbClass, "<init>", "()V"));
    const long fds = openFds(dir.path);
    auto thrown = [&](const char* cls) { EXPECT_EQ(takeThrown(env).text.rfind(cls, 0), 0u) << cls; };

    // A buffer whose class has no append(String): the stream is closed, the VM's error reaches Java.
    EXPECT_EQ(first(env, nullptr, jsDir, jsDir), -1);
    thrown("java.lang.NoSuchMethodError: ");
    for (auto [path, buffer] : {std::pair{jstring(nullptr), sb}, std::pair{jsDir, jobject(nullptr)}}) {
        EXPECT_EQ(first(env, nullptr, path, buffer), -1);
        thrown("java.lang.NullPointerException");
    }
    EXPECT_EQ(openFds(dir.path), fds);

    const jlong h = first(env, nullptr, jsDir, sb);
    EXPECT_EQ(openFds(dir.path), fds + 1);
    EXPECT_EQ(next(env, nullptr, h, nullptr), nullptr);  // keeps the stream open and the handle valid
    thrown("java.lang.NullPointerException");
    EXPECT_EQ(openFds(dir.path), fds + 1);
    EXPECT_EQ(next(env, nullptr, h, jsDir), nullptr);
    EXPECT_EQ(openFds(dir.path), fds);  // the end closed it
    closeHandle(env, nullptr, -1);  // "no stream": nothing to do
    closeHandle(env, nullptr, 0);
    closeHandle(env, nullptr, first(env, nullptr, jsDir, sb));
    EXPECT_EQ(openFds(dir.path), fds);
    jobject text = env->CallObjectMethod(sb, env->GetMethodID(sbClass, "toString", "()Ljava/lang/String;"));
    ASSERT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(utf8(env, text), "onlyonly");
}
