// Missing byte ranges of one download and the positions of its connections (see the header).
// Every public operation holds lock_ for its whole run and calls no other public operation.
#include "ByteRangeList.h"

#include <algorithm>

void ByteRangeList::resetToWhole(int64_t size) {
    std::lock_guard<std::mutex> hold(lock_);
    size_ = size;
    ranges_.clear();
    if (size > 0)
        ranges_.push_back({0, size - 1});
}

void ByteRangeList::setSize(int64_t size) {
    std::lock_guard<std::mutex> hold(lock_);
    if (size <= 0) {
        ranges_.clear();
        size_ = 0;
        return;
    }
    if (size < size_) {
        removeBytes(size, size_ - 1);
    } else if (size > size_) {
        if (size_ == 0) {
            ranges_.assign(1, ByteRange{0, size - 1});
        } else if (!ranges_.empty() && ranges_.back().end == size_ - 1) {
            ranges_.back().end = size - 1;
        } else {
            ranges_.push_back({size_, size - 1});
        }
    }
    size_ = size;
}

int64_t ByteRangeList::size() {
    std::lock_guard<std::mutex> hold(lock_);
    return size_;
}

bool ByteRangeList::markDone(int64_t start, int64_t end, int32_t key, int64_t next) {
    std::lock_guard<std::mutex> hold(lock_);
    // Bytes of start..end that were still missing; the write overlapped done bytes when they
    // are fewer than the write's length.
    int64_t wasMissing = 0;
    for (const ByteRange& r : ranges_) {
        const int64_t from = std::max(r.start, start);
        const int64_t to = std::min(r.end, end);
        if (from <= to)
            wasMissing += to - from + 1;
    }
    removeBytes(start, end);
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key)
            positions_[i] = next;
    }
    return end >= start && wasMissing < end - start + 1;
}

ByteRange ByteRangeList::pickRange() {
    std::lock_guard<std::mutex> hold(lock_);
    int64_t bestStart = 0;
    int64_t bestLength = 0;
    std::vector<int64_t> offsets;
    for (const ByteRange& r : ranges_) {
        if (positions_.empty())
            return r;
        offsets.clear();
        for (int64_t p : positions_) {
            if (p >= r.start && p <= r.end)
                offsets.push_back(p - r.start);
        }
        // Nobody works in this range (its connection ended): take it whole, however small.
        if (offsets.empty())
            return r;
        offsets.push_back(r.end - r.start + 1);
        std::sort(offsets.begin(), offsets.end());

        // The part in front of the lowest position, which no connection is moving into.
        int64_t pieceOffset = 0;
        int64_t pieceLength = offsets[0];
        // Between two positions: start one byte past the middle, so the connection behind
        // keeps the first half and the new one takes the second.
        for (size_t k = 0; k + 1 < offsets.size(); ++k) {
            const int64_t v = (offsets[k + 1] - offsets[k]) / 2 + 1;
            if (v > pieceLength) {
                pieceOffset = offsets[k] + v;
                pieceLength = v;
            }
        }
        if (pieceLength > bestLength) {
            bestStart = r.start + pieceOffset;
            bestLength = pieceLength;
        }
    }
    if (bestLength < kMinPickBytes)
        return {0, -1};
    return {bestStart, bestStart + bestLength - 1};
}

bool ByteRangeList::isEmpty() {
    std::lock_guard<std::mutex> hold(lock_);
    return ranges_.empty();
}

int64_t ByteRangeList::missingBytes() {
    std::lock_guard<std::mutex> hold(lock_);
    int64_t total = 0;
    for (const ByteRange& r : ranges_)
        total += r.end - r.start + 1;
    return total;
}

std::vector<ByteRange> ByteRangeList::copyRanges() {
    std::lock_guard<std::mutex> hold(lock_);
    return ranges_;
}

void ByteRangeList::setRanges(const ByteRange* ranges, size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    assignCleaned(ranges, count);
}

void ByteRangeList::replace(int64_t size, const ByteRange* ranges, size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    size_ = size > 0 ? size : 0;
    assignCleaned(ranges, count);
}

int32_t ByteRangeList::registerPosition(int64_t position) {
    std::lock_guard<std::mutex> hold(lock_);
    const int32_t key = nextKey_++;
    keys_.push_back(key);
    positions_.push_back(position);
    return key;
}

void ByteRangeList::unregisterPosition(int32_t key) {
    std::lock_guard<std::mutex> hold(lock_);
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) {
            keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
            positions_.erase(positions_.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void ByteRangeList::assignCleaned(const ByteRange* ranges, size_t count) {
    std::vector<ByteRange> cleaned;
    for (size_t i = 0; i < count; ++i) {
        ByteRange r = ranges[i];
        if (r.start < 0)
            r.start = 0;
        if (size_ > 0 && r.end > size_ - 1)
            r.end = size_ - 1;
        if (r.end >= r.start)
            cleaned.push_back(r);
    }
    std::sort(cleaned.begin(), cleaned.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
    ranges_.clear();
    for (const ByteRange& r : cleaned) {
        // Touching or overlapping ranges become one (start >= 0, so start - 1 cannot overflow).
        if (!ranges_.empty() && r.start - 1 <= ranges_.back().end)
            ranges_.back().end = std::max(ranges_.back().end, r.end);
        else
            ranges_.push_back(r);
    }
}

void ByteRangeList::removeBytes(int64_t start, int64_t end) {
    if (end < start)
        return;
    std::vector<ByteRange> kept;
    kept.reserve(ranges_.size() + 1);
    for (const ByteRange& a : ranges_) {
        if (end < a.start || start > a.end) {
            kept.push_back(a);
            continue;
        }
        if (start > a.start)
            kept.push_back({a.start, start - 1});
        if (end < a.end)
            kept.push_back({end + 1, a.end});
    }
    ranges_.swap(kept);
}
