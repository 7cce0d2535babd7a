// Library-private: an entry of a sync reached for its metadata, and its
// extended attributes compared with another entry's and made the same
// (those this process may set). No JNI here.
#ifndef FSUTIL_SYNCXATTRS_H
#define FSUTIL_SYNCXATTRS_H

#include <sys/stat.h>

namespace fsutil {

// An entry reached for its metadata: the descriptor itself (name null), or
// `name` of the directory open as fd, never followed.
struct Ent {
    int fd;
    const char* name;
};

// The record of e, never followed; 0, or -1 with errno.
int lstatOf(const Ent& e, struct stat* st);

// Makes to's attributes (those ours) from's, or (apply false) only tells
// whether they differ, into *differ; 0, or the reason of the first failure.
// root: the attributes beyond user attributes and ACLs are ours too.
int syncXattrs(const Ent& fromEnt, const Ent& toEnt, bool root, bool apply, bool* differ);

// Gives the calling thread a working directory of its own (unshare(CLONE_FS)),
// once, to reach an entry by its name for the calls without an *at form: for
// a sync's worker threads, never a caller's.
void ownWorkingDirectory();

}  // namespace fsutil

#endif
