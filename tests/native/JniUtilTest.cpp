// The exported helpers: conversions, exceptions, stat wrappers, name negotiation.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "JniUtil.h"
#include "JvmTest.h"

namespace {

bool latin1Process() { return std::strcmp(std::getenv("FSUTIL_CODESET"), "ISO-8859-1") == 0; }

struct Free {
    char* p;
    ~Free() { std::free(p); }
    std::string str() const { return p ? std::string(p) : std::string("<null>"); }
};

// The JDK's own answers, to hold the helpers against.
jstring javaDecode(JNIEnv* env, const std::string& b, const char* charset) {
    jbyteArray arr = env->NewByteArray(jsize(b.size()));
    env->SetByteArrayRegion(arr, 0, jsize(b.size()), reinterpret_cast<const jbyte*>(b.data()));
    jclass s = env->FindClass("java/lang/String");
    if (!charset) return jstring(checked(env, env->NewObject(s, env->GetMethodID(s, "<init>", "([B)V"), arr)));
    jstring cs = env->NewStringUTF(charset);
    return jstring(checked(env, env->NewObject(s, env->GetMethodID(s, "<init>", "([BLjava/lang/String;)V"), arr, cs)));
}

std::string javaEncode(JNIEnv* env, jstring js, const char* charset) {
    jclass s = env->FindClass("java/lang/String");
    jstring cs = charset ? env->NewStringUTF(charset) : nullptr;
    auto arr = jbyteArray(checked(
        env, cs ? env->CallObjectMethod(js, env->GetMethodID(s, "getBytes", "(Ljava/lang/String;)[B"), cs)
                : env->CallObjectMethod(js, env->GetMethodID(s, "getBytes", "()[B"))));
    std::string out(std::size_t(env->GetArrayLength(arr)), '\0');
    env->GetByteArrayRegion(arr, 0, jsize(out.size()), reinterpret_cast<jbyte*>(out.data()));
    return out.substr(0, out.find('\0'));  // a C string ends at the first NUL
}

void touch(const std::string& p) { close(open(p.c_str(), O_CREAT | O_WRONLY, 0644)); }

const std::string kMissing = "'. A component of the path does not exist, or the path is an empty string.";

}  // namespace

class Conversion : public JvmTest {};

TEST_F(Conversion, ByteExactRoundTrips) {
    jstring latin = JNU_NewStringISO8859_1(env, "A\xE9\xFF");
    EXPECT_EQ(chars(env, latin), u"A\u00e9\u00ff");
    EXPECT_EQ(Free{JNU_GetStringISO8859_1Chars(env, latin)}.str(), "A\xE9\xFF");

    const std::string e = latin1Process() ? "\xE9" : "\xC3\xA9";
    jstring native = JNU_NewStringNative(env, e.c_str());
    EXPECT_EQ(chars(env, native), u"\u00e9");
    EXPECT_EQ(Free{JNU_GetStringNativeChars(env, native)}.str(), e);

    EXPECT_EQ(chars(env, JNU_NewStringNative(env, "")), u"");
    EXPECT_EQ(chars(env, JNU_NewStringISO8859_1(env, "")), u"");
    EXPECT_EQ(Free{JNU_GetStringNativeChars(env, jstr(env, u""))}.str(), "");
    EXPECT_EQ(Free{JNU_GetStringISO8859_1Chars(env, jstr(env, u""))}.str(), "");

    EXPECT_EQ(JNU_NewStringNative(env, nullptr), nullptr);
    EXPECT_EQ(JNU_NewStringISO8859_1(env, nullptr), nullptr);
    EXPECT_EQ(JNU_GetStringNativeChars(env, nullptr), nullptr);
    EXPECT_EQ(JNU_GetStringISO8859_1Chars(env, nullptr), nullptr);
    EXPECT_EQ(getJavaFilePath(env, nullptr), nullptr);
    EXPECT_EQ(getNativeFilePath(env, nullptr), nullptr);
    EXPECT_EQ(isANSI(nullptr), 0);
}

