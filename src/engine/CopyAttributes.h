// Library-private: the attributes of a copied entry, as cp -a keeps them:
// extended attributes (ACLs among them), owner and group where this process
// may set them, mode with its set-ID and sticky bits, times in nanoseconds.
// Also who is copying (its owner, group and umask). No JNI here.
#ifndef FSUTIL_COPYATTRIBUTES_H
#define FSUTIL_COPYATTRIBUTES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace fsutil {

// Where a copy step says what went wrong with the entry it works on, and
// what it made: the one failure location of a copy, bound to that entry.
class CopyReport {
   public:
    // The entry could not be copied wholly, for err (an errno or a Reason).
    virtual void failed(int err) = 0;
    // entries made, bytes moved.
    virtual void progressed(std::uint64_t entries, std::uint64_t bytes) = 0;

   protected:
    ~CopyReport() = default;
};

constexpr mode_t kUnknownMode = ~mode_t{0};

// Who copies: what a new entry's owner and mode start as.
struct Copier {
    uid_t euid;
    gid_t egid;
    mode_t umask;  // kUnknownMode when it could not be read
    // This process's, read without changing its umask (umask() would, for every thread).
    static Copier ofProcess();
};

// "/proc/self/fd/N" or "/proc/self/fd/N/name": reaches an open descriptor, or
// an entry of an open directory, for the calls without an *at form.
struct ProcPath {
    char text[320];
    explicit ProcPath(int fd, const char* name = nullptr);
};

// One side of an extended-attribute copy: a descriptor, or a path whose last
// component is (nofollow) or is not followed.
struct XattrEnd {
    int fd;
    const char* path;
    bool nofollow;

    ssize_t list(char* buf, std::size_t size) const;
    ssize_t get(const char* name, void* buf, std::size_t size) const;
    int set(const char* name, const void* value, std::size_t size) const;
};

// Copies every extended attribute of from to to; 0, or the errno of the
// first failure worth a report (user attributes and ACLs always; others only
// when the reason is not that this process may not set them there).
int copyXattrs(const XattrEnd& from, const XattrEnd& to);

// A copy, reached for its attributes: a descriptor of it (pathOnly: an O_PATH
// one), or, for a link, its directory and name.
struct AttrTarget {
    int fd;
    bool pathOnly;
    int dirFd;
    const char* name;
    mode_t mode = kUnknownMode;  // its mode bits when known: then set only if they differ
};

// Sets on `to` the attributes of the source entry st: its extended
// attributes read from `from` (null: none copied), owner and group (always:
// even where they are the copier's), mode, times. Each failure goes to report.
void setAttributes(const AttrTarget& to, const XattrEnd* from, const struct stat& st, bool always, const Copier& who,
                   CopyReport& report);

}  // namespace fsutil

#endif
