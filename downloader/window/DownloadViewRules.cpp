// The downloader window's arithmetic (see DownloadViewRules.h).
#include "DownloadViewRules.h"

#include <algorithm>

const int kConnectionChoices[kConnectionChoiceCount] = {1, 2, 3, 5, 10, 15, 25, 50};

int connectionChoiceIndex(int count) {
    for (int i = 0; i < kConnectionChoiceCount; ++i) {
        if (kConnectionChoices[i] == count)
            return i;
    }
    return 0;
}

bool progressShades(const ByteRange* ranges, size_t count, int64_t size, int width, uint8_t* shades) {
    if (size <= 0 || width <= 0 || count == 0)
        return false;
    size_t first = 0;  // ranges ending before the current column are never looked at again
    for (int x = 0; x < width; ++x) {
        int64_t spanStart = static_cast<int64_t>(x) * size / width;
        int64_t spanEnd = static_cast<int64_t>(x + 1) * size / width;  // exclusive
        int64_t missing = 0;
        while (first < count && ranges[first].end + 1 <= spanStart)
            ++first;
        for (size_t i = first; i < count && ranges[i].start < spanEnd; ++i) {
            int64_t overlap = std::min(ranges[i].end + 1, spanEnd) - std::max(ranges[i].start, spanStart);
            if (overlap > 0)
                missing += overlap;
        }
        int64_t span = spanEnd - spanStart;
        // A column narrower than a byte (more pixels than bytes) shows the byte it lies in.
        int64_t value = 0;
        if (span > 0) {
            value = missing * 255 / span;
        } else {
            for (size_t i = first; i < count; ++i) {
                if (ranges[i].start <= spanStart && spanStart <= ranges[i].end)
                    value = 255;
            }
        }
        shades[x] = static_cast<uint8_t>(96 + (value < 256 ? value / 2 : 127));
    }
    return true;
}

size_t containingFolder(const char16_t* path, size_t length, char16_t* out, size_t capacity) {
    size_t cut = 0;
    for (size_t i = 1; i < length; ++i) {
        if (path[i] == u'\\' || path[i] == u'/')
            cut = i;
    }
    if (cut == 0) {
        out[0] = u'.';
        out[1] = u'\\';
        out[2] = 0;
        return 2;
    }
    size_t n = std::min(std::min(cut, static_cast<size_t>(259)), capacity - 1);
    std::copy(path, path + n, out);
    out[n] = 0;
    return n;
}

bool TotalRate::tick(int64_t counter, int64_t* rate) {
    if (counter == 0)
        return false;
    int64_t oldest = samples_[0];
    std::copy(samples_ + 1, samples_ + 8, samples_);
    samples_[7] = counter;
    int64_t now = (counter - oldest) / 8;
    if (now == 0 && shown_ == 0)
        return false;
    shown_ = now;
    *rate = now;
    return true;
}

bool PendingCredentials::add(uint32_t entryId) {
    for (size_t i = 0; i < count_; ++i) {
        if (ids_[i] == entryId)
            return false;
    }
    if (count_ == kCapacity)
        return false;
    ids_[count_++] = entryId;
    return true;
}
