// Sharing a whole-tree job out to threads: the top levels are read on the
// calling thread (what is not a directory handed to the job there) until at
// least kSharesPerThread directories per thread lie below, or kSplitLevels
// levels were read; each worker then takes the next directory off that list
// until none is left. Directories are entered with O_NOFOLLOW and opened
// relative to their open parent.
#include "engine/TreeShares.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/TreeWalk.h"

namespace fsutil {

namespace {

constexpr int kSplitLevels = 3;
constexpr std::size_t kSharesPerThread = 4;
// The entries of a top-level directory go to the workers this many at a
// time, so that a flat directory is copied (or removed) on every thread.
constexpr std::size_t kBatchEntries = 256;

}  // namespace

std::size_t usableCores() {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<std::size_t>(CPU_COUNT(&set)) : 1;
}

CharsPtr joinPath(const char* a, const char* b, std::size_t bLen) {
    const std::size_t aLen = std::strlen(a);
    CharsPtr out(static_cast<char*>(std::malloc(aLen + 1 + bLen + 1)));
    if (!out) return out;
    char* o = out.get();
    std::memcpy(o, a, aLen);
    std::size_t n = aLen;
    if (aLen > 0 && bLen > 0) o[n++] = '/';
    if (bLen > 0) std::memcpy(o + n, b, bLen);
    o[n + bLen] = '\0';
    return out;
}

bool WalkPath::enter(std::size_t d, const char* name, std::size_t len) {
    if (!ends_.ensure(d + 1)) return false;
    for (; ends_.len <= d; ++ends_.len) ends_.data[ends_.len] = 0;
    std::size_t n = 0;
    const char* start = entry(d, name, len, &n);
    if (!start) return false;
    ends_.data[d] = n;
    return true;
}

const char* WalkPath::of(std::size_t d, std::size_t* len) const {
    *len = d == 0 || d >= ends_.len ? 0 : ends_.data[d];
    return *len > 0 ? path_.data : "";
}

const char* WalkPath::entry(std::size_t d, const char* name, std::size_t nameLen, std::size_t* len) {
    // What lies past the parent's path belongs to directories already left.
    std::size_t n = d >= 1 && d - 1 < ends_.len ? ends_.data[d - 1] : 0;
    if (d <= 1) n = 0;
    if (!path_.ensure(n + 1 + nameLen + 1)) return nullptr;
    if (n > 0) path_.data[n++] = '/';
    std::memcpy(path_.data + n, name, nameLen);
    path_.data[n + nameLen] = '\0';
    path_.len = n + nameLen;
    *len = path_.len;
    return path_.data;
}

TreeShares::~TreeShares() { stop(); }

void TreeShares::fail(const char* base, const char* rel, std::size_t relLen, int err) {
    CharsPtr path = joinPath(base, rel, relLen);
    const std::lock_guard<std::mutex> hold(lock_);
    if (path) (void)failures_.push(TreeFailure{std::move(path), err});  // no memory: that report is lost
    changed_.notify_all();
}

void TreeShares::markFailed(std::size_t node) {
    const std::lock_guard<std::mutex> hold(lock_);
    nodes_.data[node].failed = true;
}

void TreeShares::start(UniqueFd parentFd, const char* name, std::size_t threads) {
    Node parent;
    parent.fd = std::move(parentFd);
    Node node;
    node.name = copyChars(name, std::strlen(name));
    node.path = copyChars("", 0);
    if (!node.name || !node.path || !nodes_.push(std::move(parent))) {
        fail("", "", 0, ENOMEM);
        return;
    }
    const int parentDir = nodes_.data[0].fd.get();
    struct stat st;
    if (fstatat(parentDir, node.name.get(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail("", "", 0, errno);
        return;
    }
    dev_ = st.st_dev;
    if (!top(parentDir, node.name.get(), st) || !S_ISDIR(st.st_mode)) return;
    // Replaced since it was looked at: left alone, as the job has already judged it.
    const DirId seen = DirId::of(st);
    DirCheck check;
    check.expect = &seen;
    struct stat now;
    const DirOpen got = openDir(parentDir, node.name.get(), check, &now, &node.fd);
    if (got == DirOpen::failed) fail("", "", 0, errno);
    if (got != DirOpen::opened) return;
    node.id = DirId::of(now);
    if (sameFileSystem_) mount_ = mountIdOf(node.fd.get());
    if (!nodes_.push(std::move(node))) return;
    if (threads == 0) threads = 1;
    if (threads > kMaxThreads) threads = kMaxThreads;
    if (!split(threads)) fail("", "", 0, ENOMEM);
    if (threads > shares_.len + batches_.len) threads = shares_.len + batches_.len;
    for (std::size_t t = 0; t < threads; ++t) {
        {
            // Counted before it starts: a worker may be done before pthread_create returns.
            const std::lock_guard<std::mutex> hold(lock_);
            ++running_;
        }
        if (pthread_create(&threads_[threadCount_], nullptr, worker, this) == 0) {
            ++threadCount_;
            continue;
        }
        // A thread that cannot be made leaves its part to the others, or to takeFailure.
        const std::lock_guard<std::mutex> hold(lock_);
        --running_;
        break;
    }
}

void* TreeShares::worker(void* arg) {
    auto* job = static_cast<TreeShares*>(arg);
    job->drainShares();
    const std::lock_guard<std::mutex> hold(job->lock_);
    --job->running_;
    job->changed_.notify_all();
    return nullptr;
}

void TreeShares::drainShares() {
    for (;;) {
        if (cancelled()) return;
        const std::size_t i = next_.fetch_add(1);
        if (i >= shares_.len) break;
        const Share& s = shares_.data[i];
        if (!share(nodes_.data[s.node].fd.get(), s.name.get(), s.path.get())) markFailed(s.node);
    }
    for (;;) {
        if (cancelled()) return;
        const std::size_t i = nextBatch_.fetch_add(1);
        if (i >= batches_.len) return;
        const Batch& b = batches_.data[i];
        const char* p = b.names.data;
        for (std::size_t k = 0; k < b.count && !cancelled(); ++k) {
            const auto type = static_cast<EntryType>(*p++);
            entry(nodes_.data[b.node], p, type);
            p += std::strlen(p) + 1;
        }
    }
}

bool TreeShares::addToBatch(std::size_t node, const DirEntry& e) {
    if (batches_.len == 0 || batches_.back().node != node || batches_.back().count == kBatchEntries) {
        Batch b;
        b.node = node;
        if (!batches_.push(std::move(b))) return false;
    }
    Batch& b = batches_.back();
    if (!b.names.reserve(e.nameLen + 2)) return false;
    b.names.data[b.names.len++] = static_cast<char>(e.type);
    std::memcpy(b.names.data + b.names.len, e.name, e.nameLen + 1);
    b.names.len += e.nameLen + 1;
    ++b.count;
    return true;
}

// Reads the top levels on this thread until enough directories lie below to
// share out; false when out of memory.
bool TreeShares::split(std::size_t threads) {
    ReadRules rules;
    rules.everyType = true;  // a job sees every entry
    std::size_t first = 1;   // the newest level of nodes
    for (int level = 0; level < kSplitLevels && !cancelled(); ++level) {
        const std::size_t last = nodes_.len;
        shares_.clear();
        for (std::size_t i = first; i < last; ++i) {
            Node& node = nodes_.data[i];
            const int fd = node.fd.get();
            DirPtr dir;
            {
                UniqueFd copy(dup(fd));
                if (copy) dir.reset(fdopendir(copy.get()));
                if (dir) (void)copy.release();  // the stream's now
            }
            if (!dir) {
                fail(node.path.get(), "", 0, errno);
                node.failed = true;
                continue;
            }
            DirEntry e;
            struct stat st;
            int err;
            while (readEntry(dir.get(), fd, rules, &e, &st, &err)) {
                if (e.type != EntryType::directory) {
                    // One thread: at once, with no copy of the name.
                    if (threads == 1) {
                        entry(node, e.name, e.type);
                    } else if (!addToBatch(i, e)) {
                        return false;
                    }
                    continue;
                }
                Share s;
                s.node = i;
                s.name = copyChars(e.name, e.nameLen);
                s.path = joinPath(node.path.get(), e.name, e.nameLen);
                if (!s.name || !s.path || !shares_.push(std::move(s))) return false;
            }
            if (err != 0) {
                fail(node.path.get(), "", 0, err);
                node.failed = true;
            }
        }
        if (shares_.len + batches_.len >= threads * kSharesPerThread || level + 1 == kSplitLevels || shares_.len == 0) {
            return true;
        }
        // Too few to share out: they become nodes, read on the next round.
        first = nodes_.len;
        for (std::size_t i = 0; i < shares_.len; ++i) {
            Share& s = shares_.data[i];
            Node node;
            node.parent = s.node;
            node.name = std::move(s.name);
            node.path = std::move(s.path);
            Node& parent = nodes_.data[node.parent];
            struct stat st;
            Grow<DirId> chain;
            if (!chainOf(parent.fd.get(), &chain)) return false;
            DirCheck check;
            check.path = chain.data;
            check.pathLen = chain.len;
            // Where the job stays on one file system, a mount point is one, not a loop.
            const DirOpen got = openDir(parent.fd.get(), node.name.get(), sameFileSystem_ ? DirCheck() : check, &st, &node.fd);
            const bool otherFs = got == DirOpen::opened && sameFileSystem_ &&
                                 (st.st_dev != dev_ || (mount_ != 0 && mountIdOf(node.fd.get()) != mount_));
            if (got == DirOpen::opened && sameFileSystem_ && !otherFs && oneOf(chain.data, chain.len, st)) {
                node.fd.reset();
                unopened(parent.fd.get(), node.name.get(), node.path.get());
                fail(node.path.get(), "", 0, kReasonLoop);
                parent.failed = true;
            } else if (got == DirOpen::opened) {
                node.id = DirId::of(st);
                // nodes_ may move: parent is not used past the push.
                if (enter(parent, node.name.get(), node.path.get(), st, otherFs) && !otherFs) {
                    (void)nodes_.push(std::move(node));
                }
            } else if (got == DirOpen::failed && errno == ELOOP) {
                // A link now where the directory was: an entry like any other, never followed.
                entry(parent, node.name.get(), EntryType::symlink);
            } else {
                const int e = got == DirOpen::failed ? errno : openDirReason(got);
                unopened(parent.fd.get(), node.name.get(), node.path.get());
                fail(node.path.get(), "", 0, e);
                nodes_.data[node.parent].failed = true;
            }
        }
        shares_.clear();
    }
    return true;
}

std::size_t TreeShares::nodeOf(int fd) const {
    for (std::size_t i = 0; i < nodes_.len; ++i) {
        if (nodes_.data[i].fd.get() == fd) return i;
    }
    return 0;
}

bool TreeShares::chainOf(int parentFd, Grow<DirId>* out) const {
    out->len = 0;
    for (std::size_t i = nodeOf(parentFd); i > 0; i = nodes_.data[i].parent) {
        if (!out->push(DirId(nodes_.data[i].id))) return false;
    }
    return true;
}

DirOpen TreeShares::openShare(int parentFd, const char* name, Grow<DirId>* chain, struct stat* st, UniqueFd* fd) const {
    if (!chainOf(parentFd, chain)) {
        errno = ENOMEM;
        return DirOpen::failed;
    }
    DirCheck check;
    check.device = sameFileSystem_ ? &dev_ : nullptr;
    check.mount = &mount_;
    check.path = chain->data;
    check.pathLen = chain->len;
    return openDir(parentFd, name, check, st, fd);
}

bool TreeShares::takeFailure(TreeFailure* out) { return takeFailure(out, -1) == Take::failure; }

TreeShares::Take TreeShares::takeFailure(TreeFailure* out, long waitMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        if (taken_ < failures_.len) {
            *out = std::move(failures_.data[taken_++]);
            return Take::failure;
        }
        if (running_ == 0 && !lastDone_) {
            lastDone_ = true;
            hold.unlock();
            drainShares();  // whatever no thread took
            if (!cancelled()) last();
            hold.lock();
            continue;
        }
        if (running_ == 0) return Take::end;
        if (waitMs < 0) {
            changed_.wait(hold);
        } else if (changed_.wait_until(hold, until) == std::cv_status::timeout) {
            return Take::timeout;
        }
    }
}

void TreeShares::stop() {
    cancel_.store(true);
    for (std::size_t t = 0; t < threadCount_; ++t) pthread_join(threads_[t], nullptr);
    threadCount_ = 0;
}

std::unique_ptr<TreeWalk> TreeShares::walkShare(UniqueFd fd, const Grow<DirId>& chain) const {
    WalkOptions options;
    options.attributes = true;
    options.everyType = true;
    options.sameFileSystem = sameFileSystem_;
    options.topDevice = &dev_;
    options.topMount = &mount_;
    options.above = chain.data;
    options.aboveCount = chain.len;
    return TreeWalk::open(std::move(fd), options);
}

}  // namespace fsutil
