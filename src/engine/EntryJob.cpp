// The frame of a job that acts on each entry. Every entry is met on entering
// it and every directory again on leaving it (after its contents, or at once
// when it is not entered), in the top levels on the calling thread as in the
// shared subtrees on the workers, so that one callback says what the job
// does. A directory that holds a failure is not left through the job: it
// and the directories it lies in hold one too.
#include "engine/EntryJob.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace fsutil {

namespace {

// The entry `name` of the directory open as fd.
JobEntry in(int fd, const char* name, EntryType type, const struct stat* st) {
    JobEntry e;
    e.name = name;
    e.type = type;
    e.st = st;
    e.fd = fd;
    return e;
}

// The directory `name` of the directory open as fd, done with.
JobEntry leaving(int fd, const char* name, bool otherDevice) {
    JobEntry e = in(fd, name, EntryType::directory, nullptr);
    e.leave = true;
    e.otherDevice = otherDevice;
    return e;
}

JobEntry walked(TreeWalk& walk, const WalkItem& item) {
    JobEntry e;
    e.name = item.name;
    e.type = item.type;
    e.st = item.st;
    e.leave = item.event == WalkEvent::leave;
    e.otherDevice = item.otherDevice;
    e.walk = &walk;
    e.depth = item.depth;
    return e;
}

EntryType typeOf(const struct stat& st) {
    const EntryType t = typeOfMode(st.st_mode);
    return t == EntryType::skip ? EntryType::other : t;  // a job sees every entry
}

}  // namespace

bool EntryJob::top(int parentFd, const char* name, const struct stat& st) {
    const int why = act(in(parentFd, name, typeOf(st), &st));
    if (why != 0) fail("", "", 0, why);
    return why == 0;
}

void EntryJob::entry(Node& node, const char* name, EntryType type) {
    const int why = act(in(node.fd.get(), name, type, nullptr));
    if (why == 0) return;
    fail(node.path.get(), name, std::strlen(name), why);
    markFailed(indexOf(node));
}

bool EntryJob::enter(Node& parent, const char* name, const char* path, const struct stat& st, bool otherFs) {
    int why = act(in(parent.fd.get(), name, EntryType::directory, &st));
    if (why == 0 && !otherFs) return true;
    if (why == 0) why = act(leaving(parent.fd.get(), name, true));
    if (why != 0) {
        fail(path, "", 0, why);
        parent.failed = true;
    }
    return false;
}

// Acted on as an entry all the same (du counts it); what failed, its opening, is reported apart.
void EntryJob::unopened(int parentFd, const char* name, const char* /*path*/) {
    (void)act(in(parentFd, name, EntryType::directory, nullptr));
}

// The directories of the top levels, deepest first, once every share is done.
void EntryJob::last() {
    for (std::size_t i = nodes_.len; i-- > 1 && !cancelled();) {
        const Node& node = nodes_.data[i];
        const int why = node.failed ? 0 : act(leaving(nodes_.data[node.parent].fd.get(), node.name.get(), false));
        if (why != 0) fail(node.path.get(), "", 0, why);
        if (node.failed || why != 0) markFailed(node.parent);
    }
}

bool EntryJob::walkShare(EntryAct& by, int parentFd, const char* name, const char* path) {
    Grow<DirId> chain;
    struct stat st;
    UniqueFd fd;
    const DirOpen got = openShare(parentFd, name, &chain, &st, &fd);
    int why = 0;
    if (got == DirOpen::failed && (errno == ELOOP || errno == ENOTDIR)) {
        // No longer a directory (a link put in its place, say): an entry like any other, never followed.
        why = by.act(in(parentFd, name, EntryType::other, nullptr));
    } else if (got == DirOpen::otherDevice) {
        why = by.act(in(parentFd, name, EntryType::directory, &st));
        if (why == 0) why = by.act(leaving(parentFd, name, true));
    } else if (got != DirOpen::opened) {
        why = openDirReason(got);
        (void)by.act(in(parentFd, name, EntryType::directory, nullptr));  // as unopened() says
    } else {
        why = by.act(in(parentFd, name, EntryType::directory, &st));
        WalkOptions options = options_;
        options.above = chain.data;
        options.aboveCount = chain.len;
        options.topMount = &mount_;
        const std::unique_ptr<TreeWalk> walk = why == 0 ? TreeWalk::open(std::move(fd), options) : nullptr;
        if (why == 0 && !walk) why = errno;
        if (walk && !walkBelow(by, *walk, path)) return false;
        if (walk) why = by.act(leaving(parentFd, name, false));
    }
    if (why != 0) fail(path, "", 0, why);
    return why == 0;
}

// Acts on everything the walk reports below a share's top (at base); whether
// all of it was.
bool EntryJob::walkBelow(EntryAct& by, TreeWalk& walk, const char* base) {
    WalkPath at;
    Grow<bool> holds;  // holds.data[d]: the directory at depth d holds a failure
    WalkItem item;
    std::size_t n = 0;
    while (!cancelled() && walk.next(&item)) {
        const std::size_t d = item.depth;
        if (!holds.ensure(d + 2)) break;
        for (; holds.len < d + 2; ++holds.len) holds.data[holds.len] = false;
        if (item.event == WalkEvent::failure) {
            holds.data[d] = true;
            const char* p = at.of(d, &n);
            fail(base, p, n, item.err);
            continue;
        }
        const bool leave = item.event == WalkEvent::leave;
        if (leave && holds.data[d]) {
            holds.data[d - 1] = true;
            continue;
        }
        if (!leave && item.type == EntryType::directory) {
            // Its path is needed for what is reported below it.
            if (!at.enter(d, item.name, item.nameLen)) break;
            holds.data[d] = false;
        }
        const int why = by.act(walked(walk, item));
        if (why == 0) continue;
        const char* p = leave ? at.of(d, &n) : at.entry(d, item.name, item.nameLen, &n);
        if (p) fail(base, p, n, why);
        holds.data[d - 1] = true;
    }
    return !cancelled() && (holds.len == 0 || !holds.data[0]);
}

}  // namespace fsutil
