// Library-private: a whole-tree job that does one thing with each entry (a
// removal, a sum). The frame walks every shared subtree, reports what fails
// with its path below the top, and keeps track of which directories hold a
// failure; the job supplies only what it does with an entry, and its walk
// options. No JNI here.
#ifndef FSUTIL_ENTRYJOB_H
#define FSUTIL_ENTRYJOB_H

#include <sys/stat.h>

#include <cstddef>

#include "engine/TreeShares.h"
#include "engine/TreeWalk.h"

namespace fsutil {

// An entry of the tree, where the frame met it: on entering it, or (leave)
// once everything below a directory was acted on, or it was not entered.
struct JobEntry {
    const char* name = "";
    EntryType type = EntryType::skip;
    const struct stat* st = nullptr;  // its record, where one was read
    bool leave = false;
    bool otherDevice = false;         // leave: not entered, being on another file system

    // The directory holding it, open (again, if the walk had closed it); -1
    // and the reason in *why when it cannot be.
    int dirFd(int* why) const { return walk ? walk->directoryFd(depth, why) : fd; }

    TreeWalk* walk = nullptr;  // met by this walk, at this depth,
    std::size_t depth = 0;
    int fd = -1;               // else in the directory open as fd
};

// What a job does with an entry: 0, or the reason it could not (the frame
// reports it, and the directory holding the entry then holds a failure).
class EntryAct {
   public:
    virtual int act(const JobEntry& e) = 0;

   protected:
    ~EntryAct() = default;
};

// The job itself acts on the entries of the top levels; a share is acted on
// by the job too, unless the job overrides share() to have walkShare act
// through an EntryAct of that share's own (its sums kept apart, say).
class EntryJob : public TreeShares, public EntryAct {
   protected:
    EntryJob(JobKind kind, const WalkOptions& options) : TreeShares(kind, options.sameFileSystem), options_(options) {}

    // The directory `name` of parentFd (at path) and everything below it, on
    // a worker, acted on by `by`; whether all of it was.
    bool walkShare(EntryAct& by, int parentFd, const char* name, const char* path);

    bool share(int parentFd, const char* name, const char* path) override { return walkShare(*this, parentFd, name, path); }

   private:
    bool top(int parentFd, const char* name, const struct stat& st) override;
    void entry(Node& node, const char* name, EntryType type) override;
    bool enter(Node& parent, const char* name, const char* path, const struct stat& st, bool otherFs) override;
    void unopened(int parentFd, const char* name, const char* path) override;
    void last() override;
    bool walkBelow(EntryAct& by, TreeWalk& walk, const char* base);

    const WalkOptions options_;
};

}  // namespace fsutil

#endif
