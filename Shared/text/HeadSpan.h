// Views into an HTTP head and the line reader both head parsers use. Every read is bounded by
// the given length: heads come straight from the network.
#pragma once
#include <cstddef>
#include <cstdint>

#include "TextHelpers.h"

struct Span {
    const char* data;
    size_t length;
};

// Position of c in s, or s.length when absent.
inline size_t indexOf(Span s, char c) {
    size_t i = 0;
    while (i < s.length && s.data[i] != c)
        ++i;
    return i;
}

inline Span prefix(Span s, size_t n) {
    return Span{s.data, n < s.length ? n : s.length};
}

// The line starting at pos ends at the next CR LF, or at the end of the bytes. Returns the line
// (without CR LF) and moves pos past it.
inline Span nextLine(const char* bytes, size_t length, size_t* pos) {
    const size_t start = *pos;
    const int64_t found = findBytes(bytes + start, length - start, "\r\n", 2);
    if (found < 0) {
        *pos = length;
        return Span{bytes + start, length - start};
    }
    *pos = start + static_cast<size_t>(found) + 2;
    return Span{bytes + start, static_cast<size_t>(found)};
}
