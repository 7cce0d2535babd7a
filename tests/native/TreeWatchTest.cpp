// The tree watcher without a JVM: its changes replayed on the listing taken when it started
// give the tree as find lists it at the end (random activity, also with forced overflows),
// exchanges, chains past PATH_MAX, and nothing held once it is gone.
#include <poll.h>
#include <sys/inotify.h>

#include <atomic>
#include <map>
#include <thread>

#include "Fixtures.h"
#include "engine/TreeWatch.h"

namespace {

const char kTypes[] = "?fdlpo";  // by EntryType

// A listing: path below the top -> type letter.
using Listing = std::map<std::string, char>;

Listing listing(const std::string& top) {
    Listing out;
    const std::string text = sh("find -P " + shellWord(top) + " -mindepth 1 -printf '%y %P\\0'");
    for (std::size_t at = 0, end; (end = text.find('\0', at)) != std::string::npos; at = end + 1) {
        const std::string rec = text.substr(at, end - at);
        if (std::string("fdlp").find(rec[0]) != std::string::npos) out[rec.substr(2)] = rec[0];
    }
    return out;
}

// What the tree holds and the replay lacks ("+ type path"), and the reverse ("- type path"); "" when they agree.
std::string differences(const Listing& tree, const Listing& replay) {
    std::string out;
    for (const auto& [path, type] : tree) {
        const auto it = replay.find(path);
        if (it == replay.end() || it->second != type) out += std::string("+ ") + type + " " + path + "\n";
    }
    for (const auto& [path, type] : replay) {
        const auto it = tree.find(path);
        if (it == tree.end() || it->second != type) out += std::string("- ") + type + " " + path + "\n";
    }
    return out;
}

void removeBelow(Listing& l, const std::string& p) {
    l.erase(p);
    l.erase(l.lower_bound(p + "/"), l.lower_bound(p + "0"));  // '0' follows '/'
}

struct Collected final : fsutil::ChangeSink {
    std::vector<std::string> shown;  // "KIND path" or "MOVED from -> to"
    std::vector<std::string> failures;
    Listing replay;
    int overflows = 0;

    void change(fsutil::ChangeKind kind, fsutil::EntryType type, const char* path, std::size_t len, const char* from,
                std::size_t fromLen) override {
        static const char* const kNames[] = {"", "CREATED", "MODIFIED", "ATTRIBUTES", "REMOVED", "MOVED", "OVERFLOW"};
        const std::string p(path, len);
        shown.push_back(std::string(kNames[int(kind)]) + " " + (from ? std::string(from, fromLen) + " -> " : "") + p);
        if (kind == fsutil::ChangeKind::created) replay[p] = kTypes[int(type)];
        if (kind == fsutil::ChangeKind::removed) removeBelow(replay, p);
        if (kind == fsutil::ChangeKind::overflow) ++overflows;
        if (kind == fsutil::ChangeKind::moved) {
            const std::string f(from, fromLen);
            Listing moved;
            if (replay.count(f)) moved[p] = replay[f];
            for (auto it = replay.lower_bound(f + "/"); it != replay.end() && it->first.compare(0, f.size() + 1, f + "/") == 0; ++it) {
                moved[p + it->first.substr(f.size())] = it->second;
            }
            removeBelow(replay, f);
            removeBelow(replay, p);
            replay.insert(moved.begin(), moved.end());
        }
    }

    void failure(const char* path, std::size_t len, int err, const char* text) override {
        failures.push_back(std::string(path, len) + ": " + std::to_string(err) + " " + text);
    }
};

// The watches the kernel holds for the inotify instance fd.
std::size_t kernelWatches(int fd) {
    return std::stoul(sh("grep -c '^inotify wd:' /proc/" + std::to_string(getpid()) + "/fdinfo/" + std::to_string(fd) + " || true"));
}

// Runs the watcher until it has been quiet for 300 ms.
void settle(fsutil::TreeWatch& w, Collected& c) {
    for (;;) {
        struct pollfd p = {w.fd(), POLLIN, 0};
        if (!w.due() && poll(&p, 1, 300) == 0) return;
        if (!w.process(c)) return;
    }
}

struct Watched {
    TempDir dir;
    std::string top = dir / "top";
    Collected sink;
    std::unique_ptr<fsutil::TreeWatch> watch;

