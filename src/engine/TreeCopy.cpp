// Copying a tree as cp -a does: every entry's type, name bytes, mode with its
// set-ID and sticky bits, owner and group where permitted, times in
// nanoseconds (a directory's after its contents, a link's own), extended
// attributes, hard links among the copied entries, holes. This file is the
// job: the source is read by the walk engine, as a delete or a sum reads it;
// the target is written only relative to directories this copy created and
// opened again with O_NOFOLLOW, each checked by device and inode when
// reopened, so whatever is swapped into the target meanwhile, nothing is
// created outside it. Each entry is made by CopyCreate, its data moved by
// CopyData, its attributes set by CopyAttributes, its hard links kept by
// CopyLinks.
#include "engine/TreeCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "engine/CopyCreate.h"
#include "engine/CopyLinks.h"
#include "engine/DirChain.h"
#include "engine/TreeWalk.h"

namespace fsutil {

class TreeCopy final : public TreeShares {
   public:
    TreeCopy(UniqueFd dstParentFd, CharsPtr dstName, bool sameFileSystem)
        : TreeShares(JobKind::copy, sameFileSystem), dstName_(std::move(dstName)) {
        Target parent;
        parent.fd = std::move(dstParentFd);
        (void)targets_.push(std::move(parent));  // no memory: no target, nothing copied
    }

    ~TreeCopy() override { stop(); }

   private:
    // The target of node i of the top levels: targets_.data[i].
    struct Target {
        UniqueFd fd;
        struct stat src = {};
        bool made = false;
    };

    // The entry being copied, where its failures are reported: its path is
    // base and the first relLen bytes of rel, below the source's top.
    class At final : public CopyReport {
       public:
        At(TreeCopy& job, const char* base, const char* rel = "", std::size_t relLen = 0)
            : job_(job), base_(base), rel_(rel), relLen_(relLen) {}
        void failed(int err) override { job_.fail(base_, rel_, relLen_, err); }
        void progressed(std::uint64_t entries, std::uint64_t bytes) override { job_.progressed(entries, bytes); }
        CharsPtr path() const { return joinPath(base_, rel_, relLen_); }

       private:
        TreeCopy& job_;
        const char* base_;
        const char* rel_;
        std::size_t relLen_;
    };

    int targetOf(std::size_t node) const { return node < targets_.len ? targets_.data[node].fd.get() : -1; }

    // A link to the earlier copy at rel (relative to the target's top) as `name` of dstDir; 0 or the reason.
    int linkTo(const char* rel, int dstDir, const char* name) const {
        const int top = targetOf(1);
        return top < 0 ? ENOENT : linkBelow(top, rel, dstDir, name);
    }

    // Copies what is not a directory (a hard link to an earlier copy where the
    // source is one); whether it was made.
    bool copyEntry(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName, bool always,
                   At& at) {
        CharsPtr first;
        const bool linked = !always && st.st_nlink > 1;
        if (linked && !links_.claim(st.st_dev, st.st_ino, &first)) {
            const int err = linkTo(first.get(), dstDir, dstName);
            if (err != 0) {
                at.failed(err);
                return false;
            }
            progressed(1, 0);
            return true;
        }
        const bool made = createEntry(srcDir, name, st, dstDir, dstName, always, env_, at);
        if (linked) links_.publish(st.st_dev, st.st_ino, made ? at.path() : nullptr);
        return made;
    }

    bool top(int parentFd, const char* name, const struct stat& st) override {
        At at(*this, "");
        const int dstParent = targetOf(0);
        if (dstParent < 0) {
            at.failed(ENOMEM);
            return false;
        }
        if (!S_ISDIR(st.st_mode)) {
            createEntry(parentFd, name, st, dstParent, dstName_.get(), true, env_, at);
            return false;
        }
        struct stat made;
        UniqueFd fd = makeDirectory(dstParent, dstName_.get(), &made, at);
        if (!fd) return false;
        if (!targets_.push(Target{std::move(fd), st, true})) {
            at.failed(ENOMEM);
            return false;
        }
        return true;
    }

