// The transfer pool's bookkeeping: blocks never overlap, split and merge back so that the
// whole budget is usable again after any mix of sizes, and the sizing rule keeps every
// transfer's buffers inside the budget while a lone transfer gets the largest ones.
#include <doctest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "BuddyBlocks.h"

namespace {

const size_t MiB = 1024 * 1024;

struct Held {
    int64_t offset;
    unsigned shift;
};

bool overlaps(const std::vector<Held>& held) {
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const Held& h : held)
        spans.push_back({h.offset, h.offset + (int64_t(1) << h.shift)});
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second)
            return true;
    return false;
}

bool hasFreeStretch(const std::vector<Held>& held, size_t region, unsigned shift) {
    std::vector<bool> used(region / kBlockMinSize);
    for (const Held& h : held)
        for (size_t page = 0; page < (size_t(1) << (h.shift - kBlockMinShift)); ++page)
            used[static_cast<size_t>(h.offset) / kBlockMinSize + page] = true;
    size_t pages = size_t(1) << (shift - kBlockMinShift);
    for (size_t start = 0; start < used.size(); start += pages) {
        bool free = true;
        for (size_t page = start; page < start + pages && free; ++page)
            free = !used[page];
        if (free)
            return true;
    }
    return false;
}

size_t countTakes(BuddyBlocks& blocks, unsigned shift) {
    size_t n = 0;
    while (blocks.take(shift) >= 0)
        ++n;
    return n;
}

}  // namespace

TEST_CASE("blocks_fill_the_region_without_overlap_and_merge_back_whole") {
    BuddyBlocks blocks(4 * MiB);
    std::vector<Held> held;
    for (;;) {
        int64_t offset = blocks.take(kBlockMinShift);
        if (offset < 0)
            break;
        CHECK(offset % int64_t(kBlockMinSize) == 0);
        CHECK(offset + int64_t(kBlockMinSize) <= int64_t(4 * MiB));
        held.push_back({offset, kBlockMinShift});
    }
    CHECK(held.size() == 4 * MiB / kBlockMinSize);
    CHECK_FALSE(overlaps(held));
    CHECK(blocks.freeBytes() == 0);
    CHECK(blocks.take(kBlockMaxShift) < 0);

    std::mt19937 rng(7);
    std::shuffle(held.begin(), held.end(), rng);
    for (const Held& h : held)
        blocks.give(h.offset, h.shift);
    CHECK(blocks.freeBytes() == 4 * MiB);
    // Only if every 4 KiB block merged with its buddy up to 1 MiB are four 1 MiB blocks free.
    CHECK(countTakes(blocks, kBlockMaxShift) == 4);
}

TEST_CASE("random_mixed_sizes_never_overlap_and_account_every_byte") {
    BuddyBlocks blocks(8 * MiB);
    std::vector<Held> held;
    std::mt19937 rng(11);
    size_t inUse = 0;
    for (int step = 0; step < 20000; ++step) {
        bool takeOne = held.empty() || rng() % 3 != 0;
        if (takeOne) {
            unsigned shift = kBlockMinShift + rng() % (kBlockMaxShift - kBlockMinShift + 1);
            int64_t offset = blocks.take(shift);
            if (offset >= 0) {
                CHECK(offset % (int64_t(1) << shift) == 0);   // aligned to its own size
                held.push_back({offset, shift});
                inUse += size_t(1) << shift;
            } else {
                // Refused only when every aligned stretch of that size has something in use.
                CHECK_FALSE(hasFreeStretch(held, 8 * MiB, shift));
            }
        } else {
            size_t i = rng() % held.size();
            blocks.give(held[i].offset, held[i].shift);
            inUse -= size_t(1) << held[i].shift;
            held.erase(held.begin() + static_cast<long>(i));
        }
        REQUIRE(blocks.freeBytes() + inUse == 8 * MiB);
        if (step % 500 == 0)
            REQUIRE_FALSE(overlaps(held));
    }
    for (const Held& h : held)
        blocks.give(h.offset, h.shift);
    CHECK(countTakes(blocks, kBlockMaxShift) == 8);
}

TEST_CASE("a_region_smaller_than_one_large_block_holds_nothing") {
    BuddyBlocks blocks(MiB - 1);
    CHECK(blocks.regionBytes() == 0);
    CHECK(blocks.take(kBlockMinShift) < 0);
}

TEST_CASE("block_size_follows_what_is_left_of_the_transfer") {
    const size_t budget = 64 * MiB;
    struct Case {
        int64_t remaining;
        unsigned shift;
    } cases[] = {
        {0, 12}, {1, 12}, {4095, 12}, {4096, 12}, {4097, 13}, {8192, 13}, {8193, 14},
        {65536, 16}, {65537, 17}, {int64_t(MiB) - 1, 20}, {int64_t(MiB), 20}, {int64_t(MiB) + 1, 20},
        {int64_t(5) << 30, 20},
    };
    for (const Case& c : cases) {
        CAPTURE(c.remaining);
        CHECK(transferBlockShift(c.remaining, 1, 2, budget) == c.shift);
    }
}

TEST_CASE("many_transfers_share_the_budget_and_never_go_below_one_page") {
    const size_t budget = 64 * MiB;
    const int64_t big = int64_t(10) * MiB;
    CHECK(transferBlockShift(big, 32, 2, budget) == 20);
    CHECK(transferBlockShift(big, 33, 2, budget) == 19);
    CHECK(transferBlockShift(big, 50, 2, budget) == 19);
    CHECK(transferBlockShift(big, 50, 3, budget) == 18);
    CHECK(transferBlockShift(big, 100000, 2, budget) == kBlockMinShift);
    // A small remainder keeps its small block however few transfers run.
    CHECK(transferBlockShift(5000, 50, 2, budget) == 13);
    for (size_t active = 1; active <= 8192; active = active * 3 + 1) {
        CAPTURE(active);
        unsigned shift = transferBlockShift(big, active, 2, budget);
        CHECK(active * 2 * (size_t(1) << shift) <= budget);
    }
}
