// The byte ranges a download still misses, with the positions of its running connections, and
// the work-stealing rule that gives a new connection the best piece of what is missing. Shared
// between the GUI thread and the transfer connections' worker threads: every operation takes
// the list's own lock. Portable: no <windows.h>.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// Both ends inclusive; empty when end < start.
struct ByteRange {
    int64_t start;
    int64_t end;
};

// A piece smaller than this is not worth a new connection (unless nobody works in its range).
constexpr int64_t kMinPickBytes = 131072;

class ByteRangeList {
public:
    // A download without range support: size, and everything 0 .. size-1 missing.
    void resetToWhole(int64_t size);
    // A resumable download learnt its size: keeps what is missing. A larger size adds the new
    // tail, a smaller one cuts the ranges, 0 clears them.
    void setSize(int64_t size);
    int64_t size();

    // A write of start..end completed: removes those bytes and moves key's position to next.
    // True when some of those bytes had already been written (the connection should end).
    bool markDone(int64_t start, int64_t end, int32_t key, int64_t next);
    // The range a new connection should fetch, or {0, -1} when nothing is worth starting.
    ByteRange pickRange();

    bool isEmpty();
    int64_t missingBytes();
    std::vector<ByteRange> copyRanges();

    // Restore. The given ranges are cleaned first: empty ones dropped, cut to the size (when
    // there is one), sorted, overlapping and touching ones merged, so a damaged saved list can
    // never make a connection ask for bytes outside the file.
    void setRanges(const ByteRange* ranges, size_t count);                // keeps the size
    void replace(int64_t size, const ByteRange* ranges, size_t count);   // size and ranges together

    // A running connection's next byte to be confirmed written. Keys start at 1.
    int32_t registerPosition(int64_t position);
    void unregisterPosition(int32_t key);

private:
    void assignCleaned(const ByteRange* ranges, size_t count);
    void removeBytes(int64_t start, int64_t end);

    std::mutex lock_;
    int64_t size_ = 0;
    int32_t nextKey_ = 1;
    std::vector<int32_t> keys_;           // registered connections, parallel to positions_
    std::vector<int64_t> positions_;
    std::vector<ByteRange> ranges_;       // ascending, disjoint, none empty
};
