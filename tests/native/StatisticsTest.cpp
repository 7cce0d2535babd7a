// Locale conversion and IOException raising as native code sees them (the
// statistics themselves are tested through Java).
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <barrier>
#include <cstring>
#include <langinfo.h>
#include <string>
#include <thread>
#include <vector>

#include "JvmTest.h"
#include "UNIXFileSysUtil.h"

namespace {

const std::string kPrefix = "[UNIXFileSysUtil.getFileSysStat] ";

bool latin1Process() { return std::strcmp(std::getenv("FSUTIL_CODESET"), "ISO-8859-1") == 0; }

std::string bytes(const char* s) { return s ? std::string(s) : std::string("<null>"); }

}  // namespace

TEST(Codeset, ProcessRunsInTheLocaleTheTestAsksFor) {
    EXPECT_STREQ(nl_langinfo(CODESET), std::getenv("FSUTIL_CODESET"));
}

class Statistics : public JvmTest {};

TEST_F(Statistics, ConvertUsesTheLocaleCodeset) {
    const std::string before = codepage;
    EXPECT_EQ(convert(env, nullptr), nullptr);
    EXPECT_EQ(before, codepage) << "a null path must not fill the cache";
    char* ascii = convert(env, jstr(env, u"/tmp/a b"));
    EXPECT_EQ(bytes(ascii), "/tmp/a b");
    std::free(ascii);
    char* e = convert(env, jstr(env, u"\u00e9"));
    EXPECT_EQ(bytes(e), latin1Process() ? "\xE9" : "\xC3\xA9");
    std::free(e);
    EXPECT_STREQ(codepage, nl_langinfo(CODESET));
}

TEST_F(Statistics, CharsetThatJavaRejectsGivesOneIOExceptionWithTheCause) {
    std::free(convert(env, jstr(env, u"/")));  // the cache is filled, now swap in a name Java does not know
    const std::string saved = codepage;
    std::snprintf(codepage, sizeof codepage, "%s", "NO-SUCH-CHARSET");
    jobject stat = getFileSysStat(env, nullptr, jstr(env, u"/tmp"));
    std::snprintf(codepage, sizeof codepage, "%s", saved.c_str());
    EXPECT_EQ(stat, nullptr);
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.IOException");
    EXPECT_EQ(t.msg, u16(kPrefix + "convert failed for '/tmp'"));
    EXPECT_EQ(t.causeCls, "java.io.UnsupportedEncodingException");
}

TEST_F(Statistics, ThrowIOExptCarriesTheTextAndAnyPendingError) {
    throwIOExpt(env, "plain text");
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.IOException");
    EXPECT_EQ(t.msg, u"plain text");
    EXPECT_TRUE(t.causeCls.empty());

    EXPECT_EQ(env->FindClass("no/such/Thing"), nullptr);
    throwIOExpt(env, "after a failed lookup");
    t = takeThrown(env);
    EXPECT_EQ(t.msg, u"after a failed lookup");
    EXPECT_EQ(t.causeCls, "java.lang.NoClassDefFoundError");

    // Bytes that are not modified UTF-8 arrive as their ISO-8859-1 reading.
    throwIOExpt(env, "caf\xE9 \xC3\xA9");
    EXPECT_EQ(takeThrown(env).msg, u"caf\u00e9 \u00e9");
}

// Runs in a process of its own: these are the first convert() calls.
TEST(CodepageRace, SixteenFirstCallersSeeOneFullName) {
    ASSERT_EQ(codepage[0], '\0');
    constexpr int kThreads = 16;
    std::barrier start(kThreads);
    std::vector<std::string> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            JNIEnv* env = testEnv();
            env->PushLocalFrame(8);
            jstring path = jstr(env, u"/tmp");
            start.arrive_and_wait();
            std::free(convert(env, path));
            seen[i] = codepage;
            env->PopLocalFrame(nullptr);
            testVm()->DetachCurrentThread();
        });
    }
    for (auto& t : threads) t.join();
    for (const std::string& s : seen) EXPECT_EQ(s, nl_langinfo(CODESET));
}

