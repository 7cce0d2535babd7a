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
    TempDir dir;
    close(creat((dir.path + "/only").c_str(), 0644));
    const jstring jsDir = env->NewStringUTF(dir.path.c_str());
    jclass sbClass = env->FindClass("java/lang/StringBuffer");
    jobject sb = env->NewObject(sbClass, env->GetMethodID(sbClass, "<init>", "()V"));
    jclass objClass = env->FindClass("java/lang/Object");
    jobject notABuffer = env->NewObject(objClass, env->GetMethodID(objClass, "<init>", "()V"));
    const int fds = openFds();

    // A buffer whose class has no append(String): the stream is closed, the VM's error reaches Java.
    EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, jsDir, notABuffer), -1);
    EXPECT_EQ(takeThrown(env).text.rfind("java.lang.NoSuchMethodError: ", 0), 0u);
    for (jobject buffer : {jobject(nullptr), sb}) {
        EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, nullptr, buffer), -1);
        EXPECT_EQ(takeThrown(env).text.rfind("java.lang.NullPointerException", 0), 0u);
    }
    EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, jsDir, nullptr), -1);
    EXPECT_EQ(takeThrown(env).text.rfind("java.lang.NullPointerException", 0), 0u);
    EXPECT_EQ(openFds(), fds);

    const jlong h = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, jsDir, sb);
    ASSERT_NE(h, -1);
    EXPECT_EQ(openFds(), fds + 1);
    // A null path keeps the stream open and the handle valid.
    EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(env, nullptr, h, nullptr), nullptr);
    EXPECT_EQ(takeThrown(env).text.rfind("java.lang.NullPointerException", 0), 0u);
    EXPECT_EQ(openFds(), fds + 1);
    EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(env, nullptr, h, jsDir), nullptr);
    EXPECT_EQ(openFds(), fds);  // the end closed it
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(env, nullptr, -1);  // "no stream": nothing to do
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(env, nullptr, 0);
    const jlong early = Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, jsDir, sb);
    ASSERT_NE(early, -1);
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(env, nullptr, early);
    EXPECT_EQ(openFds(), fds);
    auto text = jstring(env->CallObjectMethod(sb, env->GetMethodID(sbClass, "toString", "()Ljava/lang/String;")));
    ASSERT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(utf8(env, text), "onlyonly");
}
