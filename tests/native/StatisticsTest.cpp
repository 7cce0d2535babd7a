// convert, codepage and throwIOExpt as native callers see them (the
// statistics themselves are tested through Java).
#include <langinfo.h>

#include <barrier>
#include <thread>
#include <vector>

#include "JvmTest.h"
#include "UNIXFileSysUtil.h"

class Statistics : public JvmTest {};

TEST_F(Statistics, ConvertUsesTheLocaleCodesetAndRaisesOneIOException) {
    EXPECT_EQ(convert(env, nullptr), nullptr);
    EXPECT_EQ(Owned{convert(env, jstr(env, u"\u00e9"))}.str(), latin1Process() ? "\xE9" : "\xC3\xA9");
    EXPECT_STREQ(codepage, std::getenv("FSUTIL_CODESET"));

    // A codeset name that Java rejects: one IOException, the VM's error as its cause.
    const std::string saved = codepage;
    std::snprintf(codepage, sizeof codepage, "%s", "NO-SUCH-CHARSET");
    EXPECT_EQ(getFileSysStat(env, nullptr, jstr(env, u"/tmp")), nullptr);
    std::snprintf(codepage, sizeof codepage, "%s", saved.c_str());
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.text, "java.io.IOException: [UNIXFileSysUtil.getFileSysStat] convert failed for '/tmp'");
    EXPECT_EQ(t.cause, "java.io.UnsupportedEncodingException: NO-SUCH-CHARSET");

    EXPECT_EQ(env->FindClass("no/such/Thing"), nullptr);
    throwIOExpt(env, "caf\xE9 \xC3\xA9");  // bytes that are not modified UTF-8 read as ISO-8859-1
    t = takeThrown(env);
    EXPECT_EQ(t.text, "java.io.IOException: caf\xC3\xA9 \xC3\xA9");
    EXPECT_EQ(t.cause, "java.lang.NoClassDefFoundError: no/such/Thing");
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