    explicit Watched(unsigned seed) {
        randomTree(top, seed, 60);
        int err = 0;
        watch = fsutil::TreeWatch::open(openDirectory(top), fsutil::WatchOptions(), sink, &err);
        EXPECT_TRUE(watch) << err;
        sink.replay = listing(top);
    }
};

// Shell activity on the tree: renames within and across directories, moves in and out,
// trees made and removed, writes, chmods, names of every byte.
std::string activity(unsigned seed) {
    std::mt19937 rng(seed);
    std::string s = "cd top || exit 1; mkdir ../out; ";
    for (int i = 0; i < 120; ++i) {
        unsigned v = 1 + rng() % 255;  // a byte of every value but NUL and '/'
        if (v == '/') v = 'x';
        const std::string name = "$(printf '\\" + std::to_string(v >> 6) + std::to_string((v >> 3) & 7) + std::to_string(v & 7) + "')" + std::to_string(i);
        const std::string pick = " | awk -v s=" + std::to_string(rng() % 100000) + " 'BEGIN{srand(s)} {a[NR]=$0} END{if(NR) print a[int(rand()*NR)+1]}')\"";
        const std::string any = "\"$(find . -mindepth 1" + pick;
        const std::string dir = "\"$(find . -type d" + pick;
        switch (rng() % 9) {
            case 0: s += "mkdir -p " + dir + "/\"" + name + "\"/a/b && touch " + dir + "/\"" + name + "\"/a/b/f; "; break;
            case 1: s += "echo x > " + dir + "/\"" + name + "\"; "; break;
            case 2: s += "mv " + any + " " + dir + "/\"" + name + "\" 2>/dev/null; "; break;
            case 3: s += "mv " + any + " ../out/" + std::to_string(i) + " 2>/dev/null; "; break;
            case 4: s += "mkdir -p ../in" + std::to_string(i) + "/c && touch ../in" + std::to_string(i) + "/c/g && mv ../in" +
                         std::to_string(i) + " " + dir + "/\"" + name + "\"; "; break;
            case 5: s += "rm -rf " + any + "; "; break;
            case 6: s += "chmod 700 " + any + " 2>/dev/null; "; break;
            case 7: s += "f=" + any + "; [ -f \"$f\" ] && [ ! -L \"$f\" ] && echo more >> \"$f\"; "; break;
            default: s += "mkfifo " + dir + "/\"" + name + "\"; ln -s x " + dir + "/\"" + name + "l\"; "; break;
        }
    }
    return s;
}

TEST(TreeWatch, ChangesReplayedOnTheFirstListingGiveTheFinalTree) {
    for (bool overflow : {false, true}) {
        const unsigned seed = testSeed();
        std::printf("watch activity seed %u, overflow %d\n", seed, overflow);
        Watched w(seed);
        ASSERT_TRUE(w.watch);
        const std::string script = activity(seed);
        // Half the activity, then (forced) a lost queue, then the rest.
        const std::size_t half = script.find("; ", script.size() / 2) + 2;
        sh("cd " + shellWord(w.dir.path) + " && " + script.substr(0, half));
        if (overflow) w.watch->overflow();
        settle(*w.watch, w.sink);
        sh("cd " + shellWord(w.dir.path) + " && cd top && " + script.substr(half));
        settle(*w.watch, w.sink);
        EXPECT_EQ("", differences(listing(w.top), w.sink.replay)) << "seed " << seed;
        EXPECT_EQ(overflow ? 1 : 0, w.sink.overflows);
        EXPECT_EQ(std::vector<std::string>(), w.sink.failures);
    }
}

// The first reading is shared out to threads: whatever their number and the tree's shape, the
// model holds every entry (a rescan finds nothing new) and every directory is watched.
TEST(TreeWatch, TheFirstReadingKnowsAndWatchesEveryDirectoryOnAnyNumberOfThreads) {
    const unsigned seed = testSeed();
    const std::pair<const char*, std::string> shapes[] = {
        {"random", ""},
        {"one directory on top", "mkdir -p only/$(printf '\\351')/n && cd only/$(printf '\\351')/n && for i in $(seq 40); do "
                                 "mkdir -p $i/x/y $i/z; touch $i/f $i/x/g; done; touch ../h"},
        {"wide", "for i in $(seq 300); do mkdir d$i; touch d$i/f; done; touch f"},
    };
    for (const auto& shape : shapes) {
        for (std::size_t threads : {1, 2, 5}) {
            TempDir t;
            const std::string top = t / "top";
            if (*shape.second.c_str() == '\0') {
                randomTree(top, seed, 400);
            } else {
                sh("mkdir " + shellWord(top) + " && cd " + shellWord(top) + " && " + shape.second);
            }
            Collected c;
            int err = 0;
            fsutil::WatchOptions o;
            o.threads = threads;
            auto w = fsutil::TreeWatch::open(openDirectory(top), o, c, &err);
            ASSERT_TRUE(w) << err;
            c.replay = listing(top);
            const std::string where = std::string(shape.first) + ", threads " + std::to_string(threads);
            EXPECT_EQ(c.replay.size(), w->entries()) << where;
            EXPECT_EQ(std::stoul(sh("find " + shellWord(top) + " -type d | wc -l")), w->watched()) << where;
            w->overflow();
            settle(*w, c);
            EXPECT_EQ(std::vector<std::string>{"OVERFLOW "}, c.shown) << where;
            sh("find " + shellWord(top) + " -type d -exec touch {}/new. \\;");
            settle(*w, c);
            EXPECT_EQ("", differences(listing(top), c.replay)) << where;
            EXPECT_EQ(std::vector<std::string>(), c.failures) << where;
        }
    }
}

TEST(TreeWatch, DirectoriesVanishingDuringARescanAreNoFailure) {
    TempDir d;
    Collected c;
    int err = 0;
    auto w = fsutil::TreeWatch::open(openDirectory(d.path), fsutil::WatchOptions(), c, &err);
    ASSERT_TRUE(w);
    c.replay = listing(d.path);
    // Chains made and removed as fast as they go, while the watcher rescans again and again:
    // a rescan meets directories listed and gone, or replaced by a file, before it reads them.
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        const std::string a = d / "a", b = a + "/b", e = b + "/c";
        while (!stop) {
            mkdir(a.c_str(), 0755);
            mkdir(b.c_str(), 0755);
            mkdir(e.c_str(), 0755);
            rmdir(e.c_str());
            close(creat(e.c_str(), 0644));
            unlink(e.c_str());
            rmdir(b.c_str());
            rmdir(a.c_str());
        }
    });
    for (int i = 0; i < 3000; ++i) {
        w->overflow();
        w->process(c);
    }
    stop = true;
    churn.join();
    settle(*w, c);
    EXPECT_EQ(std::vector<std::string>(), c.failures);
    EXPECT_EQ("", differences(listing(d.path), c.replay));
}

