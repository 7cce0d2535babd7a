// The message prefix of each FileTree call, which every message and
// exception raised on its behalf starts with.
#ifndef FSUTIL_CALLPREFIXES_H
#define FSUTIL_CALLPREFIXES_H

namespace fsutil {

inline constexpr char kWalkPrefix[] = "[FileTree.walk] ";
inline constexpr char kDeletePrefix[] = "[FileTree.delete] ";
inline constexpr char kUsagePrefix[] = "[FileTree.usage] ";
inline constexpr char kCopyPrefix[] = "[FileTree.copy] ";
inline constexpr char kSyncPrefix[] = "[FileTree.sync] ";
inline constexpr char kOpenPrefix[] = "[FileTree.newInputStream] ";
inline constexpr char kWatchPrefix[] = "[FileTree.watch] ";

}  // namespace fsutil

#endif
