// Library-private: which entries of an open directory stream the walk
// reports, and of what type, learnt from d_type where that gives the same
// answer as lstat of "dir/name" (the walk's entry filter) and from fstatat
// where it might not. No JNI here.
#ifndef FSUTIL_DIRENTRIES_H
#define FSUTIL_DIRENTRIES_H

#include <dirent.h>
#include <sys/types.h>

namespace fsutil {

// The type of a reported entry. `skip`: not reported (".", "..", a device,
// a socket, or an entry that cannot be examined). `other`: a device or a
// socket, where a whole-tree job must see them (a delete).
enum class EntryType : unsigned char { skip = 0, file = 1, directory = 2, symlink = 3, fifo = 4, other = 5 };

// How a stream's entries are typed, decided once when it is opened:
// - dType: from d_type, and fstatat(AT_SYMLINK_NOFOLLOW) where it says DT_UNKNOWN;
// - statEach: fstatat for every entry. An entry that is a mount point has
//   the d_type of the file it covers, not of what is mounted on it, so a
//   directory holding a mount point (or one we cannot tell) goes this way;
// - nothing: the directory may be read but not searched, so lstat of
//   every "dir/name" fails and nothing is reported.
enum class TypeRoad : unsigned char { dType, statEach, nothing };

TypeRoad typeRoad(DIR* dir);

// Whether anything is mounted anywhere below the directory open as fd (true
// when that cannot be told): a walk of a whole tree asks once, and where the
// answer is no, types every directory of it from d_type without asking again.
bool mountsBelow(int fd);

// "." and "..": never reported.
inline bool isDotEntry(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// What lstat's mode says of an entry.
EntryType typeOfMode(mode_t mode);

// What a d_type says of an entry, into *type; false where it does not say (DT_UNKNOWN).
bool typeOfDType(unsigned char dType, EntryType* type);

// Whether the directory open as fd may be read but not searched.
bool searchDenied(int fd);

// The next reportable entry of the stream and its type, or null at the end
// of the stream (a read error ends it the same way, with errno set; the end
// leaves errno 0).
const struct dirent64* nextEntry(DIR* dir, TypeRoad road, EntryType* type);

}  // namespace fsutil

#endif
