// The hard-link groups of a sync: their names held as the workers meet them,
// and the rule that settles them once the run has seen every name. A group
// keeps the target inode that already holds the most of its names and
// passes the quick check; ties, the order of the groups and the name that
// gets new contents are decided by path, never by the order names were met.
#include "engine/SyncLinks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace fsutil {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

}  // namespace

bool SyncLinks::judged(const struct stat& s, HeldName* h) {
    const std::lock_guard<std::mutex> hold(groupLock_);
    const std::size_t* group = groupOf_.lookup(s.st_dev, s.st_ino);
    const Group* g = group && *group ? &heldGroups_.data[*group - 1] : nullptr;
    if (!g || g->judged.ino == 0 || !g->judged.is(h->t)) return false;
    h->passes = g->passes;
    h->meta = g->meta;
    h->time = g->time;
    return true;
}

bool SyncLinks::hold(HeldName h, const struct stat& s, bool judgedNow, const DirId* dirId, const struct stat& dirSrc) {
    const std::lock_guard<std::mutex> hold(groupLock_);
    bool added = false;
    std::size_t* group = groupOf_.insert(s.st_dev, s.st_ino, &added);
    if (group && added) {
        Group g;
        g.src = s;
        *group = heldGroups_.push(g) ? heldGroups_.len : 0;
    }
    if (!group || *group == 0) return false;
    h.group = *group - 1;
    if (judgedNow) {
        Group& g = heldGroups_.data[h.group];
        g.judged = DirId::of(h.t);
        g.passes = h.passes;
        g.meta = h.meta;
        g.time = h.time;
    }
    if (dirId) {
        std::size_t* dir = dirOf_.insert(dirId->dev, dirId->ino, &added);
        if (dir && added) {
            HeldDir d;
            d.rel = copyChars(h.rel.get(), h.leaf > 0 ? h.leaf - 1 : 0);
            d.len = h.leaf > 0 ? h.leaf - 1 : 0;
            d.id = *dirId;
            d.src = dirSrc;
            *dir = d.rel && heldDirs_.push(std::move(d)) ? heldDirs_.len : 0;
        }
        if (!dir || *dir == 0) return false;
        h.dir = *dir - 1;
    }
    return heldNames_.push(std::move(h));
}

bool SyncLinks::decidedLater(const DirId& id) {
    const std::lock_guard<std::mutex> hold(groupLock_);
    std::size_t* dir = dirOf_.lookup(id.dev, id.ino);
    if (!dir || *dir == 0) return false;
    heldDirs_.data[*dir - 1].undecided = true;
    return true;
}

HeldDir* SyncLinks::dirOf(const HeldName& h) { return h.dir == kNotHeld ? nullptr : &heldDirs_.data[h.dir]; }

// Orders held names by path, bytes compared unsigned.
bool SyncLinks::pathBefore(std::size_t a, std::size_t b) const {
    const HeldName& x = heldNames_.data[a];
    const HeldName& y = heldNames_.data[b];
    const int c = std::memcmp(x.rel.get(), y.rel.get(), x.len < y.len ? x.len : y.len);
    return c < 0 || (c == 0 && x.len < y.len);
}

