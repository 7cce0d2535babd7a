// Library-private: the remembered inodes of a whole-tree job. One
// open-addressing table keyed by (device, inode), holding a value per inode,
// serves the inodes a sum has counted (InodeSet) and the hard links of a
// copy (CopyLinks) and of a sync (SyncLinks). The table itself takes no lock;
// its users do.
// No JNI here.
#ifndef FSUTIL_INODETABLE_H
#define FSUTIL_INODETABLE_H

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace fsutil {

// (dev, ino) to a Value, growing as it fills (at most half full). Not locked.
template <typename Value>
class InodeTable {
   public:
    InodeTable() = default;
    InodeTable(const InodeTable&) = delete;
    InodeTable& operator=(const InodeTable&) = delete;

    // The value of (dev, ino), added as Value{} (*added true) when it was
    // not there; null when it was not there and there is no memory for it.
    Value* insert(dev_t dev, ino_t ino, bool* added) {
        *added = false;
        if (Slot* slot = cap_ ? find(slots_.get(), cap_, dev, ino) : nullptr; slot && slot->used) return &slot->value;
        if ((used_ + 1) * 2 > cap_ && !grow()) return nullptr;
        Slot* slot = find(slots_.get(), cap_, dev, ino);
        slot->dev = dev;
        slot->ino = ino;
        slot->used = true;
        ++used_;
        *added = true;
        return &slot->value;
    }

    // The value of (dev, ino); null when it is not there.
    Value* lookup(dev_t dev, ino_t ino) {
        if (cap_ == 0) return nullptr;
        Slot* slot = find(slots_.get(), cap_, dev, ino);
        return slot->used ? &slot->value : nullptr;
    }

    std::size_t size() const { return used_; }

   private:
    struct Slot {
        dev_t dev = 0;
        ino_t ino = 0;
        bool used = false;
        Value value{};
    };

    static Slot* find(Slot* slots, std::size_t cap, dev_t dev, ino_t ino) {
        std::size_t i = (static_cast<std::size_t>(ino) * static_cast<std::size_t>(0x9E3779B97F4A7C15ULL) ^
                         static_cast<std::size_t>(dev)) &
                        (cap - 1);
        while (slots[i].used && (slots[i].ino != ino || slots[i].dev != dev)) i = (i + 1) & (cap - 1);
        return &slots[i];
    }

    bool grow() {
        const std::size_t cap = cap_ ? cap_ * 2 : 256;
        std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[cap]());
        if (!slots) return false;
        for (std::size_t i = 0; i < cap_; ++i) {
            if (slots_[i].used) *find(slots.get(), cap, slots_[i].dev, slots_[i].ino) = std::move(slots_[i]);
        }
        slots_ = std::move(slots);
        cap_ = cap;
        return true;
    }

    std::unique_ptr<Slot[]> slots_;
    std::size_t cap_ = 0;
    std::size_t used_ = 0;
};

// The inodes met so far, shared by the threads of a job (a sum counts each once).
class InodeSet {
   public:
    // Whether (dev, ino) was not met before; it is then. Out of memory, it counts as new.
    bool add(dev_t dev, ino_t ino) {
        const std::lock_guard<std::mutex> hold(lock_);
        bool added = false;
        return table_.insert(dev, ino, &added) == nullptr || added;
    }

   private:
    struct Seen {};
    std::mutex lock_;
    InodeTable<Seen> table_;
};

}  // namespace fsutil

#endif
