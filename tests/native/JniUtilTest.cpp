// The exported helpers as native callers see them: conversions, exceptions, name negotiation,
// stat wrappers, file primitives, and convert, codepage and throwIOExpt (the statistics
// themselves are tested through Java).
#include <langinfo.h>
#include <stdio_ext.h>

#include <barrier>
#include <cerrno>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "JniUtil.h"
#include "JvmTest.h"
#include "UNIXFileSysUtil.h"

namespace {

// The JDK's own answers, to hold the helpers against; charset null: the platform's.
jstring javaDecode(JNIEnv* env, const std::string& b, const char* charset) {
    jbyteArray arr = env->NewByteArray(jsize(b.size()));
    env->SetByteArrayRegion(arr, 0, jsize(b.size()), reinterpret_cast<const jbyte*>(b.data()));
    jclass s = env->FindClass("java/lang/String");
    jobject out = env->NewObject(s, env->GetMethodID(s, "<init>", "([BLjava/lang/String;)V"), arr,
                                 env->NewStringUTF(charset ? charset : std::getenv("FSUTIL_CODESET")));
    EXPECT_FALSE(env->ExceptionCheck());
    return jstring(out);
}

std::string javaEncode(JNIEnv* env, jstring js, const char* charset) {
    jclass s = env->FindClass("java/lang/String");
    auto arr = jbyteArray(env->CallObjectMethod(js, env->GetMethodID(s, "getBytes", "(Ljava/lang/String;)[B"),
                                                env->NewStringUTF(charset ? charset : std::getenv("FSUTIL_CODESET"))));
    EXPECT_FALSE(env->ExceptionCheck());
    std::string out(std::size_t(env->GetArrayLength(arr)), '\0');
    env->GetByteArrayRegion(arr, 0, jsize(out.size()), reinterpret_cast<jbyte*>(out.data()));
    return out.substr(0, out.find('\0'));  // a C string ends at the first NUL
}

}  // namespace

class Conversion : public JvmTest {};

// The helpers skip the upcall into java.lang.String where they can; on
// random input they must still agree with the JDK to the last byte.
TEST_F(Conversion, AgreesWithTheJdkOnRandomInputAndNullGivesNull) {
    for (auto f : {JNU_NewStringNative, JNU_NewStringISO8859_1, getJavaFilePath}) EXPECT_EQ(f(env, nullptr), nullptr);
    for (auto f : {JNU_GetStringNativeChars, JNU_GetStringISO8859_1Chars, getNativeFilePath}) EXPECT_EQ(f(env, nullptr), nullptr);
    EXPECT_EQ(isANSI(nullptr), 0);
    const unsigned seed = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Every range boundary: ASCII, Latin-1, two and three UTF-8 bytes, high and low surrogates.
    const char16_t pool[] = {u'a', u'\u007f', u'\u0080', u'\u00ff', u'\u0100', u'\u07ff', u'\u0800', u'\uffff',
                             0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00, u'\0'};
    // The first byte strings lie on either side of each UTF-8 validity bound (overlong forms,
    // surrogates, past U+10FFFF), which random bytes would seldom hit.
    const char* const edges[] = {"\xC1\xBF", "\xC2\x80", "\xE0\x9F\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xED\xA0\x80",
                                 "\xF0\x8F\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xF4\x90\x80\x80"};
    for (std::size_t round = 0; round < 3000; ++round) {
        env->PushLocalFrame(32);
        const bool ascii = round % 4 == 1;  // plain ASCII takes a road of its own
        const std::size_t len = round % 100 == 2 ? 511 + round / 100 % 3 : rng() % 12;  // around the stack buffers
        std::string b(len, '\0');
        for (char& c : b) c = char(1 + rng() % (ascii ? 127 : 255));
        if (round < std::size(edges)) b = "x" + std::string(edges[round]);
        std::u16string s(len, u'\0');
        for (char16_t& c : s) c = ascii ? rng() % 128 : rng() % 3 ? pool[rng() % std::size(pool)] : 1 + rng() % 0xFFFF;
        const jstring js = jstr(env, s);
        ASSERT_EQ(utf8(env, JNU_NewStringNative(env, b.c_str())), utf8(env, javaDecode(env, b, nullptr)));
        ASSERT_EQ(utf8(env, JNU_NewStringISO8859_1(env, b.c_str())), utf8(env, javaDecode(env, b, "ISO-8859-1")));
        ASSERT_EQ(Owned{JNU_GetStringNativeChars(env, js)}.str(), javaEncode(env, js, nullptr));
        ASSERT_EQ(Owned{JNU_GetStringISO8859_1Chars(env, js)}.str(), javaEncode(env, js, "ISO-8859-1"));
        // getJavaFilePath: the platform reading when it survives the round trip, else ISO-8859-1.
        jstring viaPlatform = javaDecode(env, b, nullptr);
        jstring expected = javaEncode(env, viaPlatform, nullptr) == b ? viaPlatform : javaDecode(env, b, "ISO-8859-1");
        ASSERT_EQ(utf8(env, getJavaFilePath(env, b.c_str())), utf8(env, expected));
        env->PopLocalFrame(nullptr);
    }
}