    void entry(Node& node, const char* name, EntryType /*type*/) override {
        struct stat st;
        At at(*this, node.path.get(), name, std::strlen(name));
        if (fstatat(node.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) at.failed(errno);  // gone since listed: nothing to copy
            return;
        }
        const int dst = targetOf(indexOf(node));
        if (dst < 0 || !copyEntry(node.fd.get(), name, st, dst, name, false, at)) markFailed(indexOf(node));
    }

    bool enter(Node& parent, const char* name, const char* path, const struct stat& st, bool otherFs) override {
        At at(*this, path);
        const int dst = targetOf(indexOf(parent));
        struct stat made;
        UniqueFd fd = dst < 0 ? UniqueFd() : makeDirectory(dst, name, &made, at);
        if (!fd) return false;
        if (otherFs) {
            // On another file system: created with its attributes, not entered.
            finishDirectory(fd.get(), st, -1, parent.fd.get(), name, false, env_, at);
            return false;
        }
        // It becomes node nodes_.len once entered.
        if (!targets_.ensure(nodes_.len + 1)) {
            at.failed(ENOMEM);
            return false;
        }
        while (targets_.len <= nodes_.len) (void)targets_.push(Target{});  // room ensured above
        targets_.data[nodes_.len] = Target{std::move(fd), st, true};
        return true;
    }

    // A directory of the top levels that cannot be read: made all the same.
    void unopened(int parentFd, const char* name, const char* path) override {
        unreadable(parentFd, name, path, targetOf(nodeOf(parentFd)));
    }

