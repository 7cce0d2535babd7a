// The chain of open directories a job works through: however deep, few are
// open, and a level closed by the bound is opened again as the directory it
// was, or refused, never what was swapped into its place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Fixtures.h"
#include "engine/DirChain.h"

namespace {

constexpr int kDepth = 120;
constexpr int kMoved = 7;  // the reason a refused level is given: any, the chain passes it on

// `levels` levels of `name` below base.
std::string road(const std::string& base, const char* name, int levels) {
    std::string p = base;
    for (int i = 0; i < levels; ++i) p += std::string("/") + name;
    return p;
}

// Pushes top's chain of `a` below level 0 (the anchor), each level opened from the one above.
void pushRoad(fsutil::DirChain& chain, int anchor, const char* first, bool viaLink) {
    struct stat st;
    fstat(anchor, &st);
    fsutil::DirChain::Level top;
    top.fd = anchor;
    ASSERT_TRUE(chain.push(std::move(top), fsutil::DirId::of(st)));
    for (int d = 1; d <= kDepth; ++d) {
        int why = 0;
        const char* name = d == 1 ? first : "a";
        fsutil::DirChain::Level level;
        level.own.reset(openat(chain.fd(d - 1, &why), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (d == 1 && viaLink ? 0 : O_NOFOLLOW)));
        ASSERT_TRUE(level.own) << d;
        fstat(level.own.get(), &st);
        level.fd = level.own.get();
        level.name = fsutil::copyChars(name, std::strlen(name));
        level.viaLink = d == 1 && viaLink;
        ASSERT_TRUE(chain.push(std::move(level), fsutil::DirId::of(st)));
    }
}

}  // namespace

// Level 1 (closed by the bound) is swapped, while the chain works deep down, for a link to a
// tree of the same shape outside, or for that tree itself: no level below it opens again.
TEST(DirChain, LevelSwappedWhileClosedIsRefused) {
    for (bool asLink : {true, false}) {
        TempDir t;
        ASSERT_EQ(sh("mkdir -p " + shellWord(road(t / "top", "a", kDepth)) + " " + shellWord(road(t / "out", "a", kDepth)) +
                     " && echo ok"),
                  "ok\n");
        const fsutil::UniqueFd anchor = openDirectory(t / "top");
        {
            fsutil::DirChain chain(anchor.get(), 2, kMoved);
            pushRoad(chain, anchor.get(), "a", false);
            EXPECT_LE(openFds(t.path), static_cast<long>(fsutil::kTreeMaxOpen) + 1);  // the anchor too
            EXPECT_EQ(chain.at(1).fd, -1) << "the shallowest were closed";
            ASSERT_EQ(rename((t / "top/a").c_str(), (t / "gone").c_str()), 0);
            if (asLink) {
                ASSERT_EQ(symlink((t / "out/a").c_str(), (t / "top/a").c_str()), 0);
            } else {
                ASSERT_EQ(rename((t / "out/a").c_str(), (t / "top/a").c_str()), 0);
            }
            for (int d : {1, 2, kDepth / 4}) {
                int why = 0;
                EXPECT_EQ(chain.fd(d, &why), -1) << "link " << asLink << " level " << d;
                EXPECT_EQ(why, kMoved) << "link " << asLink << " level " << d;
            }
            // The open levels are the directories they were, wherever they went.
            int why = 0;
            struct stat st;
            struct stat deepest;
            ASSERT_EQ(fstat(chain.fd(kDepth, &why), &st), 0);
            ASSERT_EQ(stat(road(t / "gone", "a", kDepth - 1).c_str(), &deepest), 0);
            EXPECT_EQ(st.st_ino, deepest.st_ino);
        }
        EXPECT_EQ(openFds(t.path), 1);  // the anchor, the caller's
    }
}

// A level reached through a followed link opens again through it; any other level
// never follows a link, even to the directory it was.
TEST(DirChain, OnlyALevelReachedThroughALinkReopensThroughOne) {
    for (bool viaLink : {true, false}) {
        TempDir t;
        ASSERT_EQ(sh("mkdir -p " + shellWord(road(t / "real", "a", kDepth)) + " " + shellWord(t / "top") + " && echo ok"), "ok\n");
        ASSERT_EQ(symlink((t / "real").c_str(), (t / "top/l").c_str()), 0);
        const fsutil::UniqueFd anchor = openDirectory(t / "top");
        fsutil::DirChain chain(anchor.get(), 2, kMoved);
        if (!viaLink) {
            // Reached without the link, then the link put on the road it is opened again by.
            ASSERT_EQ(rename((t / "top/l").c_str(), (t / "l").c_str()), 0);
            ASSERT_EQ(rename((t / "real").c_str(), (t / "top/l").c_str()), 0);
        }
        pushRoad(chain, anchor.get(), "l", viaLink);
        if (!viaLink) {
            ASSERT_EQ(rename((t / "top/l").c_str(), (t / "real").c_str()), 0);
            ASSERT_EQ(rename((t / "l").c_str(), (t / "top/l").c_str()), 0);
        }
        ASSERT_EQ(chain.at(1).fd, -1);
        int why = 0;
        struct stat st;
        struct stat real;
        const int fd = chain.fd(1, &why);
        ASSERT_EQ(stat((t / "real").c_str(), &real), 0);
        if (viaLink) {
            ASSERT_GE(fd, 0);
            ASSERT_EQ(fstat(fd, &st), 0);
            EXPECT_EQ(st.st_ino, real.st_ino);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(why, kMoved);
        }
    }
}