// In a UTF-8 process "é" names C3 A9 first and the byte E9 when only that
// exists; the probe opens nothing that could block (a FIFO would hang the test) or act on a device.
TEST_F(Conversion, NegotiationTakesTheFormThatExists) {
    TempDir dir;
    makeFixture(dir);
    const int fds = openFds(dir.path);
    const std::string e = latin1Process() ? "\xE9" : "\xC3\xA9";
    // Both forms of "é" exist (twins): the platform form wins. A socket counts as missing (ENXIO).
    const std::pair<std::u16string, std::string> cases[] = {
        {u"\u00e9", e}, {u"f\u00e9", "f\xE9"}, {u"t\u00e9", "t\xE9"},   {u"z\u00e9", "z\xE9"},
        {u"s\u00e9", "s" + e}, {u"n\u00e9", "n" + e}, {u"f\u00e9/x", "f" + e + "/x"}};
    const std::u16string parent(dir.path.begin(), dir.path.end());
    for (const auto& [name, bytes] : cases) {
        EXPECT_EQ(Owned{getNativeFilePath(env, jstr(env, parent + u"/" + name))}.str(), dir / bytes);
    }
    EXPECT_EQ(Owned{getNativeFilePath(env, jstr(env, u""))}.str(), "");
    EXPECT_EQ(openFds(dir.path), fds);
}

TEST_F(Conversion, ExceptionsCarryClassMessageAndCause) {
    throwIOException(env, "plain");
    expectThrown("java.io.IOException: plain");
    throwFileNotFoundException(env, latin1Process() ? "caf\xE9" : "caf\xC3\xA9");
    expectThrown("java.io.FileNotFoundException: caf\xC3\xA9");
    throwException(env, "no/such/Exception", "msg");
    expectThrown("java.lang.Exception: msg", "java.lang.NoClassDefFoundError: no/such/Exception");
    throwException(env, "java/lang/String", "not a Throwable");
    expectThrown("java.lang.Exception: not a Throwable");
    throwException(env, nullptr, nullptr);
    expectThrown("java.lang.Exception");
    // Raised over a pending error: one exception, the error kept as its cause.
    EXPECT_EQ(env->FindClass("no/such/Thing"), nullptr);
    throwIOException(env, "later");
    expectThrown("java.io.IOException: later", "java.lang.NoClassDefFoundError: no/such/Thing");
}

namespace {

using StatCall = int (*)(JNIEnv*, const char*, struct stat*, int);

struct StatFailure {
    StatCall call;
    const char* name;
    std::string path;
    int err;
    std::string reason;  // the message's end, after the path
};

std::string statHead(const char* name) { return "java.io.IOException: [JniUtil." + std::string(name) + "]  stat() failed on  '"; }

}  // namespace

