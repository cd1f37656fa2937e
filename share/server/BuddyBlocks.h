// Bookkeeping of the transfer buffer pool: power-of-two blocks from 4 KiB to 1 MiB carved out
// of one region (offsets only, no memory touched), and the size a transfer's next buffer gets
// from what is left of it and how many transfers share the budget. The Win32 side
// (TransferBuffers) maps the offsets onto its reserved region.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <vector>

constexpr unsigned kBlockMinShift = 12;   // 4 KiB: a page, and a whole number of disk sectors
constexpr unsigned kBlockMaxShift = 20;   // 1 MiB: larger operations gain nothing measurable
constexpr size_t kBlockMinSize = size_t(1) << kBlockMinShift;
constexpr size_t kBlockMaxSize = size_t(1) << kBlockMaxShift;

class BuddyBlocks {
public:
    // regionBytes is rounded down to whole 1 MiB blocks.
    explicit BuddyBlocks(size_t regionBytes);

    // Offset of a free block of 1 << shift bytes (kBlockMinShift..kBlockMaxShift), or -1.
    int64_t take(unsigned shift);
    // Returns a block that take(shift) gave out; neighbours merge back into larger blocks.
    void give(int64_t offset, unsigned shift);
    size_t freeBytes() const { return freeBytes_; }
    size_t regionBytes() const { return regionBytes_; }

private:
    static constexpr unsigned kLevels = kBlockMaxShift - kBlockMinShift + 1;
    bool isFree(unsigned level, size_t index) const;
    void setFree(unsigned level, size_t index, bool free);
    int64_t findFree(unsigned level);

    size_t regionBytes_;
    size_t freeBytes_;
    std::vector<uint64_t> free_[kLevels];   // one bit per block of each size
    size_t freeCount_[kLevels] = {};
    size_t scanHint_[kLevels] = {};         // word where the last free block was found
};

// Shift of the smallest block that holds `remaining` bytes (at least one 4 KiB block, at most
// 1 MiB), lowered until `slots` buffers of every one of `activeTransfers` fit in `budget`.
unsigned transferBlockShift(int64_t remaining, size_t activeTransfers, size_t slots, size_t budget);
