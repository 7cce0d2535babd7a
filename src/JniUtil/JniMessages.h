// Library-private: the texts of messages and diagnostics, made in fixed
// buffers that are cut, never overrun. Hidden visibility: nothing here is exported.
#ifndef FSUTIL_JNIMESSAGES_H
#define FSUTIL_JNIMESSAGES_H

#include <cstddef>

namespace fsutil {

// Formats into a fixed buffer; a text that does not fit is cut, never
// overrun, and a multi-byte UTF-8 sequence split by the cut is dropped.
// Variadic on purpose: the format attribute lets the compiler check every call.
void formatMessage(char* buf, std::size_t size, const char* fmt, ...)  // NOLINT(cert-dcl50-cpp)
    __attribute__((format(printf, 3, 4)));

// Formats head, path and tail into buf. Where that does not fit, the path
// loses bytes from its middle (shown as "..."), never the head or the tail,
// which carry the call and the reason; UTF-8 sequences are not split.
void formatPathMessage(char* buf, std::size_t size, const char* head, const char* path, const char* tail);

// "<head> '<path>'. Error='<reason>'" into buf, the path shortened in its middle where it must be.
void formatPathError(char* buf, std::size_t size, const char* head, const char* path, int err);

// Writes one diagnostic to standard output and flushes, so that lines from
// native code and from Java come out in the order they were made.
void printDiagnostic(const char* text);

}  // namespace fsutil

#endif
