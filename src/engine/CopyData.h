// Library-private: the data mover of a copy. A regular file's bytes go from
// one descriptor to another inside the kernel (a reflink clone, else
// copy_file_range, else read/write), its holes kept. No JNI here.
#ifndef FSUTIL_COPYDATA_H
#define FSUTIL_COPYDATA_H

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

namespace fsutil {

// What the mover learnt of the file systems, shared by the threads of one
// copy, so that a way that failed once is not tried for every file.
struct DataRoad {
    std::atomic<dev_t> noClone{0};     // a source device whose files could not be cloned
    std::atomic<bool> noRange{false};  // copy_file_range is not there, or refuses these file systems
};

// Where the bytes moved are counted as they go (a job's progress).
class ByteCount {
   public:
    virtual void moved(std::uint64_t bytes) = 0;

   protected:
    ~ByteCount() = default;
};

// Copies the data of the regular file open as `from` (st its record) into the
// empty file open for writing as `to`: a clone, else its data ranges, a hole
// left a hole and the length kept. 0, or the errno of the failure.
int copyFileData(int from, int to, const struct stat& st, DataRoad& road, ByteCount* count);

}  // namespace fsutil

#endif
