// Removing a tree on several threads. The calling thread reads the top
// levels (removing what is not a directory) until it holds enough
// subdirectories to share out; each worker then empties its share with the
// walk engine, in post-order: every removal is unlinkat relative to the open
// parent, every directory entered with O_NOFOLLOW and checked as the walk
// checks it, nothing on another device entered. The directories above the
// shares are removed last, deepest first; a directory that holds a failure
// stays, and so do its parents.
#include "TreeDelete.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Grow.h"
#include "TreeWalk.h"

namespace fsutil {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t kMaxThreads = 64;
// Levels read on the calling thread at most, looking for enough directories to share out.
constexpr int kSplitLevels = 3;
constexpr std::size_t kSharesPerThread = 4;

// A directory above the shares: read on the calling thread, removed last.
struct Node {
    int fd;
    std::size_t parent;  // index of the node holding it
    char* name;
    char* path;  // relative to the top; malloc'd
    bool failed;  // it holds something that could not be removed (written under the lock)
};

// A directory whose whole subtree one worker removes.
struct Share {
    std::size_t node;  // where it lies
    char* name;
    char* path;
};

// "a/b" from "a" and "b" (either may be empty), malloc'd; null when out of memory.
char* joinPath(const char* a, const char* b, std::size_t bLen) {
    const std::size_t aLen = std::strlen(a);
    auto* out = static_cast<char*>(std::malloc(aLen + 1 + bLen + 1));
    if (!out) return nullptr;
    std::memcpy(out, a, aLen);
    std::size_t n = aLen;
    if (aLen > 0 && bLen > 0) out[n++] = '/';
    std::memcpy(out + n, b, bLen);
    out[n + bLen] = '\0';
    return out;
}

}  // namespace

struct TreeDelete {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    dev_t dev = 0;
    Grow<Node> nodes;    // fixed once the workers start
    Grow<Share> shares;  // likewise
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> removed{0};
    std::atomic<bool> cancel{false};
    pthread_t threads[kMaxThreads] = {};
    std::size_t threadCount = 0;
    std::size_t running = 0;  // workers not done yet
    Grow<DeleteFailure> failures;
    std::size_t taken = 0;
    bool lastDone = false;  // the directories above the shares were dealt with

    void fail(const char* base, const char* rel, std::size_t relLen, const char* text) {
        char* path = joinPath(base, relLen > 0 ? rel : "", relLen);
        pthread_mutex_lock(&lock);
        if (path && !failures.push(DeleteFailure{path, text})) std::free(path);  // no memory: that report is lost
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
    }

    void markFailed(std::size_t node) {
        pthread_mutex_lock(&lock);
        nodes.data[node].failed = true;
        pthread_mutex_unlock(&lock);
    }

