// Library-private: owning types for the engine's plain resources (a
// descriptor, a directory stream, a malloc'd string), so that no path out of
// a function has to remember to close or free them.
#ifndef FSUTIL_OWNED_H
#define FSUTIL_OWNED_H

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace fsutil {

// An owned descriptor: closed when dropped, -1 when there is none.
class UniqueFd {
   public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up to a new owner.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held (errno kept, so that a failure being reported survives it) and takes fd.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int err = errno;
            close(fd_);
            errno = err;
        }
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

// The one deleter of whatever was malloc'd or calloc'd.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
// A malloc'd (or calloc'd) value or array of T; an array as MallocPtr<T[]>.
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
// A malloc'd string.
using CharsPtr = MallocPtr<char>;

// A copy of the first len bytes of s, NUL-terminated; null when out of memory.
inline CharsPtr copyChars(const char* s, std::size_t len) {
    CharsPtr out(static_cast<char*>(std::malloc(len + 1)));
    if (out) {
        std::memcpy(out.get(), s, len);
        out.get()[len] = '\0';
    }
    return out;
}

struct CloseDir {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
// An open directory stream; its descriptor goes with it.
using DirPtr = std::unique_ptr<DIR, CloseDir>;

}  // namespace fsutil

#endif