// The stat wrappers fill the record; a failure leaves its errno, or, asked to throw, raises one
// IOException naming the path and the reason.
TEST_F(Conversion, StatWrappersFillTheRecordOrReportTheFailure) {
    TempDir dir;
    makeFixture(dir);
    struct stat st {};
    EXPECT_TRUE(getLstat(env, (dir / "dangling").c_str(), &st, 1) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(getStat(env, (dir / "file").c_str(), &st, 1) == 0 && S_ISREG(st.st_mode));
    const std::string enoent = "'. A component of the path does not exist, or the path is an empty string.";
    std::vector<StatFailure> cases = {
        {getStat, "getStat", dir / "dangling", ENOENT, enoent},
        {getLstat, "getLstat", "", ENOENT, enoent},
        {getStat, "getStat", dir / "file/x", ENOTDIR, "'. A component of the path is not a directory."},
        {getLstat, "getLstat", dir / "loop/x", ELOOP, "'. Too many symbolic links encountered while traversing the path. "}};
    if (geteuid() != 0) {  // root passes every permission check; ctest runs this as nobody too
        cases.push_back({getStat, "getStat", dir / "locked/x", EACCES,
                         "'. Search permission is denied for one of the directories in the path prefix of path."});
    }
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(env, c.path.c_str(), &st, 0), -1);
        EXPECT_EQ(errno, c.err) << c.path;
        EXPECT_EQ(c.call(env, c.path.c_str(), &st, 1), -1);
        expectThrown(statHead(c.name) + c.path + c.reason);
    }
    EXPECT_EQ(getLstat(env, ("/" + std::string(5000, 'y')).c_str(), &st, 0), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(getStat(env, nullptr, &st, 0), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(getLstat(env, nullptr, &st, 1), -1);
    expectThrown(statHead("getLstat") + "(null)'. Bad address.");
}

// A path too long for the message loses its middle, never its ends nor the reason.
TEST_F(Conversion, StatWrappersShortenALongPathInTheMiddle) {
    const std::string path = "/head" + std::string(5000, 'y') + "tail";
    const std::string reason = "'. File name too long.";
    struct stat st {};
    EXPECT_EQ(getLstat(env, path.c_str(), &st, 1), -1);
    const std::string msg = takeThrown(env).text;
    EXPECT_LT(msg.size(), path.size());
    EXPECT_EQ(msg.rfind(statHead("getLstat") + "/head", 0), 0u) << msg;
    EXPECT_NE(msg.find("...y"), std::string::npos) << msg;
    EXPECT_TRUE(msg.size() > reason.size() && msg.compare(msg.size() - reason.size() - 4, std::string::npos, "tail" + reason) == 0) << msg;
}

TEST_F(Conversion, ConvertUsesTheLocaleCodesetAndRaisesOneIOException) {
    EXPECT_EQ(convert(env, nullptr), nullptr);
    EXPECT_EQ(Owned{convert(env, jstr(env, u"\u00e9"))}.str(), latin1Process() ? "\xE9" : "\xC3\xA9");
    // A NUL would name a shorter path: refused where the codeset would encode it as a zero byte.
    EXPECT_EQ(Owned{convert(env, jstr(env, std::u16string(u"a\0b", 3)))}.str(), latin1Process() ? "<null>" : "a\xC0\x80" "b");
    EXPECT_STREQ(codepage, std::getenv("FSUTIL_CODESET"));

    // A codeset name that Java rejects: one IOException, the VM's error as its cause.
    const std::string saved = codepage;
    std::snprintf(codepage, sizeof codepage, "%s", "NO-SUCH-CHARSET");
    EXPECT_EQ(getFileSysStat(env, nullptr, jstr(env, u"/tmp")), nullptr);
    std::snprintf(codepage, sizeof codepage, "%s", saved.c_str());
    expectThrown("java.io.IOException: [UNIXFileSysUtil.getFileSysStat] convert failed for '/tmp'",
                 "java.io.UnsupportedEncodingException: NO-SUCH-CHARSET");

    EXPECT_EQ(env->FindClass("no/such/Thing"), nullptr);
    throwIOExpt(env, "caf\xE9 \xC3\xA9");  // bytes that are not modified UTF-8 read as ISO-8859-1
    expectThrown("java.io.IOException: caf\xC3\xA9 \xC3\xA9", "java.lang.NoClassDefFoundError: no/such/Thing");
}

// Runs in a process of its own: these are the first convert() calls.
TEST(CodepageRace, SixteenFirstCallersSeeOneFullName) {
    ASSERT_EQ(codepage[0], '\0');
    std::barrier start(16);
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            JNIEnv* env = testEnv();
            jstring path = env->NewStringUTF("/tmp");
            start.arrive_and_wait();
            std::free(convert(env, path));
            EXPECT_STREQ(codepage, nl_langinfo(CODESET));
            JavaVM* vm = nullptr;
            env->GetJavaVM(&vm);
            vm->DetachCurrentThread();
        });
    }
    for (auto& t : threads) t.join();
}

