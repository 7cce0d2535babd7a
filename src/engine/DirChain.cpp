// A bounded chain of open directories, opened again by checked steps.
#include "engine/DirChain.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace fsutil {

bool DirChain::push(Level level, const DirId& id) {
    if (!levels_.reserve(1) || !ids_.reserve(1)) return false;
    level.held = level.fd >= 0;
    const bool owned = level.fd >= 0 && (level.stream || level.own);
    (void)levels_.push(std::move(level));  // room reserved above
    (void)ids_.push(id);
    if (owned) ++open_;
    bound(levels_.len);
    return true;
}

void DirChain::pop(bool climb) {
    const std::size_t d = levels_.len - 1;
    Level* l = levels_.data;
    if (climb && d >= 1 && l[d - 1].fd < 0 && l[d - 1].held && l[d].fd >= 0) (void)reopenFromChild(d - 1);
    close(l[d]);
    levels_.pop();
    ids_.pop();
}

void DirChain::opened(Level& level, UniqueFd fd) {
    level.own = std::move(fd);
    level.fd = level.own.get();
    ++open_;
}

void DirChain::close(Level& level) {
    if (level.fd >= 0 && (level.stream || level.own)) --open_;
    level.stream.reset();
    level.own.reset();
    level.fd = -1;
}

// Level d opened again as `..` of level d + 1, which is open; whether it is the directory it was.
bool DirChain::reopenFromChild(std::size_t d) {
    DirCheck check;
    check.expect = &ids_.data[d];
    struct stat st;
    UniqueFd up;
    if (openDir(levels_.data[d + 1].fd, "..", check, &st, &up) != DirOpen::opened) return false;
    opened(levels_.data[d], std::move(up));
    bound(d);
    return true;
}

int DirChain::fd(std::size_t d, int* why) {
    Level* l = levels_.data;
    if (l[d].fd >= 0) return l[d].fd;
    if (!l[d].held) {
        *why = moved_;
        return -1;
    }
    if (d == 0) {
        UniqueFd again(dup(anchor_));
        if (!again) {
            *why = errno;
            return -1;
        }
        opened(l[0], std::move(again));
        bound(0);
        return l[0].fd;
    }
    if (d + 1 < levels_.len && l[d + 1].fd >= 0 && reopenFromChild(d)) return l[d].fd;
    // Moved, if `..` failed: the road from the ancestors says so. Name by name from the nearest
    // open ancestor, or from the anchor, which stands for level 0 and never moves under its own
    // descriptor. The levels on the way stay open too (the bound closes the shallowest first):
    // climbing back up then finds its parent open, instead of opening the whole road again.
    std::size_t k = d;
    while (k > 1 && l[k - 1].fd < 0) --k;
    int at = l[k - 1].fd >= 0 ? l[k - 1].fd : anchor_;
    for (; k <= d; ++k) {
        DirCheck check;
        check.viaLink = l[k].viaLink;
        check.expect = &ids_.data[k];
        struct stat st;
        UniqueFd next;
        const DirOpen got = l[k].held ? openDir(at, l[k].name.get(), check, &st, &next) : DirOpen::moved;
        if (got != DirOpen::opened) {
            const int err = errno;
            const bool gone = got != DirOpen::failed || err == ENOENT || err == ENOTDIR || err == ELOOP;
            *why = gone ? moved_ : err;
            bound(levels_.len);
            return -1;
        }
        opened(l[k], std::move(next));
        at = l[k].fd;
    }
    bound(d);
    return l[d].fd;
}

// At most kTreeMaxOpen open: the shallowest go first, never the deepest
// keepDeepest_, nor level spare, nor a level borrowing the anchor.
void DirChain::bound(std::size_t spare) {
    for (std::size_t j = 0; open_ > kTreeMaxOpen && j + keepDeepest_ < levels_.len; ++j) {
        Level& level = levels_.data[j];
        if (level.fd < 0 || j == spare || !(level.stream || level.own)) continue;
        if (closing_ && !closing_->closing(j)) return;
        close(level);
    }
}

}  // namespace fsutil
