// Sharing a whole-tree job out to threads: the top levels are read on the
// calling thread (what is not a directory handed to the job there) until at
// least kSharesPerThread directories per thread lie below, or kSplitLevels
// levels were read; each worker then takes the next directory off that list
// until none is left. Directories are entered with O_NOFOLLOW and opened
// relative to their open parent.
#include "TreeShares.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "DirEntries.h"

namespace fsutil {

namespace {

constexpr int kSplitLevels = 3;
constexpr std::size_t kSharesPerThread = 4;

}  // namespace

char* joinPath(const char* a, const char* b, std::size_t bLen) {
    const std::size_t aLen = std::strlen(a);
    auto* out = static_cast<char*>(std::malloc(aLen + 1 + bLen + 1));
    if (!out) return nullptr;
    std::memcpy(out, a, aLen);
    std::size_t n = aLen;
    if (aLen > 0 && bLen > 0) out[n++] = '/';
    if (bLen > 0) std::memcpy(out + n, b, bLen);
    out[n + bLen] = '\0';
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

TreeShares::~TreeShares() {
    stop();
    for (std::size_t i = taken_; i < failures_.len; ++i) std::free(failures_.data[i].path);
    for (std::size_t i = 0; i < shares_.len; ++i) {
        std::free(shares_.data[i].name);
        std::free(shares_.data[i].path);
    }
    for (std::size_t i = 0; i < nodes_.len; ++i) {
        close(nodes_.data[i].fd);
        std::free(nodes_.data[i].name);
        std::free(nodes_.data[i].path);
    }
    pthread_mutex_destroy(&lock_);
    pthread_cond_destroy(&changed_);
}

void TreeShares::fail(const char* base, const char* rel, std::size_t relLen, const char* text) {
    char* path = joinPath(base, rel, relLen);
    pthread_mutex_lock(&lock_);
    if (path && !failures_.push(TreeFailure{path, text})) std::free(path);  // no memory: that report is lost
    pthread_cond_broadcast(&changed_);
    pthread_mutex_unlock(&lock_);
}

void TreeShares::markFailed(std::size_t node) {
    pthread_mutex_lock(&lock_);
    nodes_.data[node].failed = true;
    pthread_mutex_unlock(&lock_);
}

void TreeShares::start(int parentFd, const char* name, std::size_t threads) {
    char* topName = strdup(name);
    char* path = topName ? strdup("") : nullptr;
    struct stat st;
    if (!path || !nodes_.push(Node{parentFd, 0, nullptr, nullptr, false})) {
        std::free(topName);
        std::free(path);
        close(parentFd);
        fail("", "", 0, std::strerror(ENOMEM));
        return;
    }
    Node node{-1, 0, topName, path, false};
    if (fstatat(parentFd, topName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail("", "", 0, std::strerror(errno));
    } else if (top(parentFd, topName, st) && S_ISDIR(st.st_mode)) {
        node.fd = openat(parentFd, topName, kDirFlags);
        struct stat now;
        // Replaced since it was looked at: left alone, as the job has already judged it.
        if (node.fd >= 0 && fstat(node.fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino &&
            nodes_.push(node)) {
            dev_ = st.st_dev;
            if (threads == 0) threads = 1;
            if (threads > kMaxThreads) threads = kMaxThreads;
            if (!split(threads)) fail("", "", 0, std::strerror(ENOMEM));
            if (threads > shares_.len) threads = shares_.len;
            for (std::size_t t = 0; t < threads; ++t) {
                // Counted before it starts: a worker may be done before pthread_create returns.
                pthread_mutex_lock(&lock_);
                ++running_;
                pthread_mutex_unlock(&lock_);
                if (pthread_create(&threads_[threadCount_], nullptr, worker, this) == 0) {
                    ++threadCount_;
                    continue;
                }
                // A thread that cannot be made leaves its part to the others, or to takeFailure.
                pthread_mutex_lock(&lock_);
                --running_;
                pthread_mutex_unlock(&lock_);
                break;
            }
            return;
        }
        if (node.fd < 0) fail("", "", 0, std::strerror(errno));
        if (node.fd >= 0) close(node.fd);
    }
    std::free(topName);
    std::free(path);
}

void* TreeShares::worker(void* arg) {
    auto* job = static_cast<TreeShares*>(arg);
    job->drainShares();
    pthread_mutex_lock(&job->lock_);
    --job->running_;
    pthread_cond_broadcast(&job->changed_);
    pthread_mutex_unlock(&job->lock_);
    return nullptr;
}

void TreeShares::drainShares() {
    for (;;) {
        if (cancelled()) return;
        const std::size_t i = next_.fetch_add(1);
        if (i >= shares_.len) return;
        const Share& s = shares_.data[i];
        if (!share(nodes_.data[s.node].fd, s.name, s.path)) markFailed(s.node);
    }
}

// Reads the top levels on this thread until enough directories lie below to
// share out; false when out of memory.
bool TreeShares::split(std::size_t threads) {
    std::size_t first = 1;  // the newest level of nodes
    for (int level = 0; level < kSplitLevels && !cancelled(); ++level) {
        const std::size_t last = nodes_.len;
        shares_.len = 0;
        for (std::size_t i = first; i < last; ++i) {
            const int fd = dup(nodes_.data[i].fd);
            DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
            if (!dir) {
                if (fd >= 0) close(fd);
                fail(nodes_.data[i].path, "", 0, std::strerror(errno));
                nodes_.data[i].failed = true;
                continue;
            }
            for (;;) {
                errno = 0;
                const struct dirent64* e = readdir64(dir);
                if (!e) {
                    if (errno != 0) {
                        fail(nodes_.data[i].path, "", 0, std::strerror(errno));
                        nodes_.data[i].failed = true;
                    }
                    break;
                }
                if (isDotEntry(e->d_name)) continue;
                bool isDir = e->d_type == DT_DIR;
                if (e->d_type == DT_UNKNOWN) {
                    struct stat st;
                    isDir = fstatat(nodes_.data[i].fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
                }
                if (!isDir) {
                    entry(nodes_.data[i], e->d_name, e->d_type);
                    continue;
                }
                const std::size_t len = std::strlen(e->d_name);
                Share s{i, strndup(e->d_name, len), joinPath(nodes_.data[i].path, e->d_name, len)};
                if (!s.name || !s.path || !shares_.push(s)) {
                    std::free(s.name);
                    std::free(s.path);
                    closedir(dir);
                    return false;
                }
            }
            closedir(dir);
        }
        if (shares_.len >= threads * kSharesPerThread || level + 1 == kSplitLevels || shares_.len == 0) return true;
        // Too few to share out: they become nodes, read on the next round.
        first = nodes_.len;
        for (std::size_t i = 0; i < shares_.len; ++i) {
            Share& s = shares_.data[i];
            Node node{openat(nodes_.data[s.node].fd, s.name, kDirFlags), s.node, s.name, s.path, false};
            s.name = s.path = nullptr;
            struct stat st;
            if (node.fd >= 0 && fstat(node.fd, &st) == 0) {
                if (enter(nodes_.data[node.parent], node.name, node.path, st) && nodes_.push(node)) continue;
            } else if (node.fd >= 0 || errno != ELOOP) {
                const int err = errno;
                if (node.fd < 0) unopened(nodes_.data[node.parent].fd, node.name);
                fail(node.path, "", 0, std::strerror(err));
                nodes_.data[node.parent].failed = true;
            } else {
                // A link now where the directory was: an entry like any other, never followed.
                entry(nodes_.data[node.parent], node.name, DT_LNK);
            }
            if (node.fd >= 0) close(node.fd);
            std::free(node.name);
            std::free(node.path);
        }
        shares_.len = 0;
    }
    return true;
}

bool TreeShares::takeFailure(TreeFailure* out) { return takeFailure(out, -1) == Take::failure; }

TreeShares::Take TreeShares::takeFailure(TreeFailure* out, long waitMs) {
    struct timespec until = {};
    if (waitMs >= 0) {
        clock_gettime(CLOCK_REALTIME, &until);  // the condition variable's clock
        until.tv_sec += waitMs / 1000;
        until.tv_nsec += (waitMs % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_nsec -= 1000000000L;
            ++until.tv_sec;
        }
    }
    pthread_mutex_lock(&lock_);
    Take took = Take::end;
    for (;;) {
        if (taken_ < failures_.len) {
            *out = failures_.data[taken_++];
            took = Take::failure;
            break;
        }
        if (running_ == 0 && !lastDone_) {
            lastDone_ = true;
            pthread_mutex_unlock(&lock_);
            drainShares();  // whatever no thread took
            if (!cancelled()) last();
            pthread_mutex_lock(&lock_);
            continue;
        }
        if (running_ == 0) break;
        if (waitMs < 0) {
            pthread_cond_wait(&changed_, &lock_);
        } else if (pthread_cond_timedwait(&changed_, &lock_, &until) == ETIMEDOUT) {
            took = Take::timeout;
            break;
        }
    }
    pthread_mutex_unlock(&lock_);
    return took;
}

void TreeShares::stop() {
    cancel_.store(true);
    for (std::size_t t = 0; t < threadCount_; ++t) pthread_join(threads_[t], nullptr);
    threadCount_ = 0;
}

}  // namespace fsutil