// The same process, whose class path lacks the library's classes: a missing result class is one
// IOException, its cause the VM's error, and one diagnostic line, flushed before Java writes again.
class NoLibraryClasses : public JvmTest {};
TEST_F(NoLibraryClasses, MissingResultClassGivesOneIOException) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(getFileSysStat(env, nullptr, jstr(env, u"/")), nullptr);
    EXPECT_EQ(__fpending(stdout), 0u);
    const std::string msg = "[UNIXFileSysUtil.getFileSysStat] FindClass returns NULL for 'com/orvan/mek/fsutil/FileSysStatUnix'";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), msg);
    expectThrown("java.io.IOException: " + msg, "java.lang.NoClassDefFoundError: com/orvan/mek/fsutil/FileSysStatUnix");
}

TEST(FilePrimitives, SkipAndReadMoveAndReportLikeTheSystem) {
    TempDir dir;
    const int fd = open((dir / "data").c_str(), O_CREAT | O_RDWR, 0600);
    const off_t big = off_t(5) << 30;  // offsets past 2^32 on a sparse file
    int pipeFds[2];
    ASSERT_TRUE(ftruncate(fd, big) == 0 && pipe(pipeFds) == 0);
    const std::string inval = "whence is not one of SEEK_SET, SEEK_CUR, SEEK_END, or the resulting file offset would be "
                              "negative.\n";
    const struct {
        int fd;
        off_t start, skip, moved;
        std::string line;
    } cases[] = {
        {fd, 10, 5000, 5000, ""},  // past the end is allowed
        {fd, 0, big - 1, big - 1, ""},  {fd, 10, -20, -11, inval},  // -1 minus the start; the position stays
        {fd, big - 1, INT64_MAX, -big, inval},
        {pipeFds[0], 0, 10, 0, "iFileDescriptor is associated with a pipe, socket, or FIFO.\n"},
        {4000, 0, 10, 0, "iFileDescriptor is not an open file descriptor.\n"},  // beyond anything open here
    };
    for (const auto& c : cases) {
        lseek(c.fd, c.start, SEEK_SET);
        testing::internal::CaptureStdout();
        EXPECT_EQ(skipFile(c.fd, c.skip), c.moved) << c.skip;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line.empty() ? "" : "[JniUtil.skipFile] " + c.line);
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), c.fd != fd ? big - 1 : c.moved < 0 ? c.start : c.start + c.skip);
    }
    char buf[8];
    ASSERT_EQ(ftruncate(fd, 3), 0);
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(readFile(fd, buf, sizeof buf), 3);
    EXPECT_EQ(readFile(fd, buf, sizeof buf), 0);
    close(fd);
    EXPECT_TRUE(readFile(fd, buf, sizeof buf) == -1 && errno == EBADF);
}

TEST(FilePrimitives, ReadLinkTargetOfEveryLength) {
    TempDir dir;
    for (std::size_t len : {1, 511, 512, 1023, 1024, 4095}) {
        std::string target(len, 't');
        for (std::size_t i = 255; i < len; i += 256) target[i] = '/';  // keep components legal
        const std::string link = dir / std::to_string(len);
        char* got = nullptr;
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        ASSERT_EQ(readLinkTarget(link.c_str(), &got), 0) << len;
        EXPECT_EQ(Owned{got}.str(), target);
    }
    for (const auto& [name, err] : {std::pair{"", EINVAL}, std::pair{"missing", ENOENT}}) {
        char* untouched = nullptr;
        EXPECT_EQ(readLinkTarget((dir / name).c_str(), &untouched), -1);  // "" names the directory itself
        EXPECT_EQ(errno, err);
        EXPECT_EQ(untouched, nullptr);
    }
}