    // unlinkat; a failure is reported as the path base/rel.
    bool removeEntry(int dirFd, const char* name, int flags, const char* base, const char* rel) {
        if (unlinkat(dirFd, name, flags) == 0) {
            removed.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        fail(base, rel, std::strlen(rel), std::strerror(errno));
        return false;
    }

    bool emptyTree(TreeWalk& walk, const char* base);
    bool removeDirectory(int parentFd, const char* name, const char* path);
    void drainShares();
    void removeNodes();
    bool split(std::size_t threads);
};

// Removes everything below the walk's top, in post-order; whether all of it went.
bool TreeDelete::emptyTree(TreeWalk& walk, const char* base) {
    Grow<char> path;          // the current directory's path below base
    Grow<std::size_t> ends;   // ends.data[d]: where the path of the directory at depth d ends
    Grow<bool> holds;         // holds.data[d]: the directory at depth d holds a failure
    if (!ends.push(0) || !holds.push(false)) return false;
    WalkItem item;
    while (!cancel.load(std::memory_order_relaxed) && walk.next(&item)) {
        const std::size_t d = item.depth;
        if (!ends.ensure(d + 2) || !holds.ensure(d + 2)) break;
        for (; ends.len < d + 2; ++ends.len, ++holds.len) {
            ends.data[ends.len] = 0;
            holds.data[holds.len] = false;
        }
        const char* why = nullptr;
        if (item.event == WalkEvent::failure) {
            holds.data[d] = true;
            fail(base, path.data ? path.data : "", d == 0 ? 0 : ends.data[d], item.text);
            continue;
        }
        if (item.event == WalkEvent::entry && item.type == EntryType::directory) {
            // Its path, for what is reported below it; it is removed when left.
            const std::size_t start = ends.data[d - 1];
            if (!path.ensure(start + 1 + item.nameLen + 1)) break;
            path.len = start;
            if (start > 0) path.data[path.len++] = '/';
            std::memcpy(path.data + path.len, item.name, item.nameLen + 1);
            path.len += item.nameLen;
            ends.data[d] = path.len;
            holds.data[d] = false;
            continue;
        }
        const bool leave = item.event == WalkEvent::leave;
        if (leave && (holds.data[d] || item.otherDevice)) {
            if (item.otherDevice) fail(base, path.data, ends.data[d], kDeleteMountPoint);
            holds.data[d - 1] = true;
            continue;
        }
        const int dirFd = walk.directoryFd(d, &why);
        if (dirFd >= 0 && unlinkat(dirFd, item.name, leave ? AT_REMOVEDIR : 0) == 0) {
            removed.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (!why) why = std::strerror(errno);
        if (leave) {
            fail(base, path.data, ends.data[d], why);
        } else if (path.ensure(ends.data[d - 1] + 1 + item.nameLen + 1)) {
            // The entry's path, past its directory's: what lies there is not used again.
            std::size_t n = ends.data[d - 1];
            if (n > 0) path.data[n++] = '/';
            std::memcpy(path.data + n, item.name, item.nameLen);
            fail(base, path.data, n + item.nameLen, why);
        }
        holds.data[d - 1] = true;
    }
    const bool all = !cancel.load() && !holds.data[0] && ends.len > 0;
    path.release();
    ends.release();
    holds.release();
    return all;
}

// Removes the directory `name` of parentFd and all below it; whether it went.
bool TreeDelete::removeDirectory(int parentFd, const char* name, const char* path) {
    const int fd = openat(parentFd, name, kDirFlags);
    if (fd < 0) {
        // No longer a directory (a link put in its place, say): removed itself, never followed.
        if (errno == ELOOP || errno == ENOTDIR) return removeEntry(parentFd, name, 0, path, "");
        fail(path, "", 0, std::strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != dev) {
        const int err = errno;
        close(fd);
        fail(path, "", 0, st.st_dev != dev ? kDeleteMountPoint : std::strerror(err));
        return false;
    }
    WalkOptions options;
    options.sameFileSystem = true;
    options.everyType = true;
    TreeWalk* walk = TreeWalk::open(fd, options);
    if (!walk) {
        fail(path, "", 0, std::strerror(ENOMEM));
        return false;
    }
    const bool emptied = emptyTree(*walk, path);
    delete walk;
    if (!emptied) return false;
    if (unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
        fail(path, "", 0, std::strerror(errno));
        return false;
    }
    removed.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void TreeDelete::drainShares() {
    for (;;) {
        if (cancel.load(std::memory_order_relaxed)) return;
        const std::size_t i = next.fetch_add(1);
        if (i >= shares.len) return;
        const Share& share = shares.data[i];
        if (!removeDirectory(nodes.data[share.node].fd, share.name, share.path)) markFailed(share.node);
    }
}

// The directories above the shares, deepest first; a directory holding a failure stays.
void TreeDelete::removeNodes() {
    for (std::size_t i = nodes.len; i-- > 1 && !cancel.load();) {
        Node& node = nodes.data[i];
        if (node.failed || !removeEntry(nodes.data[node.parent].fd, node.name, AT_REMOVEDIR, node.path, "")) {
            markFailed(node.parent);
        }
    }
}

namespace {

void* worker(void* arg) {
    auto* job = static_cast<TreeDelete*>(arg);
    job->drainShares();
    pthread_mutex_lock(&job->lock);
    --job->running;
    pthread_cond_broadcast(&job->changed);
    pthread_mutex_unlock(&job->lock);
    return nullptr;
}

}  // namespace

// Reads the top levels on this thread, removing what is not a directory, until
// enough directories lie below to share out; false when out of memory.
bool TreeDelete::split(std::size_t threads) {
    std::size_t first = 1;  // the newest level of nodes
    for (int level = 0; level < kSplitLevels && !cancel.load(); ++level) {
        const std::size_t last = nodes.len;
        shares.len = 0;
        for (std::size_t i = first; i < last; ++i) {
            const int fd = dup(nodes.data[i].fd);
            DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
            if (!dir) {
                if (fd >= 0) close(fd);
                fail(nodes.data[i].path, "", 0, std::strerror(errno));
                nodes.data[i].failed = true;
                continue;
            }
            for (;;) {
                errno = 0;
                const struct dirent64* e = readdir64(dir);
                if (!e) {
                    if (errno != 0) {
                        fail(nodes.data[i].path, "", 0, std::strerror(errno));
                        nodes.data[i].failed = true;
                    }
                    break;
                }
                if (isDotEntry(e->d_name)) continue;
                struct stat st;
                bool isDir = e->d_type == DT_DIR;
                if (e->d_type == DT_UNKNOWN) {
                    isDir = fstatat(nodes.data[i].fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
                }
                if (!isDir) {
                    if (!removeEntry(nodes.data[i].fd, e->d_name, 0, nodes.data[i].path, e->d_name)) nodes.data[i].failed = true;
                    continue;
                }
                const std::size_t len = std::strlen(e->d_name);
                Share share{i, strndup(e->d_name, len), joinPath(nodes.data[i].path, e->d_name, len)};
                if (!share.name || !share.path || !shares.push(share)) {
                    std::free(share.name);
                    std::free(share.path);
                    closedir(dir);
                    return false;
                }
            }
            closedir(dir);
        }
        if (shares.len >= threads * kSharesPerThread || level + 1 == kSplitLevels || shares.len == 0) return true;
        // Too few to share out: they become nodes, read on the next round.
        first = nodes.len;
        for (std::size_t s = 0; s < shares.len; ++s) {
            Share& share = shares.data[s];
            Node node{-1, share.node, share.name, share.path, false};
            share.name = share.path = nullptr;
            node.fd = openat(nodes.data[node.parent].fd, node.name, kDirFlags);
            struct stat st;
            const char* why = nullptr;
            if (node.fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
                // No longer a directory: removed itself, never followed.
                if (!removeEntry(nodes.data[node.parent].fd, node.name, 0, node.path, "")) {
                    nodes.data[node.parent].failed = true;
                }
            } else if (node.fd < 0 || fstat(node.fd, &st) != 0) {
                why = std::strerror(errno);
            } else if (st.st_dev != dev) {
                why = kDeleteMountPoint;
            } else if (nodes.push(node)) {
                continue;
            } else {
                why = std::strerror(ENOMEM);
            }
            if (why) {
                fail(node.path, "", 0, why);
                nodes.data[node.parent].failed = true;
            }
            if (node.fd >= 0) close(node.fd);
            std::free(node.name);
            std::free(node.path);
        }
        shares.len = 0;
    }
    return true;
}

TreeDelete* startDelete(int parentFd, const char* name, std::size_t threads) {
    auto* job = new (std::nothrow) TreeDelete;
    char* top = job ? strdup(name) : nullptr;
    char* path = top ? strdup("") : nullptr;
    if (!path || !job->nodes.push(Node{parentFd, 0, nullptr, nullptr, false})) {
        std::free(top);
        std::free(path);
        close(parentFd);
        delete job;
        return nullptr;
    }
    Node node{openat(parentFd, top, kDirFlags), 0, top, path, false};
    struct stat st;
    if (node.fd < 0) {
        // Not a directory (a link is one of those): removed itself, like rm.
        const int err = errno;
        if (err == ENOTDIR || err == ELOOP) {
            job->removeEntry(parentFd, top, 0, "", "");
        } else {
            job->fail("", "", 0, std::strerror(err));
        }
        std::free(top);
        std::free(path);
    } else if (fstat(node.fd, &st) != 0 || !job->nodes.push(node)) {
        job->fail("", "", 0, std::strerror(errno));
        close(node.fd);
        std::free(top);
        std::free(path);
    } else {
        job->dev = st.st_dev;
        if (threads == 0) threads = 1;
        if (threads > kMaxThreads) threads = kMaxThreads;
        if (!job->split(threads)) job->fail("", "", 0, std::strerror(ENOMEM));
        if (threads > job->shares.len) threads = job->shares.len;
        for (std::size_t t = 0; t < threads; ++t) {
            // A thread that cannot be made leaves its part to the others, or to takeFailure.
            if (pthread_create(&job->threads[job->threadCount], nullptr, worker, job) != 0) break;
            ++job->threadCount;
        }
        job->running = job->threadCount;
    }
    return job;
}

bool takeFailure(TreeDelete* job, DeleteFailure* out) {
    pthread_mutex_lock(&job->lock);
    for (;;) {
        if (job->taken < job->failures.len) {
            *out = job->failures.data[job->taken++];
            pthread_mutex_unlock(&job->lock);
            return true;
        }
        if (job->running == 0 && !job->lastDone) {
            job->lastDone = true;
            pthread_mutex_unlock(&job->lock);
            job->drainShares();  // whatever no thread took
            job->removeNodes();
            pthread_mutex_lock(&job->lock);
            continue;
        }
        if (job->running == 0) break;
        pthread_cond_wait(&job->changed, &job->lock);
    }
    pthread_mutex_unlock(&job->lock);
    return false;
}

std::uint64_t finishDelete(TreeDelete* job) {
    job->cancel.store(true);
    for (std::size_t t = 0; t < job->threadCount; ++t) pthread_join(job->threads[t], nullptr);
    for (std::size_t i = job->taken; i < job->failures.len; ++i) std::free(job->failures.data[i].path);
    for (std::size_t i = 0; i < job->shares.len; ++i) {
        std::free(job->shares.data[i].name);
        std::free(job->shares.data[i].path);
    }
    for (std::size_t i = 0; i < job->nodes.len; ++i) {
        close(job->nodes.data[i].fd);
        std::free(job->nodes.data[i].name);
        std::free(job->nodes.data[i].path);
    }
    const std::uint64_t removed = job->removed.load();
    job->failures.release();
    job->shares.release();
    job->nodes.release();
    pthread_mutex_destroy(&job->lock);
    pthread_cond_destroy(&job->changed);
    delete job;
    return removed;
}

}  // namespace fsutil
