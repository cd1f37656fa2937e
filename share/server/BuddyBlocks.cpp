// Buddy bookkeeping of the transfer buffer pool and the sizing rule of a transfer's buffers.
#include "BuddyBlocks.h"

BuddyBlocks::BuddyBlocks(size_t regionBytes)
    : regionBytes_(regionBytes / kBlockMaxSize * kBlockMaxSize), freeBytes_(regionBytes_) {
    for (unsigned level = 0; level < kLevels; ++level) {
        size_t blocks = regionBytes_ >> (kBlockMinShift + level);
        free_[level].assign((blocks + 63) / 64, 0);
    }
    size_t top = regionBytes_ >> kBlockMaxShift;
    for (size_t i = 0; i < top; ++i)
        setFree(kLevels - 1, i, true);
}

bool BuddyBlocks::isFree(unsigned level, size_t index) const {
    return (free_[level][index / 64] >> (index % 64)) & 1;
}

void BuddyBlocks::setFree(unsigned level, size_t index, bool free) {
    uint64_t bit = uint64_t(1) << (index % 64);
    if (free) {
        free_[level][index / 64] |= bit;
        ++freeCount_[level];
    } else {
        free_[level][index / 64] &= ~bit;
        --freeCount_[level];
    }
}

// Index of a free block of this level, taken out of the free set, or -1.
int64_t BuddyBlocks::findFree(unsigned level) {
    if (freeCount_[level] == 0)
        return -1;
    std::vector<uint64_t>& words = free_[level];
    size_t count = words.size();
    for (size_t n = 0; n < count; ++n) {
        size_t w = (scanHint_[level] + n) % count;
        if (!words[w])
            continue;
        scanHint_[level] = w;
        unsigned bit = 0;
        while (!((words[w] >> bit) & 1))
            ++bit;
        size_t index = w * 64 + bit;
        setFree(level, index, false);
        return static_cast<int64_t>(index);
    }
    return -1;
}

int64_t BuddyBlocks::take(unsigned shift) {
    if (shift < kBlockMinShift || shift > kBlockMaxShift)
        return -1;
    unsigned level = shift - kBlockMinShift;
    int64_t index = findFree(level);
    if (index < 0 && level + 1 < kLevels) {
        // Split a block of the next size: the lower half is given out, the upper stays free.
        int64_t parent = take(shift + 1);
        if (parent < 0)
            return -1;
        freeBytes_ += size_t(1) << (shift + 1);   // take() above counted the whole parent
        index = (parent >> shift);
        setFree(level, static_cast<size_t>(index) + 1, true);
    }
    if (index < 0)
        return -1;
    freeBytes_ -= size_t(1) << shift;
    return index << shift;
}

void BuddyBlocks::give(int64_t offset, unsigned shift) {
    unsigned level = shift - kBlockMinShift;
    size_t index = static_cast<size_t>(offset >> shift);
    freeBytes_ += size_t(1) << shift;
    // Merge with the buddy while it is free too, up to 1 MiB.
    while (level + 1 < kLevels && isFree(level, index ^ 1)) {
        setFree(level, index ^ 1, false);
        index /= 2;
        ++level;
    }
    setFree(level, index, true);
}

unsigned transferBlockShift(int64_t remaining, size_t activeTransfers, size_t slots, size_t budget) {
    unsigned shift = kBlockMinShift;
    while (shift < kBlockMaxShift && (int64_t(1) << shift) < remaining)
        ++shift;
    size_t sharers = (activeTransfers ? activeTransfers : 1) * (slots ? slots : 1);
    size_t share = budget / sharers;
    while (shift > kBlockMinShift && (size_t(1) << shift) > share)
        --shift;
    return shift;
}