void SyncLinks::settle(SyncGroupSteps& steps) {
    const std::size_t n = heldNames_.len;
    if (n == 0 || steps.stopped()) return;
    Grow<std::size_t> order;
    if (!order.ensure(n)) {
        steps.failed("", 0, ENOMEM);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) order.data[order.len++] = i;
    std::sort(order.data, order.data + n, [this](std::size_t a, std::size_t b) { return pathBefore(a, b); });
    std::size_t rank = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Group& g = heldGroups_.data[heldNames_.data[order.data[i]].group];
        if (g.rank == kNone) g.rank = rank++;
    }
    std::sort(order.data, order.data + n, [this](std::size_t a, std::size_t b) {
        const std::size_t ra = heldGroups_.data[heldNames_.data[a].group].rank;
        const std::size_t rb = heldGroups_.data[heldNames_.data[b].group].rank;
        return ra < rb || (ra == rb && pathBefore(a, b));
    });
    InodeTable<bool> claimed;  // target inodes kept by a group: no other group keeps them
    for (std::size_t i = 0; i < n && !steps.stopped();) {
        const std::size_t group = heldNames_.data[order.data[i]].group;
        std::size_t j = i + 1;
        while (j < n && heldNames_.data[order.data[j]].group == group) ++j;
        settleGroup(steps, claimed, order.data + i, j - i);
        i = j;
    }
    for (std::size_t i = 0; i < heldDirs_.len && !steps.stopped(); ++i) steps.settled(heldDirs_.data[i]);
}

// The names of one group (at, n of them, by path), decided by a rule of
// their paths alone: the group keeps the target inode that already holds
// the most of its names and passes the quick check (of those alike, the
// one whose first name comes first), unless an earlier group keeps it;
// without one, its first name by path gets new contents. Every other name
// is linked to it.
void SyncLinks::settleGroup(SyncGroupSteps& steps, InodeTable<bool>& claimed, const std::size_t* at, std::size_t n) {
    const struct stat& s = heldGroups_.data[heldNames_.data[at[0]].group].src;
    struct Candidate {
        DirId id;
        std::size_t count;
        std::size_t first;
    };
    Grow<Candidate> found;
    for (std::size_t i = 0; i < n; ++i) {
        const HeldName& h = heldNames_.data[at[i]];
        if (!h.passes || claimed.lookup(h.t.st_dev, h.t.st_ino)) continue;
        std::size_t c = 0;
        while (c < found.len && !found.data[c].id.is(h.t)) ++c;
        if (c < found.len) {
            ++found.data[c].count;
        } else if (!found.push(Candidate{DirId::of(h.t), 1, i})) {
            steps.failed(h.rel.get(), h.len, ENOMEM);
            return;
        }
    }
    std::size_t best = kNone;
    for (std::size_t c = 0; c < found.len; ++c) {
        const Candidate& k = found.data[c];
        if (best == kNone || k.count > found.data[best].count) best = c;
    }
    const char* anchor = nullptr;
    DirId kept{};
    std::size_t keptFirst = kNone;
    if (best != kNone) {
        const Candidate& k = found.data[best];
        bool added = false;
        (void)claimed.insert(k.id.dev, k.id.ino, &added);
        const HeldName& first = heldNames_.data[at[k.first]];
        if (steps.keep(first, dirOf(first), s)) {
            anchor = first.rel.get();
            kept = k.id;
            keptFirst = k.first;
        }
    }
    for (std::size_t i = 0; i < n && !steps.stopped(); ++i) {
        const HeldName& h = heldNames_.data[at[i]];
        if (i == keptFirst) continue;
        if (keptFirst != kNone && h.exists && S_ISREG(h.t.st_mode) && kept.is(h.t)) {
            steps.same(h);
        } else if (!anchor) {
            if (steps.make(h, dirOf(h), s)) anchor = h.rel.get();
        } else {
            steps.link(h, dirOf(h), anchor);
        }
    }
}

nlink_t SyncLinks::linksOf(const struct stat& t) {
    if (dryRun_) return t.st_nlink;
    const std::lock_guard<std::mutex> hold(leftLock_);
    const nlink_t* gone = left_.lookup(t.st_dev, t.st_ino);
    return t.st_nlink + (gone ? *gone : 0);
}

void SyncLinks::leaves(const struct stat& t) {
    if (dryRun_ || !S_ISREG(t.st_mode) || t.st_nlink < 2) return;
    const std::lock_guard<std::mutex> hold(leftLock_);
    bool added = false;
    nlink_t* s = left_.insert(t.st_dev, t.st_ino, &added);
    if (s) ++*s;
}

}  // namespace fsutil
