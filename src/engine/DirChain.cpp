// A bounded chain of open directories, reopened by checked steps.
#include "engine/DirChain.h"

#include <fcntl.h>

#include <utility>

#include "engine/TreeWalk.h"

namespace fsutil {

DirChain::DirChain(int topFd, const struct stat& st) {
    Level top;
    top.fd = topFd;
    top.id = DirId::of(st);
    top.made = true;
    if (levels_.push(std::move(top))) open_ = 1;
}

bool DirChain::push(Level level) {
    const bool opened = level.fd >= 0;
    if (!levels_.push(std::move(level))) return false;
    if (opened) ++open_;
    bound();
    return true;
}

void DirChain::pop() {
    const std::size_t d = levels_.len - 1;
    if (d == 0) return;  // the top is the caller's
    if (d >= 2 && levels_.data[d - 1].fd < 0 && levels_.data[d].fd >= 0) (void)reopenFromChild(d - 1);
    if (levels_.back().fd >= 0) --open_;
    levels_.pop();
}

// Level d opened again as `..` of level d + 1, which is open; whether it is the directory it was.
bool DirChain::reopenFromChild(std::size_t d) {
    DirCheck check;
    check.expect = &levels_.data[d].id;
    struct stat st;
    UniqueFd up;
    if (openDir(levels_.data[d + 1].fd, "..", check, &st, &up) != DirOpen::opened) return false;
    levels_.data[d].own = std::move(up);
    levels_.data[d].fd = levels_.data[d].own.get();
    ++open_;
    bound();
    return true;
}

int DirChain::fd(std::size_t d, int* why) {
    Level* levels = levels_.data;
    if (levels[d].fd >= 0) return levels[d].fd;
    if (d + 1 < levels_.len && levels[d + 1].fd >= 0 && reopenFromChild(d)) return levels[d].fd;
    // Name by name from the nearest open ancestor; the steps between are closed again.
    std::size_t k = d;
    while (levels[k].fd < 0) --k;  // level 0 stays open
    UniqueFd step;
    int at = levels[k].fd;
    for (++k; k <= d; ++k) {
        DirCheck check;
        check.expect = &levels[k].id;
        struct stat st;
        if (openDir(at, levels[k].name.get(), check, &st, &step) != DirOpen::opened) {
            *why = kReasonTargetMoved;
            return -1;
        }
        at = step.get();
    }
    levels[d].own = std::move(step);
    levels[d].fd = levels[d].own.get();
    ++open_;
    bound();
    return levels[d].fd;
}

// Keeps at most kTreeMaxOpen open: the shallowest go first, but never the
// top nor the two deepest (the one being filled, the one just made).
void DirChain::bound() {
    for (std::size_t j = 1; open_ > kTreeMaxOpen && j + 2 < levels_.len; ++j) {
        Level& level = levels_.data[j];
        if (level.fd < 0) continue;
        level.own.reset();
        level.fd = -1;
        --open_;
    }
}

}  // namespace fsutil
