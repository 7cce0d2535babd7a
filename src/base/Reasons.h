// Library-private: why something could not be done, as the engine carries it:
// an errno, or a reason of the engine's own with a negative code (never an
// errno), and the text each is told by. Failures carry the code; the text is
// looked up only where a failure is written out. No JNI here.
#ifndef FSUTIL_REASONS_H
#define FSUTIL_REASONS_H

#include <cstring>

namespace fsutil {

enum Reason : int {
    kReasonLoop = -1,          // a followed link leads back to a directory above it
    kReasonMoved = -2,         // a directory opened again is no longer the one walked
    kReasonMountPoint = -3,    // a delete does not cross into another file system
    kReasonTargetMoved = -4,   // a copy's target directory was moved or replaced meanwhile
    kReasonXattr = -5,         // extended attributes not copied, for a reason not below
    kReasonXattrNotSupported = -6,
    kReasonXattrNotPermitted = -7,
    kReasonXattrDenied = -8,
    kReasonXattrNoSpace = -9,
    kReasonXattrQuota = -10,
    kReasonXattrTooBig = -11,
    kReasonXattrRange = -12,
};

struct ReasonText {
    int reason;
    const char* text;
};

constexpr ReasonText kReasonTexts[] = {
    {kReasonLoop, "File system loop: the link leads back to a directory above it"},
    {kReasonMoved, "Directory moved or replaced during the walk"},
    {kReasonMountPoint, "Mount point: not crossed"},
    {kReasonTargetMoved, "Target directory moved or replaced during the copy"},
    {kReasonXattr, "Extended attributes not copied"},
    {kReasonXattrNotSupported, "Extended attributes not copied: Operation not supported"},
    {kReasonXattrNotPermitted, "Extended attributes not copied: Operation not permitted"},
    {kReasonXattrDenied, "Extended attributes not copied: Permission denied"},
    {kReasonXattrNoSpace, "Extended attributes not copied: No space left on device"},
    {kReasonXattrQuota, "Extended attributes not copied: Disk quota exceeded"},
    {kReasonXattrTooBig, "Extended attributes not copied: Argument list too long"},
    {kReasonXattrRange, "Extended attributes not copied: Numerical result out of range"},
};

// The text of a reason: the system's for an errno.
inline const char* reasonText(int reason) {
    if (reason >= 0) return std::strerror(reason);
    for (const ReasonText& r : kReasonTexts) {
        if (r.reason == reason) return r.text;
    }
    return "";  // not reached: every code has its text
}

}  // namespace fsutil

#endif