// The helpers skip the upcall into java.lang.String where they can; on
// random input they must still agree with the JDK to the last byte.
TEST_F(Conversion, AgreesWithTheJdkOnRandomInput) {
    const unsigned seed = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const char16_t pool[] = {u'a', u'/', u'\u00e9', u'\u00ff', u'\u0100', u'\u20ac', 0xD83D, 0xDE00, 0xDC00, u'\0'};
    for (int round = 0; round < 3000; ++round) {
        env->PushLocalFrame(32);
        std::string b(rng() % 12, '\0');
        for (char& c : b) c = char(1 + rng() % 255);
        std::u16string s(rng() % 12, u'\0');
        for (char16_t& c : s) c = (rng() % 3 == 0) ? char16_t(1 + rng() % 0xFFFF) : pool[rng() % 10];
        if (round % 4 == 0) {  // plain ASCII takes a road of its own
            for (char& c : b) c = char(1 + rng() % 127);
            for (char16_t& c : s) c = char16_t(rng() % 128);
        }
        const jstring js = jstr(env, s);

        ASSERT_EQ(chars(env, JNU_NewStringNative(env, b.c_str())), chars(env, javaDecode(env, b, nullptr)));
        ASSERT_EQ(chars(env, JNU_NewStringISO8859_1(env, b.c_str())), chars(env, javaDecode(env, b, "ISO-8859-1")));
        ASSERT_EQ(Free{JNU_GetStringNativeChars(env, js)}.str(), javaEncode(env, js, nullptr));
        ASSERT_EQ(Free{JNU_GetStringISO8859_1Chars(env, js)}.str(), javaEncode(env, js, "ISO-8859-1"));
        // getJavaFilePath: the platform reading when it survives the round trip, else ISO-8859-1.
        jstring viaPlatform = javaDecode(env, b, nullptr);
        jstring expected = javaEncode(env, viaPlatform, nullptr) == b ? viaPlatform : javaDecode(env, b, "ISO-8859-1");
        ASSERT_EQ(chars(env, getJavaFilePath(env, b.c_str())), chars(env, expected));
        env->PopLocalFrame(nullptr);
    }
}

TEST_F(Conversion, NamesFindTheirFilesAgain) {
    TempDir dir;
    const std::string ascii = dir.path + "/plain.txt", raw = dir.path + "/\xE9";
    touch(ascii);
    touch(raw);
    mkfifo((dir.path + "/fifo").c_str(), 0600);
    const int fds = openFds();

    EXPECT_EQ(chars(env, getJavaFilePath(env, ascii.c_str())), u16(ascii));
    EXPECT_EQ(Free{getNativeFilePath(env, jstr(env, u16(ascii)))}.str(), ascii);
    // The byte 0xE9 reads as U+00E9 in both charsets here, and comes back as the byte that exists.
    jstring e = getJavaFilePath(env, raw.c_str());
    EXPECT_EQ(chars(env, e), u16(dir.path) + u"/\u00e9");
    EXPECT_EQ(Free{getNativeFilePath(env, e)}.str(), raw);
    // Neither form exists: the platform form.
    const std::string nowhere = latin1Process() ? "/nowhere/\xE9" : "/nowhere/\xC3\xA9";
    EXPECT_EQ(Free{getNativeFilePath(env, jstr(env, u"/nowhere/\u00e9"))}.str(), nowhere);
    // A directory is probed like a file; FIFOs, devices and sockets answer at once.
    for (const std::string& p : {dir.path, dir.path + "/fifo", std::string("/dev/null"), std::string("/dev/zero")}) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Free{getNativeFilePath(env, jstr(env, u16(p) + u"\u00e9"))}.str(),
                  p + (latin1Process() ? "\xE9" : "\xC3\xA9"));
        EXPECT_EQ(Free{getNativeFilePath(env, jstr(env, u16(p)))}.str(), p);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << p;
    }
    EXPECT_EQ(openFds(), fds);
}

TEST_F(Conversion, ProbesNeverHangAndLeaveNoDescriptor) {
    TempDir dir;
    const std::string fifo = dir.path + "/f\xE9", sock = dir.path + "/s\xE9";
    mkfifo(fifo.c_str(), 0600);
    // Devices reached through links: opening /dev/tty could make it our controlling terminal.
    symlink("/dev/tty", (dir.path + "/t\xE9").c_str());
    symlink("/dev/zero", (dir.path + "/z\xE9").c_str());
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const int fds = openFds();
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; ++i) {
        env->PushLocalFrame(4);
        std::free(getNativeFilePath(env, jstr(env, u16(dir.path) + (i % 2 ? u"/f\u00e9" : u"/s\u00e9"))));
        std::free(getNativeFilePath(env, jstr(env, u16(dir.path) + (i % 2 ? u"/t\u00e9" : u"/z\u00e9"))));
        env->PopLocalFrame(nullptr);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_EQ(openFds(), fds);
    // The FIFO's own byte form exists, so that is what comes back.
    EXPECT_EQ(Free{getNativeFilePath(env, jstr(env, u16(dir.path) + u"/f\u00e9"))}.str(), fifo);
    close(s);
}

