// The walk engine as its consumers see it: events in order, every entry once as find sees
// it, few descriptors however deep, loops and swapped directories reported, never followed.
#include <algorithm>
#include <ctime>
#include <map>

#include "Fixtures.h"

namespace {

const char kTypes[] = "?fdlpo";  // by EntryType: skip, file, directory, symlink, fifo, other

struct Walked {
    std::vector<std::string> events;  // "entry|leave|failure depth name [type] [reason]"
    std::set<std::string> entries;    // "type path" below the top
    long maxOpen = 0;                 // descriptors on the tree at once
};

// Walks top to its end; what the walk reports, and what `onEntry` may do meanwhile.
template <typename OnEntry>
Walked walk(const std::string& top, const fsutil::WalkOptions& options, OnEntry onEntry) {
    Walked w;
    std::unique_ptr<fsutil::TreeWalk> tw = fsutil::TreeWalk::open(openDirectory(top), options);
    EXPECT_TRUE(tw);
    if (!tw) return w;
    fsutil::WalkPath at;
    fsutil::WalkItem item;
    while (tw->next(&item)) {
        const std::string name(item.name, item.nameLen);
        std::size_t n = 0;
        if (item.event == fsutil::WalkEvent::entry) {
            w.events.push_back("entry " + std::to_string(item.depth) + " " + name + " " + kTypes[int(item.type)]);
            const char* p = at.entry(item.depth, item.name, item.nameLen, &n);
            w.entries.insert(std::string(1, kTypes[int(item.type)]) + " " + std::string(p, n));
            if (item.type == fsutil::EntryType::directory) at.enter(item.depth, item.name, item.nameLen);
            onEntry(*tw, item);
        } else if (item.event == fsutil::WalkEvent::leave) {
            w.events.push_back("leave " + std::to_string(item.depth) + " " + name);
        } else {
            w.events.push_back("failure " + std::to_string(item.depth) + " " + name + " " + std::to_string(item.err));
        }
        w.maxOpen = std::max(w.maxOpen, openFds(top));
    }
    return w;
}

Walked walk(const std::string& top, const fsutil::WalkOptions& options) {
    return walk(top, options, [](fsutil::TreeWalk&, const fsutil::WalkItem&) {});
}

// What find reports below top, as "type path", devices and sockets left out.
std::set<std::string> findTree(const std::string& top) {
    std::set<std::string> out;
    const std::string text = sh("find -P " + shellWord(top) + " -mindepth 1 -printf '%y %P\\n'");
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        if (std::string("fdlp").find(line[0]) != std::string::npos) out.insert(line);
    }
    return out;
}

// A chain top/a/a/.../a, `depth` long; each of its directories also holds z/in.
void chain(const std::string& top, int depth) {
    mkdir(top.c_str(), 0755);
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
        mkdirat(fd, "z", 0755);
        close(openat(fd, "z/in", O_CREAT | O_WRONLY, 0644));
        mkdirat(fd, "a", 0755);
        const int next = openat(fd, "a", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    close(fd);
}

}  // namespace

TEST(TreeWalk, EventsComeInPreOrderAndSkippedDirectoriesAreLeftUnread) {
    TempDir t;
    for (const char* d : {"a", "c"}) mkdir((t / d).c_str(), 0755);
    for (const char* f : {"a/x", "b"}) close(creat((t / f).c_str(), 0644));
    fsutil::WalkOptions sorted;
    sorted.sorted = true;
    EXPECT_EQ(walk(t.path, sorted).events,
              (std::vector<std::string>{"entry 1 a d", "entry 2 x f", "leave 1 a", "entry 1 b f", "entry 1 c d", "leave 1 c"}));
    const Walked skipped = walk(t.path, sorted, [](fsutil::TreeWalk& w, const fsutil::WalkItem& i) {
        if (i.nameLen == 1 && i.name[0] == 'a') w.skip();
    });
    EXPECT_EQ(skipped.events,
              (std::vector<std::string>{"entry 1 a d", "leave 1 a", "entry 1 b f", "entry 1 c d", "leave 1 c"}));
    EXPECT_EQ(openFds(t.path), 0);
}

TEST(TreeWalk, ReportsEveryEntryOnceAsFindDoes) {
    TempDir t, outside;
    randomTree(t / "top", 1234 + static_cast<unsigned>(time(nullptr)) % 1000, 3000, outside.path);
    for (bool attributes : {false, true}) {
        fsutil::WalkOptions options;
        options.attributes = attributes;
        EXPECT_EQ(walk(t / "top", options).entries, findTree(t / "top")) << "attributes " << attributes;
    }
    EXPECT_EQ(openFds(t.path), 0);
}

TEST(TreeWalk, HoldsFewDescriptorsHoweverDeep) {
    TempDir t;
    const int depth = 400;
    chain(t / "top", depth);
    const Walked w = walk(t / "top", fsutil::WalkOptions());
    EXPECT_EQ(w.entries.size(), 3u * depth);  // a, z, z/in at each level
    EXPECT_LT(w.maxOpen, depth / 4);
    EXPECT_EQ(openFds(t.path), 0);
}

TEST(TreeWalk, LinkBackToAnAncestorIsALoopWhenFollowed) {
    TempDir t;
    mkdir((t / "a").c_str(), 0755);
    ASSERT_EQ(symlink("..", (t / "a/up").c_str()), 0);
    fsutil::WalkOptions follow;
    follow.followLinks = true;
    const Walked w = walk(t.path, follow);
    EXPECT_NE(std::find(w.events.begin(), w.events.end(), "failure 2 up " + std::to_string(fsutil::kReasonLoop)), w.events.end());
    EXPECT_EQ(walk(t.path, fsutil::WalkOptions()).entries, (std::set<std::string>{"d a", "l a/up"}));
}

// Deep down, with the shallow directories closed, one of them is swapped for a link out of
// the tree, or for another directory: what is reached through it is never reported.
TEST(TreeWalk, SwappedDirectoryIsReportedNotFollowed) {
    for (bool asLink : {true, false}) {
        TempDir t, outside;
        const int depth = 200;
        chain(t / "top", depth);
        chain(outside / "a", 3);
        close(creat((outside / "a/z/secret").c_str(), 0644));
        fsutil::WalkOptions options;
        options.sorted = true;
        bool swapped = false;
        const Walked w = walk(t / "top", options, [&](fsutil::TreeWalk&, const fsutil::WalkItem& i) {
            if (swapped || i.depth < static_cast<std::size_t>(depth)) return;
            swapped = true;
            ASSERT_EQ(rename((t / "top/a").c_str(), (t / "gone").c_str()), 0);
            if (asLink) {
                ASSERT_EQ(symlink((outside / "a").c_str(), (t / "top/a").c_str()), 0);
            } else {
                ASSERT_EQ(rename((outside / "a").c_str(), (t / "top/a").c_str()), 0);
            }
        });
        EXPECT_TRUE(swapped);
        for (const std::string& e : w.entries) EXPECT_EQ(e.find("secret"), std::string::npos) << e;
        const std::string moved = " a " + std::to_string(fsutil::kReasonMoved);
        EXPECT_TRUE(std::any_of(w.events.begin(), w.events.end(), [&](const std::string& e) {
            return e.rfind("failure ", 0) == 0 && e.size() > moved.size() && e.compare(e.size() - moved.size(), moved.size(), moved) == 0;
        })) << "link " << asLink;
        EXPECT_EQ(openFds(t.path), 0);
    }
}
