// The directory walk natives called as the VM would, with arguments Java's types cannot produce.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "JniUtil.h"
#include "JvmTest.h"

extern "C" {
JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(JNIEnv*, jobject, jstring, jobject);
JNIEXPORT jstring JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(JNIEnv*, jobject, jlong, jstring);
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(JNIEnv*, jobject, jlong);
}

class Walk : public JvmTest {
protected:
    jobject newObject(const char* cls) {
        jclass c = env->FindClass(cls);
        return checked(env, env->NewObject(c, env->GetMethodID(c, "<init>", "()V")));
    }
    jlong first(const std::string& dir, jobject buffer) {
        return Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, jstr(env, u16(dir)), buffer);
    }
};

TEST_F(Walk, FailuresCloseTheStreamAndRaiseOneException) {
    TempDir dir;
    close(creat((dir.path + "/entry").c_str(), 0644));
    mkfifo((dir.path + "/fifo").c_str(), 0600);
    const int fds = openFds();

    // A buffer whose class has no append(String): nothing stays open, the VM's error reaches Java.
    EXPECT_EQ(first(dir.path, newObject("java/lang/Object")), -1);
    EXPECT_EQ(takeThrown(env).cls, "java.lang.NoSuchMethodError");

    EXPECT_EQ(first(dir.path + "/fifo", newObject("java/lang/StringBuffer")), -1);
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.IOException");
    EXPECT_EQ(t.msg, u16("[UNIXFileSysUtil.getFirstFile] Fail to get first file of '" + dir.path +
                         "/fifo'. Error='Not a directory'"));

    // The message is cut to the 512-byte buffer.
    const std::string deep = dir.path + "/" + std::string(250, 'd') + "/" + std::string(250, 'e');
    EXPECT_EQ(first(deep, newObject("java/lang/StringBuffer")), -1);
    t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.FileNotFoundException");
    EXPECT_EQ(t.msg, u16("[UNIXFileSysUtil.getFirstFile] Fail to get first file of '" + deep).substr(0, 511));

    EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getFirstFile(env, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(takeThrown(env).cls, "java.lang.NullPointerException");
    EXPECT_EQ(openFds(), fds);
}

TEST_F(Walk, HandleProtocol) {
    TempDir dir;
    close(creat((dir.path + "/only").c_str(), 0644));
    const int fds = openFds();
    jobject sb = newObject("java/lang/StringBuffer");
    const jlong h = first(dir.path, sb);
    ASSERT_NE(h, -1);
    EXPECT_EQ(openFds(), fds + 1);
    // A null path keeps the stream open and the handle valid.
    EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(env, nullptr, h, nullptr), nullptr);
    EXPECT_EQ(takeThrown(env).cls, "java.lang.NullPointerException");
    EXPECT_EQ(Java_com_orvan_mek_fsutil_FolderIteratorNix_getNextFile(env, nullptr, h, jstr(env, u16(dir.path))),
              nullptr);
    EXPECT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(openFds(), fds);  // the end closed it
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(env, nullptr, -1);  // "no stream": a no-op
    const jlong early = first(dir.path, sb);
    ASSERT_NE(early, -1);
    Java_com_orvan_mek_fsutil_FolderIteratorNix_closeFileHandle(env, nullptr, early);
    EXPECT_EQ(openFds(), fds);
    jclass sbClass = env->GetObjectClass(sb);
    auto text = jstring(checked(env, env->CallObjectMethod(sb, env->GetMethodID(sbClass, "toString", "()Ljava/lang/String;"))));
    EXPECT_EQ(chars(env, text), u"onlyonly");
}
