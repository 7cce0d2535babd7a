// The exported helpers: conversions, exceptions, name negotiation, stat wrappers.
#include <cerrno>
#include <chrono>
#include <random>
#include <tuple>
#include <vector>

#include "JniUtil.h"
#include "JvmTest.h"

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
    EXPECT_EQ(JNU_NewStringNative(env, nullptr), nullptr);
    EXPECT_EQ(JNU_NewStringISO8859_1(env, nullptr), nullptr);
    EXPECT_EQ(getJavaFilePath(env, nullptr), nullptr);
    EXPECT_EQ(JNU_GetStringNativeChars(env, nullptr), nullptr);
    EXPECT_EQ(JNU_GetStringISO8859_1Chars(env, nullptr), nullptr);
    EXPECT_EQ(getNativeFilePath(env, nullptr), nullptr);
    EXPECT_EQ(isANSI(nullptr), 0);
    const unsigned seed = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Every range boundary: ASCII, Latin-1, two and three UTF-8 bytes, high and low surrogates.
    const char16_t pool[] = {u'a', u'\u007f', u'\u0080', u'\u00ff', u'\u0100', u'\u07ff', u'\u0800', u'\uffff',
                             0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00, u'\0'};
    for (int round = 0; round < 3000; ++round) {
        env->PushLocalFrame(32);
        const bool ascii = round % 4 == 0;  // plain ASCII takes a road of its own
        std::string b(rng() % 12, '\0');
        for (char& c : b) c = char(1 + rng() % (ascii ? 127 : 255));
        std::u16string s(rng() % 12, u'\0');
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
// exists; the probe opens nothing that could block or act on a device.
TEST_F(Conversion, NegotiationTakesTheFormThatExists) {
    TempDir dir;
    makeFixture(dir);
    const int fds = openFds(dir.path);
    const auto t0 = std::chrono::steady_clock::now();
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
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(openFds(dir.path), fds);
}

TEST_F(Conversion, ExceptionsCarryClassMessageAndCause) {
    auto expect = [&](const std::string& text, const std::string& cause = "") {
        const Thrown t = takeThrown(env);
        EXPECT_EQ(t.text, text);
        EXPECT_EQ(t.cause, cause);
    };
    throwIOException(env, "plain");
    expect("java.io.IOException: plain");
    throwFileNotFoundException(env, latin1Process() ? "caf\xE9" : "caf\xC3\xA9");
    expect("java.io.FileNotFoundException: caf\xC3\xA9");
    throwException(env, "no/such/Exception", "msg");
    expect("java.lang.Exception: msg", "java.lang.NoClassDefFoundError: no/such/Exception");
    throwException(env, "java/lang/String", "not a Throwable");
    expect("java.lang.Exception: not a Throwable");
    throwException(env, nullptr, nullptr);
    expect("java.lang.Exception");
    // Raised over a pending error: one exception, the error kept as its cause.
    EXPECT_EQ(env->FindClass("no/such/Thing"), nullptr);
    throwIOException(env, "later");
    expect("java.io.IOException: later", "java.lang.NoClassDefFoundError: no/such/Thing");
}

TEST_F(Conversion, StatWrappersResultsErrnoAndMessages) {
    TempDir dir;
    makeFixture(dir);
    struct stat st {};
    EXPECT_EQ(getLstat(env, (dir / "dangling").c_str(), &st, 1), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(getStat(env, (dir / "file").c_str(), &st, 1), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    const std::string enoent = "'. A component of the path does not exist, or the path is an empty string.";
    std::vector<std::tuple<const char*, std::string, int, std::string>> cases = {  // function, path, errno, text
        {"getStat", dir / "dangling", ENOENT, enoent},
        {"getLstat", "", ENOENT, enoent},
        {"getStat", dir / "file/x", ENOTDIR, "'. A component of the path is not a directory."},
        {"getLstat", dir / "loop/x", ELOOP, "'. Too many symbolic links encountered while traversing the path. "},
        {"getLstat", "/" + std::string(5000, 'y'), ENAMETOOLONG, "'. File name too long."}};
    if (geteuid() != 0) {  // root passes every permission check; ctest runs this as nobody too
        cases.emplace_back("getStat", dir / "locked/x", EACCES,
                           "'. Search permission is denied for one of the directories in the path prefix of path.");
    }
    for (const auto& [fn, path, err, text] : cases) {
        auto call = std::string(fn) == "getStat" ? getStat : getLstat;
        EXPECT_EQ(call(env, path.c_str(), &st, 0), -1);
        EXPECT_EQ(errno, err) << path;
        EXPECT_EQ(call(env, path.c_str(), &st, 1), -1);
        const std::string msg = "java.io.IOException: [JniUtil." + std::string(fn) + "]  stat() failed on  '" + path + text;
        EXPECT_EQ(takeThrown(env).text, msg.substr(0, 21 + 511)) << path;  // cut to the 512-byte buffer
    }
    EXPECT_EQ(getStat(env, nullptr, &st, 0), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(getLstat(env, nullptr, &st, 1), -1);
    EXPECT_EQ(takeThrown(env).text, "java.io.IOException: [JniUtil.getLstat]  stat() failed on  '(null)'. Bad address.");
}
