// The arithmetic of the downloader's window, kept apart from it so that it runs natively under
// the sanitizers: the connection box's choices, the painted progress strip, the folder that
// holds a file, the tray tip's 8-second total rate and the credential requests held while the
// window is minimised. Portable: no <windows.h>.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ByteRangeList.h"

// The connection box's items, in order, and the item of a wanted count (any other count: 0).
constexpr int kConnectionChoiceCount = 8;
extern const int kConnectionChoices[kConnectionChoiceCount];
int connectionChoiceIndex(int count);

// One blue level per pixel column of a strip `width` pixels wide standing for `size` bytes:
// 96 where everything is downloaded up to 223 where everything is missing. False (nothing
// written) when there is no size, no width or no missing range: the strip is then blank.
bool progressShades(const ByteRange* ranges, size_t count, int64_t size, int width, uint8_t* shades);

// The folder of a local path: up to its last "\" or "/" that follows other characters (at
// most 259 characters), else ".\". Writes a terminated text into out (capacity >= 3) and
// answers its length.
size_t containingFolder(const char16_t* path, size_t length, char16_t* out, size_t capacity);

// The total rate over the last eight one-second samples of the program's received-bytes counter.
class TotalRate {
public:
    // One timer tick with the counter's value. True when the rate should be shown (in *rate):
    // not before the first byte, and not again while it stays 0 after 0 was shown.
    bool tick(int64_t counter, int64_t* rate);

private:
    int64_t samples_[8] = {};
    int64_t shown_ = 0;
};

// Entry ids waiting for the credentials dialog until the window is restored: at most ten,
// each once, in arrival order.
class PendingCredentials {
public:
    static const size_t kCapacity = 10;
    bool add(uint32_t entryId);
    size_t count() const { return count_; }
    uint32_t at(size_t index) const { return ids_[index]; }
    void clear() { count_ = 0; }

private:
    uint32_t ids_[kCapacity] = {};
    size_t count_ = 0;
};
