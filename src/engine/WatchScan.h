// Library-private: the first reading of a watched tree, shared out to threads
// like any whole-tree job. Every directory gets its watch before it is read;
// what the threads find is kept apart per thread and handed on, on the calling
// thread, once the reading is done, each directory before what it holds. No
// JNI here.
#ifndef FSUTIL_WATCHSCAN_H
#define FSUTIL_WATCHSCAN_H

#include <cstddef>
#include <cstdint>

#include "engine/DirEntries.h"

namespace fsutil {

// Adds a watch (mask) on the directory open as fd, by its descriptor; with a
// name, on that directory of it, never through a link (IN_DONT_FOLLOW): the
// path the kernel resolves starts at the descriptor, whatever is swapped above.
int addWatch(int inotifyFd, int fd, std::uint32_t mask, const char* name = nullptr);

// An entry found: in the directory of the last group() at depth 1, or in the
// last entry found at depth - 1 (a directory).
struct ScanFound {
    std::size_t depth = 0;
    EntryType type = EntryType::skip;
    int wd = -1;  // a directory's watch; -1 when it has none
    const char* name = nullptr;
    std::size_t nameLen = 0;
};

class ScanSink {
   public:
    // What could not be watched or read, at path below the top: on the calling thread while the reading goes on.
    virtual void failure(const char* path, std::size_t len, int err) = 0;
    // The entries that follow lie below the directory at path (known already: "" for the top).
    virtual void group(const char* path, std::size_t len) = 0;
    virtual void found(const ScanFound& entry) = 0;

   protected:
    ~ScanSink() = default;
};

struct ScanOptions {
    int inotifyFd = -1;
    std::uint32_t mask = 0;       // what each directory is watched for
    bool sameFileSystem = false;  // directories on another device or mount are listed, not watched nor entered
    std::size_t threads = 1;
};

// Reads the tree below the directory open as topFd (watched already),
// watching every directory of it before reading it, on up to options.threads
// threads.
void scanTree(int topFd, const ScanOptions& options, ScanSink& sink);

}  // namespace fsutil

#endif
