// The "ShareList" multi-string: per shared item its full path and its total bytes sent as
// decimal digits, each string ending in one NUL, one more NUL after the last. Portable so
// that the codec runs under the sanitizers and the fuzzer.
#pragma once
#include <cstddef>
#include <cstdint>

struct ShareListEntry {
    const char16_t* path;
    size_t pathLength;
    int64_t totalSent;   // negative is written as 0
};

constexpr size_t kShareListTotalDigits = 31;

// Code units of the encoded list, every NUL included; 0 for an empty list (the registry
// value is then written with size 0).
size_t shareListLength(const ShareListEntry* entries, size_t count);
// Writes the list; returns the units written, or 0 when capacity is below shareListLength.
size_t encodeShareList(const ShareListEntry* entries, size_t count, char16_t* out,
                       size_t capacity);

// Reads a stored list pair by pair. A list shorter than 3 units or not ending in two NULs is
// malformed and yields nothing.
class ShareListReader {
public:
    ShareListReader(const char16_t* text, size_t length);
    bool valid() const { return valid_; }
    // The next pair. False at the end (an empty path ends the list). hasTotal is false when
    // the total is empty, which ends the list after this path.
    bool next(const char16_t** path, size_t* pathLength, bool* hasTotal, int64_t* total);

private:
    size_t stringAt(size_t start) const;   // units up to the NUL from start

    const char16_t* text_;
    size_t length_;
    size_t pos_ = 0;
    bool valid_;
    bool ended_ = false;
};

// A stored total: optional sign, then digits up to the first other character, saturating;
// negative and unreadable totals give 0.
int64_t parseStoredTotal(const char16_t* text, size_t length);
