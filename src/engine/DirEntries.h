// Library-private: how the engine meets a directory: opened below its parent
// with every check a descent needs (no link followed unless asked, the same
// directory as before, no loop), and read as typed entries, the type learnt
// from d_type where that gives the same answer as lstat of "dir/name" (the
// walk's entry filter) and from fstatat where it might not. No JNI here.
#ifndef FSUTIL_DIRENTRIES_H
#define FSUTIL_DIRENTRIES_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/Owned.h"
#include "base/Reasons.h"

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

// How every directory of a whole-tree call is opened: never through a link
// (O_NOFOLLOW), unless the walk follows links and reached it through one.
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// What a directory is recognised by: a loop, a swap.
struct DirId {
    dev_t dev;
    ino_t ino;
    static DirId of(const struct stat& st) { return DirId{st.st_dev, st.st_ino}; }
    bool is(const struct stat& st) const { return dev == st.st_dev && ino == st.st_ino; }
};

// Whether st is one of the n directories at ids.
inline bool oneOf(const DirId* ids, std::size_t n, const struct stat& st) {
    for (std::size_t i = 0; i < n; ++i) {
        if (ids[i].is(st)) return true;
    }
    return false;
}

// The ID of the mount the entry open as fd lies on (as /proc/self/mountinfo
// numbers mounts): statx's STATX_MNT_ID, else, where the kernel or an
// emulator does not fill that in, the mnt_id line of /proc/self/fdinfo; 0
// when neither tells. A bind mount has the device of what it shows, so only
// this tells its mount point from an ordinary directory.
std::uint64_t mountIdOf(int fd);

// Whether the entry `name` of parentFd lies on another file system than the
// top's (device dev, mount `mount`, 0 when not known): another device, or
// another mount of it (a bind mount); true when it cannot be looked at.
bool onOtherMount(int parentFd, const char* name, dev_t dev, std::uint64_t mount);

// What a descent asks of the directory it opens.
struct DirCheck {
    bool viaLink = false;          // reached through a followed link: the last step may follow it
    const DirId* expect = nullptr; // opened again: it must still be this directory
    const dev_t* device = nullptr; // a directory on another device is not opened,
    const std::uint64_t* mount = nullptr;  // nor, with device, one on another mount (0: not known)
    const DirId* path = nullptr;   // the directories it lies below: being one of them is a loop
    std::size_t pathLen = 0;
    const DirId* above = nullptr;  // more of them (those above a part of a walk)
    std::size_t aboveLen = 0;
};

enum class DirOpen : unsigned char {
    opened,
    failed,       // openat or fstat failed: errno says why (ELOOP or ENOTDIR: not a directory, or a link, now)
    moved,        // not the directory expected
    loop,         // one of the directories it lies below
    otherDevice,  // on another file system: another device, or another mount of the same one (a bind mount)
};

// Opens the directory `name` of parentFd as check asks, its record into *st.
// The descriptor is valid only when the result is `opened`; on `failed`
// errno is kept.
DirOpen openDir(int parentFd, const char* name, const DirCheck& check, struct stat* st, UniqueFd* out);

// The reason to report for a result of openDir other than `opened` (errno read for `failed`).
int openDirReason(DirOpen result);

// "." and "..": never reported.
inline bool isDotEntry(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// What lstat's mode says of an entry.
EntryType typeOfMode(mode_t mode);

// What a d_type says of an entry, into *type; false where it does not say (DT_UNKNOWN).
bool typeOfDType(unsigned char dType, EntryType* type);

// Whether the directory open as fd (st its stat record) may be read but not
// searched. euid: the caller's effective user; its own directory with the
// owner's search bit is answered without asking the kernel (an ACL's owner
// entry is those bits).
bool searchDenied(int fd, const struct stat& st, uid_t euid);

// What a reader reports, and how it types it.
struct ReadRules {
    TypeRoad road = TypeRoad::dType;
    bool attributes = false;   // every entry stat'd: its record with it
    bool followLinks = false;  // a link typed (and stat'd) as its target, where that exists
    bool everyType = false;    // devices and sockets reported, as EntryType::other
};

// A typed entry. name is valid until the stream is read again.
struct DirEntry {
    const char* name;
    std::size_t nameLen;
    EntryType type;
    bool viaLink;  // a link typed as its target
};

// The next reportable entry of dir (fd its descriptor) into *out; where it
// was stat'd (always with rules.attributes), its record into *st. False at
// the end of the stream, or on a read error: *err then says which (0: the end).
// An entry gone since readdir is left out.
bool readEntry(DIR* dir, int fd, const ReadRules& rules, DirEntry* out, struct stat* st, int* err);

// The next reportable entry of the stream and its type, or null at the end
// of the stream (a read error ends it the same way, with errno set; the end
// leaves errno 0).
const struct dirent64* nextEntry(DIR* dir, TypeRoad road, EntryType* type);

}  // namespace fsutil

#endif
