// convert, codepage and throwIOExpt as native callers see them (the
// statistics themselves are tested through Java).
#include <langinfo.h>

#include <barrier>
#include <cstring>
#include <thread>
#include <vector>

#include "JvmTest.h"
#include "UNIXFileSysUtil.h"

class Statistics : public JvmTest {};

TEST_F(Statistics, ConvertUsesTheLocaleCodeset) {
    EXPECT_STREQ(nl_langinfo(CODESET), std::getenv("FSUTIL_CODESET"));
    EXPECT_EQ(convert(env, nullptr), nullptr);
    EXPECT_EQ(Owned{convert(env, jstr(env, u"/tmp/a b"))}.str(), "/tmp/a b");
    EXPECT_EQ(Owned{convert(env, jstr(env, u"\u00e9"))}.str(), latin1Process() ? "\xE9" : "\xC3\xA9");
    EXPECT_EQ(Owned{convert(env, jstr(env, std::u16string(u"a\0b", 3)))}.str(), latin1Process() ? "<null>" : "a\xC0\x80" "b");
    EXPECT_STREQ(codepage, nl_langinfo(CODESET));

    // A codeset name that Java rejects: one IOException, the VM's error as its cause.
    const std::string saved = codepage;
    std::snprintf(codepage, sizeof codepage, "%s", "NO-SUCH-CHARSET");
    jobject stat = getFileSysStat(env, nullptr, jstr(env, u"/tmp"));
    std::snprintf(codepage, sizeof codepage, "%s", saved.c_str());
    EXPECT_EQ(stat, nullptr);
    const Thrown t = takeThrown(env);
    EXPECT_EQ(t.text, "java.io.IOException: [UNIXFileSysUtil.getFileSysStat] convert failed for '/tmp'");
    EXPECT_EQ(t.cause, "java.io.UnsupportedEncodingException: NO-SUCH-CHARSET");
}

TEST_F(Statistics, ThrowIOExptCarriesTheTextAndAnyPendingError) {
    throwIOExpt(env, "caf\xE9 \xC3\xA9");  // bytes that are not modified UTF-8 read as ISO-8859-1
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.text, "java.io.IOException: caf\xC3\xA9 \xC3\xA9");
    EXPECT_EQ(t.cause, "");
    EXPECT_EQ(env->FindClass("no/such/Thing"), nullptr);
    throwIOExpt(env, "after a failed lookup");
    t = takeThrown(env);
    EXPECT_EQ(t.text, "java.io.IOException: after a failed lookup");
    EXPECT_EQ(t.cause, "java.lang.NoClassDefFoundError: no/such/Thing");
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
            JavaVM* vm = nullptr;
            env->GetJavaVM(&vm);
            vm->DetachCurrentThread();
        });
    }
    for (auto& t : threads) t.join();
    for (const std::string& s : seen) EXPECT_EQ(s, nl_langinfo(CODESET));
}
