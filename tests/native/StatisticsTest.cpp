// Statistics, locale conversion and IOException raising as native code sees them.
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

extern "C" {
JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatFbd_getFileSysStat(JNIEnv*, jobject, jstring);
JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatMac_getFileSysStat(JNIEnv*, jobject, jstring);
JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatSos_getFileSysStat(JNIEnv*, jobject, jstring);
JNIEXPORT jobject JNICALL Java_com_orvan_mek_fsutil_FileSystemStatLin_getFileSysStat(JNIEnv*, jobject, jstring);
}

namespace {

const std::string kPrefix = "[UNIXFileSysUtil.getFileSysStat] ";

bool latin1Process() { return std::strcmp(std::getenv("FSUTIL_CODESET"), "ISO-8859-1") == 0; }

std::vector<jlong> values(JNIEnv* env, jobject stat) {
    static const char* getters[] = {"getBlockSize", "getFragmentSize", "getBlocks", "getFreeBlocks",
                                    "getAvailableBlocks", "getFiles", "getFreeFiles", "getAvailableFiles",
                                    "getFsId", "getFlag", "getNameMax"};
    std::vector<jlong> out;
    jclass cls = env->GetObjectClass(stat);
    for (const char* g : getters) out.push_back(checked(env, env->CallLongMethod(stat, env->GetMethodID(cls, g, "()J"))));
    return out;
}

std::vector<jlong> platform(const char* path) {
    struct statvfs64 b {};
    EXPECT_EQ(statvfs64(path, &b), 0);
    return {jlong(b.f_bsize), jlong(b.f_frsize), jlong(b.f_blocks), jlong(b.f_bfree), jlong(b.f_bavail),
            jlong(b.f_files), jlong(b.f_ffree), jlong(b.f_favail), jlong(b.f_fsid), jlong(b.f_flag),
            jlong(b.f_namemax)};
}

// Free counts move while other processes write; the rest must match exactly.
void expectSameFs(const std::vector<jlong>& got, const std::vector<jlong>& want, const char* path) {
    for (std::size_t i : {0u, 1u, 2u, 5u, 8u, 9u, 10u}) EXPECT_EQ(got[i], want[i]) << path << " value #" << i + 1;
    for (std::size_t i : {3u, 4u, 6u, 7u}) EXPECT_NEAR(double(got[i]), double(want[i]), 4096.0) << path << " #" << i + 1;
}

using Entry = jobject (*)(JNIEnv*, jobject, jstring);
const Entry kEntries[] = {Java_com_orvan_mek_fsutil_FileSystemStatFbd_getFileSysStat,
                          Java_com_orvan_mek_fsutil_FileSystemStatMac_getFileSysStat,
                          Java_com_orvan_mek_fsutil_FileSystemStatSos_getFileSysStat,
                          Java_com_orvan_mek_fsutil_FileSystemStatLin_getFileSysStat};

std::string bytes(const char* s) { return s ? std::string(s) : std::string("<null>"); }

}  // namespace

TEST(Codeset, ProcessRunsInTheLocaleTheTestAsksFor) {
    EXPECT_STREQ(nl_langinfo(CODESET), std::getenv("FSUTIL_CODESET"));
}

class Statistics : public JvmTest {};

TEST_F(Statistics, ValuesMatchStatvfsThroughAllFourEntryPoints) {
    TempDir dir;
    const std::string file = dir.path + "/regular";
    std::fclose(std::fopen(file.c_str(), "w"));
    for (const std::string& path : {dir.path, file, std::string("/proc"), std::string("/dev/shm")}) {
        for (Entry entry : kEntries) {
            jobject stat = entry(env, nullptr, jstr(env, u16(path)));
            ASSERT_NE(stat, nullptr) << path;
            expectSameFs(values(env, stat), platform(path.c_str()), path.c_str());
        }
    }
}

TEST_F(Statistics, FailuresRaiseIOExceptionWithExactText) {
    TempDir dir;
    const std::string file = dir.path + "/f";
    std::fclose(std::fopen(file.c_str(), "w"));
    struct Case {
        std::string path;
        std::string error;
    };
    for (const Case& c : {Case{dir.path + "/missing", "No such file or directory"}, Case{"", "No such file or directory"},
                          Case{file + "/below", "Not a directory"}}) {
        EXPECT_EQ(getFileSysStat(env, nullptr, jstr(env, u16(c.path))), nullptr);
        Thrown t = takeThrown(env);
        EXPECT_EQ(t.cls, "java.io.IOException");
        EXPECT_EQ(t.msg, u16(kPrefix + "statvfs failed for '" + c.path + "'. Error='" + c.error + "'"));
    }
    EXPECT_EQ(getFileSysStat(env, nullptr, nullptr), nullptr);
    EXPECT_EQ(takeThrown(env).msg, u16(kPrefix + "convert failed for a null path"));

    // 5000 bytes: the message is cut to the 1024-byte buffer, never overrun.
    const std::string longPath = "/" + std::string(4999, 'x');
    EXPECT_EQ(getFileSysStat(env, nullptr, jstr(env, u16(longPath))), nullptr);
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.IOException");
    EXPECT_EQ(t.msg.size(), 1023u);
    EXPECT_EQ(t.msg, u16(kPrefix + "statvfs failed for '" + longPath).substr(0, 1023));

    if (geteuid() != 0) {
        const std::string locked = dir.path + "/locked";
        mkdir(locked.c_str(), 0700);
        mkdir((locked + "/in").c_str(), 0700);
        chmod(locked.c_str(), 0);
        EXPECT_EQ(getFileSysStat(env, nullptr, jstr(env, u16(locked + "/in"))), nullptr);
        EXPECT_EQ(takeThrown(env).msg,
                  u16(kPrefix + "statvfs failed for '" + locked + "/in'. Error='Permission denied'"));
    }
}

TEST_F(Statistics, OddCharactersNeverCrash) {
    // U+0000 inside, and a character outside the BMP: an IOException or a record, nothing else.
    for (const std::u16string& path : {std::u16string(u"/tmp\0x", 6), std::u16string(u"/tmp/\U0001F600")}) {
        jobject stat = getFileSysStat(env, nullptr, jstr(env, path));
        Thrown t = takeThrown(env);
        EXPECT_TRUE(stat == nullptr ? t.cls == "java.io.IOException" : t.cls.empty()) << t.cls;
        // A NUL must never silently shorten the path to "/tmp".
        if (path.size() == 6) {
            EXPECT_EQ(stat, nullptr);
        }
    }
}

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

// Runs with a classpath that lacks FileSysStatUnix.
TEST(MissingResultClass, NullResultPrintedLineAndOneIOException) {
    JNIEnv* env = testEnv();
    env->PushLocalFrame(16);
    testing::internal::CaptureStdout();
    jobject stat = getFileSysStat(env, nullptr, jstr(env, u"/"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(stat, nullptr);
    EXPECT_EQ(out, kPrefix + "FindClass returns NULL for 'com/orvan/mek/fsutil/FileSysStatUnix'");
    Thrown t = takeThrown(env);
    EXPECT_EQ(t.cls, "java.io.IOException");
    EXPECT_EQ(t.msg, u16(out));
    EXPECT_EQ(t.causeCls, "java.lang.NoClassDefFoundError");
    EXPECT_FALSE(env->ExceptionCheck());
    env->PopLocalFrame(nullptr);
}