// Events are read after the fact: by then a directory may have moved on and another been made at
// its old path, or the reading of a new directory may have met it at its new path first. What an
// event tells lands in the directory it happened in, and every directory stays watched.
TEST(TreeWatch, AChangeReadAfterItsDirectoryMovedOnLandsWhereItWent) {
    const char* const cases[] = {
        "mkdir a/b/x && mv a z && mkdir -p a/b",                 // made there: missing from the new a/b
        "mkdir a/b/x && mv a z && mkdir -p a/b/x",               // made there and in the new a/b too
        "mkdir a/b/x && mv a z && mkdir -p a/b && touch a/b/x",  // of another type in the new a/b
        "mkdir n && mv t n/t2 && touch a/b/new && mv a/b n/t2/m",  // n read with b in it before b's move
    };
    // Warm: a change in a/b and then in nine other directories was read first, so the watcher
    // has met a/b before and opens it anew.
    for (const bool warm : {false, true}) {
        for (const char* command : cases) {
            TempDir t;
            const std::string w = t / "w";
            sh("cd " + shellWord(t.path) + " && mkdir -p w/a/b w/t w/e1 w/e2 w/e3 w/e4 w/e5 w/e6 w/e7 w/e8 w/e9");
            Collected c;
            int err = 0;
            auto watch = fsutil::TreeWatch::open(openDirectory(w), fsutil::WatchOptions(), c, &err);
            ASSERT_TRUE(watch);
            c.replay = listing(w);
            if (warm) {
                sh("cd " + shellWord(w) + " && touch a/b/y && for i in $(seq 9); do touch e$i/f; done");
                settle(*watch, c);
            }
            sh("cd " + shellWord(w) + " && " + command);
            settle(*watch, c);
            sh("find " + shellWord(w) + " -type d -exec touch {}/new. \\;");  // every directory still watched
            settle(*watch, c);
            const std::string where = std::string(command) + (warm ? ", warm" : "");
            EXPECT_EQ("", differences(listing(w), c.replay)) << where;
            EXPECT_EQ(std::vector<std::string>(), c.failures) << where;
            // each directory's watch and the root's parent's, no more
            const std::size_t dirs = std::stoul(sh("find " + shellWord(w) + " -type d | wc -l"));
            EXPECT_EQ(dirs + 1, kernelWatches(watch->fd())) << where;
        }
    }
}