    // A source directory `name` of parentFd that cannot be read is still made,
    // empty, with its attributes, in dstParent, as cp -a makes it (its failure is reported apart).
    void unreadable(int parentFd, const char* name, const char* path, int dstParent) {
        struct stat st;
        struct stat made;
        if (dstParent < 0 || fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return;
        At at(*this, path);
        const UniqueFd fd = makeDirectory(dstParent, name, &made, at);
        if (fd) finishDirectory(fd.get(), st, -1, parentFd, name, false, env_, at);
    }

    bool share(int parentFd, const char* name, const char* path) override;
    void copyTree(TreeWalk& walk, int topFd, const struct stat& topMade, const char* base);

    // The directories of the top levels, deepest first, once everything below them is there.
    void last() override {
        for (std::size_t i = targets_.len; i-- > 1 && !cancelled();) {
            const Target& t = targets_.data[i];
            if (!t.fd || !t.made) continue;
            const bool node = i < nodes_.len;
            // A top whose source could not be opened has no attributes to read but its record.
            At at(*this, node ? nodes_.data[i].path.get() : "");
            finishDirectory(t.fd.get(), t.src, node ? nodes_.data[i].fd.get() : -1, -1, nullptr, i == 1, env_, at);
        }
    }

    Grow<Target> targets_;
    CharsPtr dstName_;
    CopyEnv env_;
    CopyLinks links_;
};

// Copies what the walk reports below the share's top, whose copy is open as topFd.
void TreeCopy::copyTree(TreeWalk& walk, int topFd, const struct stat& topMade, const char* base) {
    // The target's directories: the one being filled and the one just made are never closed.
    DirChain target(topFd, 2, kReasonTargetMoved);
    struct Made {
        struct stat src;  // the source directory's record, for its attributes when it is left
        bool made;
    };
    Grow<Made> made;  // made.data[d]: of target level d
    WalkPath where;
    WalkItem item;
    std::size_t n = 0;
    DirChain::Level top;
    top.fd = topFd;
    bool ok = target.push(std::move(top), DirId::of(topMade)) && made.push(Made{{}, true});
    while (ok && !cancelled() && walk.next(&item)) {
        const std::size_t d = item.depth;
        int why = 0;
        if (item.event == WalkEvent::failure) {
            const char* p = where.of(d, &n);
            fail(base, p, n, item.err);
            continue;
        }
        if (item.event == WalkEvent::leave) {
            if (d == 0 || d >= target.depth()) continue;
            const char* p = where.of(d, &n);
            At at(*this, base, p, n);
            const Made& left = made.data[d];
            const int fd = left.made ? target.fd(d, &why) : -1;
            const int srcDir = fd >= 0 ? walk.directoryFd(d, &why) : -1;
            if (srcDir >= 0) {
                finishDirectory(fd, left.src, -1, srcDir, item.name, false, env_, at);
            } else if (left.made) {
                at.failed(why);
            }
            while (target.depth() > d) {
                target.pop(true);
                made.pop();
            }
            continue;
        }
        const char* p = where.entry(d, item.name, item.nameLen, &n);
        At at(*this, base, p ? p : "", p ? n : 0);
        const int dst = p ? target.fd(d - 1, &why) : -1;
        if (!p) why = ENOMEM;
        if (item.type != EntryType::directory) {
            const int src = dst >= 0 ? walk.directoryFd(d, &why) : -1;
            if (src >= 0) {
                copyEntry(src, item.name, *item.st, dst, item.name, false, at);
            } else if (p) {
                at.failed(why);
            }
            continue;
        }
        // A directory: made now, its attributes set when it is left.
        struct stat st = {};
        DirChain::Level level;
        if (dst < 0) {
            if (p) at.failed(why);
        } else {
            level.own = makeDirectory(dst, item.name, &st, at);
        }
        level.fd = level.own.get();
        level.name = level.own ? copyChars(item.name, item.nameLen) : nullptr;
        if (level.own && !level.name) {
            level.own.reset();
            level.fd = -1;
            at.failed(ENOMEM);
        }
        const bool opened = level.fd >= 0;
        if (!opened) walk.skip();  // nothing could be put into it: not read either
        // The directory's copy is level d, as long as the walk's depths and ours agree.
        ok = target.depth() == d && made.reserve(1) && target.push(std::move(level), DirId::of(st)) &&
             made.push(Made{*item.st, opened}) && where.enter(d, item.name, item.nameLen);
        if (!ok) at.failed(ENOMEM);
    }
    // What is still open (cancelled, or out of memory) is closed with target; level 0 is the caller's.
}

bool TreeCopy::share(int parentFd, const char* name, const char* path) {
    At at(*this, path);
    const std::size_t node = nodeOf(parentFd);
    const int dstParent = targetOf(node);
    UniqueFd src;
    struct stat st;
    Grow<DirId> chain;
    const DirOpen got = openShare(parentFd, name, &chain, &st, &src);
    if (got == DirOpen::failed && (errno == ELOOP || errno == ENOTDIR) &&
        fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && dstParent >= 0) {
        // No longer a directory (a link put in its place, say): copied as what it now is.
        return copyEntry(parentFd, name, st, dstParent, name, false, at);
    }
    const bool otherFs = got == DirOpen::otherDevice;
    if (got != DirOpen::opened && !otherFs) {
        at.failed(openDirReason(got));
        unreadable(parentFd, name, path, dstParent);
        return false;
    }
    if (dstParent < 0) return false;
    struct stat made;
    const UniqueFd dst = makeDirectory(dstParent, name, &made, at);
    if (!dst) return false;
    if (!otherFs) {
        UniqueFd keep(dup(src.get()));  // for the top's own attributes, after the walk
        const std::unique_ptr<TreeWalk> walk = keep ? walkShare(std::move(src), chain) : nullptr;
        if (!walk) {
            at.failed(ENOMEM);
            return false;
        }
        copyTree(*walk, dst.get(), made, path);
        if (cancelled()) return false;
        finishDirectory(dst.get(), st, keep.get(), -1, nullptr, false, env_, at);
        return true;
    }
    // On another file system: made with its attributes, not entered.
    finishDirectory(dst.get(), st, -1, parentFd, name, false, env_, at);
    return true;
}

std::unique_ptr<TreeShares> startCopy(UniqueFd srcParentFd, const char* srcName, UniqueFd dstParentFd,
                                      const char* dstName, bool sameFileSystem, std::size_t threads) {
    CharsPtr name = copyChars(dstName, std::strlen(dstName));
    std::unique_ptr<TreeShares> job(name ? new (std::nothrow) TreeCopy(std::move(dstParentFd), std::move(name), sameFileSystem)
                                         : nullptr);
    if (job) job->start(std::move(srcParentFd), srcName, threads);
    return job;
}

std::uint64_t finishCopy(std::unique_ptr<TreeShares> shares) {
    if (!shares || shares->kind() != JobKind::copy) return 0;
    shares->stop();
    return shares->entriesDone();
}

}  // namespace fsutil
