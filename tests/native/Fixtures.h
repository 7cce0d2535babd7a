// The native tests' fixtures: temporary trees (every kind of entry, random trees with a
// printed seed), the descriptors a process holds on them, GNU tools run on them, and the
// engine's walks and jobs driven to their end without a JVM.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/TreeShares.h"
#include "engine/TreeWalk.h"

// Open descriptors of this process on `under` or below: the JVM's own threads
// open and close other files whenever they like.
inline long openFds(const std::string& under) {
    long n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;  // the iterator's own descriptor, closed by now
        n += std::filesystem::read_symlink(fd.path(), gone).string().rfind(under, 0) == 0;
    }
    return n;
}

struct TempDir {  // a fresh directory, removed with everything in it
    std::string path;
    TempDir() : path(std::filesystem::temp_directory_path() / "fsutil-XXXXXX") { path = mkdtemp(path.data()); }
    ~TempDir() {
        std::error_code ignored;  // what cannot be removed stays in /tmp; no reason to fail a test
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Every kind of entry, under names that are and are not UTF-8 ("é" as C3 A9 and as E9): files,
// a directory, a FIFO, links (to the directory, dangling, a loop, to devices), a socket, a
// directory nobody may enter, and devices where we may make them (root).
inline void makeFixture(const TempDir& d) {
    for (const std::string& f : {std::string("file"), std::string("\xE9"), std::string(255, 'n')}) close(creat((d / f).c_str(), 0644));
    mkdir((d / "\xC3\xA9").c_str(), 0755);
    mkdir((d / "locked").c_str(), 0);
    mkfifo((d / "f\xE9").c_str(), 0600);
    const std::pair<const char*, const char*> links[] = {
        {"\xC3\xA9", "to\xC3\xA9"}, {"nowhere", "dangling"}, {"loop", "loop"}, {"/dev/tty", "t\xE9"}, {"/dev/zero", "z\xE9"}};
    for (auto [target, name] : links) EXPECT_EQ(symlink(target, (d / name).c_str()), 0);
    sockaddr_un a{AF_UNIX, {}};
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", (d / "s\xE9").c_str());
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(s);
    (void)!mknod((d / "chr").c_str(), S_IFCHR | 0600, makedev(1, 3));  // root only; else simply absent
    (void)!mknod((d / "blk").c_str(), S_IFBLK | 0600, makedev(7, 0));
}

// Output of a shell command (GNU find, du, ...), run with the C locale.
inline std::string sh(const std::string& cmd) {
    std::string out;
    FILE* p = popen(("LC_ALL=C " + cmd).c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

inline std::string shellWord(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// find's lines for every entry of dir (dir itself as "."), formatted by `format` (-printf), sorted.
inline std::string listing(const std::string& dir, const std::string& format) {
    return sh("cd " + shellWord(dir) + " && find . -printf '" + format + "\\n' | sort");
}

// Every file's bytes below dir, as md5sum sums them, sorted.
inline std::string sums(const std::string& dir) { return sh("cd " + shellWord(dir) + " && find . -type f -exec md5sum {} + | sort"); }

// How many entries find counts in the tree at path, the top included.
inline std::uint64_t countEntries(const std::string& path) { return std::stoull(sh("find " + shellWord(path) + " | wc -l")); }

// A seed for random cases: FSUTIL_SEED when set, to run a printed one again.
inline unsigned testSeed() {
    const char* given = std::getenv("FSUTIL_SEED");
    return given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device()();
}

// A random tree under dir/top: directories up to four deep, files of 0-3000 bytes, links
// (to files, to directories, dangling, leading out of the tree to `outside`), hard links
// and FIFOs; names of bytes that are not UTF-8 too. The seed is printed, to make it again.
inline void randomTree(const std::string& top, unsigned seed, int entries, const std::string& outside = "") {
    std::printf("random tree seed %u\n", seed);
    std::mt19937 rng(seed);
    std::vector<std::string> dirs{top}, files;
    mkdir(top.c_str(), 0755);
    const char* parts[] = {"a", "b", "\xE9", "d\xC3\xA9", "n ", "x.y"};
    for (int i = 0; i < entries; ++i) {
        const std::string& in = dirs[rng() % dirs.size()];
        const std::string path = in + "/" + parts[rng() % 6] + std::to_string(i);
        const unsigned kind = rng() % 20;
        if (kind < 5 && std::count(path.begin() + top.size(), path.end(), '/') < 4) {
            mkdir(path.c_str(), 0755);
            dirs.push_back(path);
        } else if (kind < 7 && !files.empty()) {
            (void)!link(files[rng() % files.size()].c_str(), path.c_str());
        } else if (kind < 9) {
            const std::string to = kind == 7 && !outside.empty() ? outside : rng() % 2 ? "../a" : "nowhere";
            (void)!symlink(to.c_str(), path.c_str());
        } else if (kind == 9) {
            mkfifo(path.c_str(), 0600);
        } else {
            const int fd = creat(path.c_str(), 0644);
            const std::string data(rng() % 3000, 'z');
            (void)!write(fd, data.data(), data.size());
            close(fd);
            files.push_back(path);
        }
    }
}

// A directory's descriptor, for the engine.
inline fsutil::UniqueFd openDirectory(const std::string& path) {
    return fsutil::UniqueFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A job's failures, "path: reason" (its errno or Reason code), in the order taken.
inline std::vector<std::string> takeFailures(fsutil::TreeShares& job) {
    std::vector<std::string> out;
    fsutil::TreeFailure f;
    while (job.takeFailure(&f)) out.push_back(std::string(f.path.get()) + ": " + std::to_string(f.err));
    return out;
}
