// Library-private: the hard links of a sync. Each name of a source hard-link
// group is held, with what the target held there, until the run has seen
// every name; the groups are then settled by a rule of their paths alone,
// so that which target file a group keeps, and what a dry run reports, never
// depend on which thread met a name first. The changes settling decides are
// the job's steps (SyncGroupSteps). Also the names a run took off the
// target's hard-linked files. No JNI here.
#ifndef FSUTIL_SYNCLINKS_H
#define FSUTIL_SYNCLINKS_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <mutex>

#include "base/Grow.h"
#include "base/Owned.h"
#include "engine/DirEntries.h"
#include "engine/InodeTable.h"

namespace fsutil {

// No directory of a held name.
constexpr std::size_t kNotHeld = static_cast<std::size_t>(-1);

// A name of a source hard-link group, held until the run has seen every
// name: where it lies and what the target held there when it was met.
struct HeldName {
    CharsPtr rel;            // its path below the roots
    std::size_t len = 0;     // of rel
    std::size_t leaf = 0;    // where its last name starts in rel
    std::size_t group = 0;   // its group, in the order met
    std::size_t dir = kNotHeld;  // its target directory, in the order met; kNotHeld: not there (a dry run's new one)
    bool exists = false;     // the target has an entry of that name
    bool passes = false;     // a regular file that passes the quick check against the source
    bool meta = false;       // then: its mode, owner or extended attributes differ
    bool time = false;       // then: its modification time differs
    struct stat t = {};      // its record then
};

// A target directory holding names of groups: settled with them.
struct HeldDir {
    CharsPtr rel;             // its path below the roots
    std::size_t len = 0;
    DirId id{};
    struct stat src = {};     // the source directory's record
    bool undecided = false;   // left with only its time differing: reported once its names are settled
    bool changed = false;     // a name of a group made, replaced or linked in it
    bool opened = false;      // made writable again to settle them
};

// What settling a group does to the target, as the job does it to any
// entry; each step reports its own failures. dir: the name's target
// directory (null: not there, a dry run's new one).
class SyncGroupSteps {
   public:
    // The target inode h names becomes its group's (s the source's record):
    // its metadata set as judged when h was met. False when it is not there any more.
    virtual bool keep(const HeldName& h, HeldDir* dir, const struct stat& s) = 0;
    // The group's file made as name h, new contents; false when it could not be.
    virtual bool make(const HeldName& h, HeldDir* dir, const struct stat& s) = 0;
    // Name h linked to the group's file at anchor (a path below the roots).
    virtual void link(const HeldName& h, HeldDir* dir, const char* anchor) = 0;
    // Name h already names the target inode its group keeps.
    virtual void same(const HeldName& h) = 0;
    // A directory that held names of groups, once they are all settled.
    virtual void settled(const HeldDir& d) = 0;
    // A failure of settling itself, at rel (len bytes) below the roots.
    virtual void failed(const char* rel, std::size_t len, int err) = 0;
    virtual bool stopped() = 0;

   protected:
    ~SyncGroupSteps() = default;
};

// The hard-link groups of a sync and the hard-linked target files it took
// names off, shared by its threads.
class SyncLinks {
   public:
    explicit SyncLinks(bool dryRun) : dryRun_(dryRun) {}
    SyncLinks(const SyncLinks&) = delete;
    SyncLinks& operator=(const SyncLinks&) = delete;

    // ---- the names of groups, as the workers meet them

    // Whether the group of source record s last judged h->t's inode: then
    // h's judgement (passes, meta, time) is that one.
    bool judged(const struct stat& s, HeldName* h);
    // Holds h, a name of the group of source record s (judgedNow: its
    // judgement is the group's for h.t's inode), in the target directory
    // dirId (dirSrc its source's record; null: not there). False: no memory.
    bool hold(HeldName h, const struct stat& s, bool judgedNow, const DirId* dirId, const struct stat& dirSrc);
    // Whether target directory id holds names of groups: its report then
    // waits for them (it is marked so).
    bool decidedLater(const DirId& id);

    // ---- once every name of the tree is known, on one thread

    // Every held name, group by group in the order of their first names by
    // path; then the directories that held them.
    void settle(SyncGroupSteps& steps);

    // ---- the target's hard-linked files

    // The link count target t had when the run began: a real run adds back
    // the names it has taken off it, so that whether a name must leave a
    // group never depends on which name of it was met first (a dry run, which
    // takes none, sees the count as it is).
    nlink_t linksOf(const struct stat& t);
    // A name taken off the regular target file t (replaced or removed).
    void leaves(const struct stat& t);

   private:
    // A source hard-link group: its record, the target inode last judged against it, its rank.
    struct Group {
        struct stat src = {};
        DirId judged{};          // the target inode last judged against it (ino 0: none), and how
        bool passes = false;
        bool meta = false;
        bool time = false;
        std::size_t rank = static_cast<std::size_t>(-1);  // where its first name by path comes among the groups'
    };

    bool pathBefore(std::size_t a, std::size_t b) const;
    void settleGroup(SyncGroupSteps& steps, InodeTable<bool>& claimed, const std::size_t* at, std::size_t n);
    HeldDir* dirOf(const HeldName& h);

    const bool dryRun_;
    std::mutex groupLock_;             // the held names, groups and directories, from the workers
    Grow<HeldName> heldNames_;
    Grow<Group> heldGroups_;
    Grow<HeldDir> heldDirs_;
    InodeTable<std::size_t> groupOf_;  // a source inode's index in heldGroups_, plus one
    InodeTable<std::size_t> dirOf_;    // a target directory's index in heldDirs_, plus one
    std::mutex leftLock_;
    InodeTable<nlink_t> left_;         // in a real run, the names each hard-linked target inode lost
};

}  // namespace fsutil

#endif