TEST(TreeWatch, AnExchangeKeepsTheReplay) {
    // Read whole, and one event per read (its halves then come in reads of their own).
    for (std::size_t readBytes : {std::size_t(65536), sizeof(struct inotify_event) + 16}) {
        TempDir t;
        const std::string w = t / "w";  // below a quiet directory: the root's parent is watched too
        sh("mkdir -p " + shellWord(w + "/a/x") + " && touch " + shellWord(w + "/a/x/f") + " " + shellWord(w + "/b"));
        Collected c;
        int err = 0;
        fsutil::WatchOptions o;
        o.readBytes = readBytes;
        auto watch = fsutil::TreeWatch::open(openDirectory(w), o, c, &err);
        ASSERT_TRUE(watch);
        c.replay = listing(w);
        ASSERT_EQ(renameat2(AT_FDCWD, (w + "/a").c_str(), AT_FDCWD, (w + "/b").c_str(), RENAME_EXCHANGE), 0);
        settle(*watch, c);
        EXPECT_EQ("", differences(listing(w), c.replay)) << readBytes;
        EXPECT_EQ((std::vector<std::string>{"REMOVED b", "MOVED a -> b", "CREATED a"}), c.shown) << readBytes;
        // b's watch came along: what it holds is reported under its new path
        close(creat((w + "/b/x/g").c_str(), 0644));
        settle(*watch, c);
        EXPECT_EQ("CREATED b/x/g", c.shown.back());
    }
}

// Metadata alone is ATTRIBUTES, data MODIFIED, each once, under the entry's own path ("" the root).
TEST(TreeWatch, EachChangeOfAnEntryIsReportedOnceUnderItsPath) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"chmod 700 .", {"ATTRIBUTES "}},
        {"chmod 700 a", {"ATTRIBUTES a"}},
        {"chmod 600 a/f", {"ATTRIBUTES a/f"}},
        {"touch -d @5 a", {"ATTRIBUTES a"}},
        {"touch -m -d @5 a/f", {"MODIFIED a/f"}},  // the kernel tells a modification time set alone as a write
        {"echo more >> a/f", {"MODIFIED a/f"}},
        {"mv a/f a/g", {"MOVED a/f -> a/g"}},
        {"mv a b", {"MOVED a -> b"}},
    };
    for (const auto& [command, expected] : cases) {
        TempDir t;
        const std::string w = t / "w";
        sh("mkdir -p " + shellWord(w + "/a") + " && echo x > " + shellWord(w + "/a/f"));
        Collected c;
        int err = 0;
        auto watch = fsutil::TreeWatch::open(openDirectory(w), fsutil::WatchOptions(), c, &err);
        ASSERT_TRUE(watch);
        sh("cd " + shellWord(w) + " && " + command);
        settle(*watch, c);
        EXPECT_EQ(expected, c.shown) << command;
    }
}

TEST(TreeWatch, AChainPastPathMaxIsWatchedToItsEnd) {
    TempDir d;
    Collected c;
    int err = 0;
    auto w = fsutil::TreeWatch::open(openDirectory(d.path), fsutil::WatchOptions(), c, &err);
    ASSERT_TRUE(w);
    // 300 levels of a 20-byte name: past PATH_MAX, made by steps relative to the last one.
    const std::string name(20, 'n');
    fsutil::UniqueFd at(open(d.path.c_str(), O_RDONLY | O_DIRECTORY));
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(mkdirat(at.get(), name.c_str(), 0755), 0);
        at.reset(openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
        if (i % 50 == 0) settle(*w, c);
    }
    close(openat(at.get(), "last\nline", O_CREAT | O_WRONLY, 0644));
    settle(*w, c);
    ASSERT_EQ(301u, c.shown.size() - std::count_if(c.shown.begin(), c.shown.end(), [](const std::string& s) { return s.rfind("ATTRIBUTES", 0) == 0; }));
    EXPECT_EQ(301u, w->watched());
    std::string deepest;
    for (int i = 0; i < 300; ++i) deepest += (i ? "/" : "") + name;
    EXPECT_EQ("CREATED " + deepest + "/last\nline", c.shown.back());
    EXPECT_GT(deepest.size(), std::size_t(PATH_MAX));
}

TEST(TreeWatch, NothingIsHeldOnceItIsGone) {
    TempDir d;
    sh("mkdir -p " + shellWord(d / "a/b/c"));
    const long before = openFds("anon_inode:inotify") + openFds(d.path);
    {
        Collected c;
        int err = 0;
        auto w = fsutil::TreeWatch::open(openDirectory(d.path), fsutil::WatchOptions(), c, &err);
        ASSERT_TRUE(w);
        EXPECT_EQ(4u, w->watched());
        sh("mv " + shellWord(d / "a/b") + " " + shellWord(d.path + "-out"));  // moved out: its watches go
        settle(*w, c);
        EXPECT_EQ(2u, w->watched());
        EXPECT_EQ((std::vector<std::string>{"REMOVED a/b"}), c.shown);
        sh("rm -r " + shellWord(d.path + "-out"));
    }
    EXPECT_EQ(before, openFds("anon_inode:inotify") + openFds(d.path));
}

}  // namespace
