// Library-private: native paths opened and examined at any length, component
// by component past PATH_MAX. Hidden visibility: nothing here is exported.
#ifndef FSUTIL_PATHRESOLVE_H
#define FSUTIL_PATHRESOLVE_H

#include <sys/stat.h>

namespace fsutil {

// Opens a native path at any length: intermediate components as the
// kernel's own walk would (links followed), the last with flags.
int openNativePath(const char* path, int flags);

// lstat of a native path at any length; 0, or -1 with errno set.
int lstatNativePath(const char* path, struct stat* st);

}  // namespace fsutil

#endif
