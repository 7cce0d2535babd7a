// Library-private: why something could not be done, as the engine carries it:
// an errno, or a reason of the engine's own with a negative code (never an
// errno), and the text each is told by. Failures carry the code; the text is
// looked up only where a failure is written out. No JNI here.
#ifndef FSUTIL_REASONS_H
#define FSUTIL_REASONS_H

#include <cstdio>
#include <cstring>

namespace fsutil {

enum Reason : int {
    kReasonLoop = -1,          // a followed link leads back to a directory above it
    kReasonMoved = -2,         // a directory opened again is no longer the one walked
    kReasonMountPoint = -3,    // a delete does not cross into another file system
    kReasonTargetMoved = -4,   // a copy's target directory was moved or replaced meanwhile
    kReasonXattr = -1000,      // extended attributes not copied: kReasonXattr - errno, the errno's text after it
};

// Extended attributes not copied for the errno err.
inline int xattrReason(int err) { return kReasonXattr - (err > 0 ? err : 0); }

struct ReasonText {
    int reason;
    const char* text;
};

constexpr ReasonText kReasonTexts[] = {
    {kReasonLoop, "File system loop: the link leads back to a directory above it"},
    {kReasonMoved, "Directory moved or replaced during the walk"},
    {kReasonMountPoint, "Mount point: not crossed"},
    {kReasonTargetMoved, "Target directory moved or replaced during the copy"},
};

// The text of a reason: the system's for an errno. An extended-attribute
// failure's is made on this thread, valid until its next call.
inline const char* reasonText(int reason) {
    if (reason >= 0) return std::strerror(reason);
    if (reason <= kReasonXattr) {
        thread_local char text[160];
        const int err = kReasonXattr - reason;
        (void)std::snprintf(text, sizeof text, "Extended attributes not copied%s%s", err ? ": " : "", err ? std::strerror(err) : "");
        return text;
    }
    for (const ReasonText& r : kReasonTexts) {
        if (r.reason == reason) return r.text;
    }
    return "";  // not reached: every code has its text
}

}  // namespace fsutil

#endif
