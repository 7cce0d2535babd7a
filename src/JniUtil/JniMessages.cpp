// The texts of messages and diagnostics (see JniMessages.h): formatting into
// fixed buffers, paths shortened in their middle, diagnostics on standard output.
#include "JniUtil/JniMessages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace fsutil {

void printDiagnostic(const char* text) {
    // Standard output is the only channel a diagnostic has; if it fails, there is nowhere to say so.
    (void)std::fputs(text, stdout);
    (void)std::fflush(stdout);
}

void formatMessage(char* buf, std::size_t size, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    if (size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0) {
        buf[0] = '\0';
        return;
    }
    std::size_t len = std::strlen(buf);
    if (static_cast<std::size_t>(n) <= len) return;
    // Cut: drop a trailing UTF-8 sequence that lost its continuation bytes.
    std::size_t start = len;
    while (start > 0 && len - start < 4 && (static_cast<unsigned char>(buf[start - 1]) & 0xC0) == 0x80) --start;
    if (start > 0) {
        const unsigned char lead = static_cast<unsigned char>(buf[start - 1]);
        const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (lead >= 0xC0 && len - (start - 1) < need) buf[start - 1] = '\0';
    }
}

namespace {
bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

void formatPathMessage(char* buf, std::size_t size, const char* head, const char* path, const char* tail) {
    if (size == 0) return;
    const std::size_t headLen = std::strlen(head);
    const std::size_t tailLen = std::strlen(tail);
    const std::size_t pathLen = std::strlen(path);
    constexpr char kGap[] = "...";
    constexpr std::size_t kGapLen = sizeof kGap - 1;
    if (headLen + pathLen + tailLen < size) {
        formatMessage(buf, size, "%s%s%s", head, path, tail);
        return;
    }
    if (headLen + kGapLen + tailLen >= size) {  // not even the gap fits: the plain cut
        formatMessage(buf, size, "%s%s%s", head, path, tail);
        return;
    }
    // Keep the path's start and end, a little more of the end (the name that failed).
    const std::size_t room = size - 1 - headLen - kGapLen - tailLen;
    std::size_t front = room / 3;
    std::size_t back = room - front;
    while (front > 0 && isContinuation(path[front])) --front;
    std::size_t from = pathLen - back;
    while (from < pathLen && isContinuation(path[from])) ++from;
    back = pathLen - from;
    char* out = buf;
    std::memcpy(out, head, headLen);
    out += headLen;
    std::memcpy(out, path, front);
    out += front;
    std::memcpy(out, kGap, kGapLen);
    out += kGapLen;
    std::memcpy(out, path + from, back);
    out += back;
    std::memcpy(out, tail, tailLen);
    out[tailLen] = '\0';
}

void formatPathError(char* buf, std::size_t size, const char* head, const char* path, int err) {
    char tail[320];
    formatMessage(tail, sizeof tail, "'. Error='%s'", std::strerror(err));
    formatPathMessage(buf, size, head, path, tail);
}

}  // namespace fsutil
