// Range normalisation: see HTTPConnectionRanges.h.
#include "HTTPConnectionRanges.h"

#include <algorithm>
#include <vector>

bool normalizeSingleRange(const ByteRange* ranges, size_t count, int64_t size, int64_t* first,
                          int64_t* last) {
    if (size <= 0 || count == 0)
        return false;
    std::vector<ByteRange> usable;
    usable.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        ByteRange r = ranges[i];
        if (r.first < 0) {
            // Suffix "-n": the last n bytes; n = 0 selects nothing.
            if (r.last < 0)
                continue;
            r.first = r.last >= size ? 0 : size - r.last;
            r.last = size - 1;
            if (r.first >= size)
                continue;
        } else {
            if (r.first >= size)
                continue;
            if (r.last < 0 || r.last >= size)
                r.last = size - 1;
            if (r.last < r.first)
                continue;
        }
        usable.push_back(r);
    }
    if (usable.empty())
        return false;
    std::sort(usable.begin(), usable.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    ByteRange merged = usable[0];
    for (size_t i = 1; i < usable.size(); ++i) {
        // Overlapping or touching ranges are one; anything else leaves more than one range.
        if (usable[i].first > merged.last + 1)
            return false;
        merged.last = std::max(merged.last, usable[i].last);
    }
    *first = merged.first;
    *last = merged.last;
    return true;
}
