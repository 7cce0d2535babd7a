// Making one copied entry by its type. A regular file is created O_EXCL
// with its permission bits where the umask leaves them whole, filled by the
// data mover and removed again if that fails; a link is read with room to
// spare and made with symlinkat; any other non-directory with mknodat, then
// reached through an O_PATH descriptor checked for its type; a directory
// with mkdirat 0700, opened O_NOFOLLOW, its mode and times set once filled.
#include "engine/CopyCreate.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "base/Reasons.h"
#include "engine/DirEntries.h"

namespace fsutil {

namespace {

// The bytes the mover moves, reported as progress.
class Counted final : public ByteCount {
   public:
    explicit Counted(CopyReport& report) : report_(report) {}
    void moved(std::uint64_t bytes) override { report_.progressed(0, bytes); }

   private:
    CopyReport& report_;
};

bool copyFile(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
              CopyEnv& env, CopyReport& report) {
    UniqueFd from(openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (from.get() < 0) {
        report.failed(errno);
        return false;
    }
    const Copier& who = env.who;
    // Made with its permission bits where the umask leaves them whole (no fchmod then); set-ID bits only later, after its owner.
    const mode_t bits = st.st_mode & 0777;
    // Writable by its owner too, or extended attributes could not be set on it before its mode.
    const bool whole = who.umask != kUnknownMode && (bits & who.umask) == 0 && ((bits & S_IWUSR) != 0 || who.euid == 0);
    UniqueFd to(openat(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, whole ? bits : 0600));
    if (to.get() < 0) {
        report.failed(errno);
        return false;
    }
    Counted counted(report);
    const int err = copyFileData(from.get(), to.get(), st, env.data, &counted);
    if (err != 0) {
        // No partial copy stays behind claiming to be the file.
        to.reset();
        unlinkat(dstDir, dstName, 0);
        report.failed(err);
        return false;
    }
    report.progressed(1, 0);
    const XattrEnd source{from.get(), nullptr, false};
    setAttributes(AttrTarget{to.get(), false, -1, nullptr, whole ? bits : kUnknownMode}, &source, st, always, who,
                  report);
    return true;
}

// A link's target, read again with more room if it grew since it was looked at; null (errno set) when it cannot be.
CharsPtr readLink(int dir, const char* name, const struct stat& st) {
    std::size_t size = static_cast<std::size_t>(st.st_size) + 2;
    for (;;) {
        CharsPtr target(static_cast<char*>(std::malloc(size)));
        if (!target) {
            errno = ENOMEM;
            return target;
        }
        const ssize_t n = readlinkat(dir, name, target.get(), size);
        if (n < 0) return nullptr;
        if (static_cast<std::size_t>(n) < size) {
            target.get()[n] = '\0';
            return target;
        }
        size *= 2;
    }
}

bool copyLink(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
              const CopyEnv& env, CopyReport& report) {
    const CharsPtr target = readLink(srcDir, name, st);
    if (!target || symlinkat(target.get(), dstDir, dstName) != 0) {
        report.failed(errno);
        return false;
    }
    report.progressed(1, 0);
    const ProcPath src(srcDir, name);
    const XattrEnd from{-1, src.text, true};
    setAttributes(AttrTarget{-1, false, dstDir, dstName}, &from, st, always, env.who, report);
    return true;
}

// FIFO, socket, device: made in place, then reached through an O_PATH
// descriptor, so that a link swapped in is never followed.
bool copyNode(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
              const CopyEnv& env, CopyReport& report) {
    if (mknodat(dstDir, dstName, (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0) {
        report.failed(errno);
        return false;
    }
    report.progressed(1, 0);
    const UniqueFd made(openat(dstDir, dstName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat now;
    if (made.get() < 0 || fstat(made.get(), &now) != 0 || (now.st_mode & S_IFMT) != (st.st_mode & S_IFMT)) {
        report.failed(kReasonTargetMoved);
        return false;
    }
    const ProcPath src(srcDir, name);
    const XattrEnd from{-1, src.text, true};
    setAttributes(AttrTarget{made.get(), true, -1, nullptr}, &from, st, always, env.who, report);
    return true;
}

}  // namespace

bool createEntry(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
                 CopyEnv& env, CopyReport& report) {
    switch (st.st_mode & S_IFMT) {
        case S_IFREG:
            return copyFile(srcDir, name, st, dstDir, dstName, always, env, report);
        case S_IFLNK:
            return copyLink(srcDir, name, st, dstDir, dstName, always, env, report);
        case S_IFDIR: {
            struct stat made;
            const UniqueFd fd = makeDirectory(dstDir, dstName, &made, report);
            if (fd) finishDirectory(fd.get(), st, -1, srcDir, name, always, env, report);
            return static_cast<bool>(fd);
        }
        default:
            return copyNode(srcDir, name, st, dstDir, dstName, always, env, report);
    }
}

UniqueFd makeDirectory(int dstDir, const char* name, struct stat* made, CopyReport& report) {
    UniqueFd fd;
    if (mkdirat(dstDir, name, 0700) != 0 || openDir(dstDir, name, DirCheck(), made, &fd) != DirOpen::opened) {
        report.failed(errno == ELOOP || errno == ENOTDIR ? kReasonTargetMoved : errno);
        return fd;
    }
    report.progressed(1, 0);
    return fd;
}

void finishDirectory(int fd, const struct stat& st, int srcFd, int srcDir, const char* name, bool always,
                     const CopyEnv& env, CopyReport& report) {
    const AttrTarget to{fd, false, -1, nullptr};
    if (srcFd >= 0) {
        const XattrEnd from{srcFd, nullptr, false};
        setAttributes(to, &from, st, always, env.who, report);
    } else if (srcDir >= 0) {
        const ProcPath src(srcDir, name);
        const XattrEnd from{-1, src.text, true};
        setAttributes(to, &from, st, always, env.who, report);
    } else {
        setAttributes(to, nullptr, st, always, env.who, report);
    }
}

}  // namespace fsutil
