// Library-private: making the copy of one entry, one function per type (a
// regular file with its data, a link with its target, a FIFO, socket or
// device node, a directory), each made relative to an open target directory
// without following anything swapped in there, and given its attributes.
// No JNI here.
#ifndef FSUTIL_COPYCREATE_H
#define FSUTIL_COPYCREATE_H

#include <sys/stat.h>

#include "base/Owned.h"
#include "engine/CopyAttributes.h"
#include "engine/CopyData.h"

namespace fsutil {

// What making copies needs, shared by the threads of one copy.
struct CopyEnv {
    Copier who = Copier::ofProcess();
    DataRoad data;
};

// Makes `dstName` of the directory open as dstDir a copy of `name` of the
// directory open as srcDir, whose record is st, with its attributes (always:
// owner and group set even where they are the copier's). A directory is made
// empty, with its attributes; a tree's directories go through makeDirectory
// and finishDirectory instead, their attributes set once they are filled.
// Whether it was made; each failure goes to report.
bool createEntry(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
                 CopyEnv& env, CopyReport& report);

// A new directory `name` of dstDir, open and checked (its record into
// *made); none when it could not be made (reported).
UniqueFd makeDirectory(int dstDir, const char* name, struct stat* made, CopyReport& report);

// The attributes of a directory copy open as fd, for the source directory
// st; its extended attributes read from srcFd, else from `name` of srcDir,
// else (both -1) not copied.
void finishDirectory(int fd, const struct stat& st, int srcFd, int srcDir, const char* name, bool always,
                     const CopyEnv& env, CopyReport& report);

}  // namespace fsutil

#endif
