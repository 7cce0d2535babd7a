// Library-private: a depth-first walk of a whole tree through open directory
// descriptors (openat with O_NOFOLLOW), with a bounded number of them open at
// once, written as records for the Java side. No JNI here.
#ifndef FSUTIL_TREEWALK_H
#define FSUTIL_TREEWALK_H

#include <cstddef>

namespace fsutil {

struct Tree;

enum TreeFlags : unsigned { kTreeAttributes = 1, kTreeSameFileSystem = 2 };

// Record kinds beyond the entry types of DirEntries.h (1..4).
constexpr unsigned char kTreeFailure = 5;

// Bytes the output of readTree must at least hold: one entry record and the
// failure record that may follow it.
constexpr std::size_t kTreeMinBuffer = 1024;

// Takes over `rootFd`, an open directory. Null when out of memory (rootFd closed).
Tree* openTree(int rootFd, unsigned flags);

// Fills out[0..size) with whole records and returns the bytes written; 0 at
// the end of the walk. A record: kind (1 byte), depth (4 bytes, big-endian,
// 1 for root's own entries), name length (2 bytes, big-endian), the name's
// bytes; then for an entry with kTreeAttributes, its lstat record as
// kTreeAttrCount native-endian int64: dev, ino, mode, nlink, uid, gid, size,
// blocks, atime s/ns, mtime s/ns, ctime s/ns; for a failure (the directory of
// that depth and name could not be walked; depth 0 is the root), the error
// text: length (2 bytes, big-endian) and bytes.
std::size_t readTree(Tree* tree, unsigned char* out, std::size_t size);

constexpr std::size_t kTreeAttrCount = 14;

// Closes every descriptor the walk holds and frees it.
void closeTree(Tree* tree);

// Descriptors a walk holds at most at once, whatever the depth.
constexpr std::size_t kTreeMaxOpen = 48;

}  // namespace fsutil

#endif