class Exceptions : public JvmTest {};

TEST_F(Exceptions, ClassMessageAndFallback) {
    throwIOException(env, "plain");
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.IOException");
    EXPECT_EQ(t.msg, u"plain");

    throwFileNotFoundException(env, latin1Process() ? "caf\xE9" : "caf\xC3\xA9");
    t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.FileNotFoundException");
    EXPECT_EQ(t.msg, u"caf\u00e9");

    throwException(env, "no/such/Exception", "msg");
    t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.lang.Exception");
    EXPECT_EQ(t.msg, u"msg");
    EXPECT_EQ(t.causeCls, "java.lang.NoClassDefFoundError");

    throwException(env, "java/lang/String", "not a Throwable");
    EXPECT_EQ(takeThrown(env).cls, "java.lang.Exception");
    throwException(env, nullptr, nullptr);
    t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.lang.Exception");
    EXPECT_EQ(t.msg, u"<null>");

    // Raised over a pending error: one exception, the error kept as its cause.
    EXPECT_EQ(env->FindClass("no/such/Thing"), nullptr);
    throwIOException(env, "later");
    t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.IOException");
    EXPECT_EQ(t.causeCls, "java.lang.NoClassDefFoundError");
}

class StatWrappers : public JvmTest {};

TEST_F(StatWrappers, ResultsErrnoAndMessages) {
    TempDir dir;
    const std::string file = dir.path + "/file", dangling = dir.path + "/dangling", loop = dir.path + "/loop";
    touch(file);
    symlink("nowhere", dangling.c_str());
    symlink("loop", loop.c_str());
    struct stat st {};

    EXPECT_EQ(getLstat(env, dangling.c_str(), &st, 0), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    errno = 0;
    EXPECT_EQ(getStat(env, dangling.c_str(), &st, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(env->ExceptionCheck());

    struct Case {
        std::string path;
        int err;
        std::string text;
    };
    std::string longPath(5000, 'y');
    longPath[0] = '/';
    for (const Case& c : {Case{dir.path + "/missing", ENOENT, kMissing},
                          Case{file + "/x", ENOTDIR, "'. A component of the path is not a directory."},
                          Case{loop + "/x", ELOOP, "'. Too many symbolic links encountered while traversing the path. "},
                          Case{longPath, ENAMETOOLONG, "'. File name too long."}}) {
        errno = 0;
        EXPECT_EQ(getStat(env, c.path.c_str(), &st, 0), -1);
        EXPECT_EQ(errno, c.err) << c.path;
        EXPECT_FALSE(env->ExceptionCheck());
        for (int lstatToo = 0; lstatToo < 2; ++lstatToo) {
            EXPECT_EQ(lstatToo ? getLstat(env, c.path.c_str(), &st, 1) : getStat(env, c.path.c_str(), &st, 1), -1);
            Thrown t = takeThrown(env);
            EXPECT_EQ(t.cls, "java.io.IOException");
            const std::string full = std::string(lstatToo ? "[JniUtil.getLstat] " : "[JniUtil.getStat] ") +
                                     " stat() failed on  '" + c.path + c.text;
            EXPECT_EQ(t.msg, u16(full.substr(0, 511))) << c.path;  // long texts are cut to the 512-byte buffer
        }
    }
    if (geteuid() != 0) {
        const std::string locked = dir.path + "/locked";
        mkdir(locked.c_str(), 0700);
        chmod(locked.c_str(), 0);
        EXPECT_EQ(getStat(env, (locked + "/x").c_str(), &st, 1), -1);
        EXPECT_EQ(takeThrown(env).msg,
                  u16("[JniUtil.getStat]  stat() failed on  '" + locked +
                      "/x'. Search permission is denied for one of the directories in the path prefix of path."));
    }
}
