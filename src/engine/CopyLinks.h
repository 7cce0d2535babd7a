// Library-private: the hard links of a copy. The first copy of an inode with
// several links is remembered by where it was made, and every later name of
// that inode becomes a link to it, reached through the target's own
// directories only. A sync into a target it made whole links its groups the
// same way. No JNI here.
#ifndef FSUTIL_COPYLINKS_H
#define FSUTIL_COPYLINKS_H

#include <sys/types.h>

#include <condition_variable>
#include <mutex>

#include "base/Owned.h"
#include "engine/InodeTable.h"

namespace fsutil {

// The inodes with several links met so far, shared by the threads of a copy:
// where the first copy of each was made (its path below the target's top),
// or that it is being made.
class CopyLinks {
   public:
    // True: the caller makes the copy and then calls publish(). False: *path
    // is the copy to link to.
    bool claim(dev_t dev, ino_t ino, CharsPtr* path);
    // Where the copy of (dev, ino) was made; null when it failed.
    void publish(dev_t dev, ino_t ino, CharsPtr path);

   private:
    struct First {
        CharsPtr path;
        bool pending = false;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    InodeTable<First> table_;
};

// Makes `name` of dstDir a hard link to the file at rel below the directory
// open as topFd, each directory on the way opened without following a link
// and only on topFd's file system, so that a step swapped meanwhile never
// leads outside; 0, or the reason it was not made.
int linkBelow(int topFd, const char* rel, int dstDir, const char* name);

}  // namespace fsutil

#endif
