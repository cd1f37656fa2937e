// The shared transfer pool on real memory: page-aligned blocks sized to the transfer, the
// budget split among transfers, a spent budget that still serves, and every byte coming back.
#include <doctest.h>

#include <windows.h>

#include <string.h>

#include <vector>

#include "TransferBuffers.h"

namespace {
const long long MiB = 1024 * 1024;
}

TEST_CASE("blocks_are_page_aligned_writable_and_sized_to_the_rest") {
    TransferBuffers pool(8 * MiB);
    pool.beginTransfer();
    struct Case {
        long long remaining;
        DWORD size;
    } cases[] = {{1, 4096}, {4097, 8192}, {MiB - 1, DWORD(MiB)}, {3 * MiB, DWORD(MiB)}};
    for (const Case& c : cases) {
        CAPTURE(c.remaining);
        TransferBlock block;
        REQUIRE(pool.take(c.remaining, &block, nullptr));
        CHECK(block.size == c.size);
        CHECK_FALSE(block.own);
        CHECK(reinterpret_cast<uintptr_t>(block.data) % 4096 == 0);
        memset(block.data, 0x5a, block.size);   // committed: faults here otherwise
        CHECK(pool.bytesInUse() == block.size);
        pool.give(&block, nullptr);
        CHECK(block.data == nullptr);
        CHECK(pool.bytesInUse() == 0);
    }
    pool.endTransfer();
    CHECK(pool.activeTransfers() == 0);
}

TEST_CASE("fifty_transfers_get_half_size_blocks_and_stay_in_budget") {
    TransferBuffers pool(64 * MiB);
    for (int i = 0; i < 50; ++i)
        pool.beginTransfer();
    std::vector<TransferBlock> held(100);
    for (TransferBlock& block : held) {
        REQUIRE(pool.take(10 * MiB, &block, nullptr));
        CHECK(block.size == 512 * 1024);
        CHECK_FALSE(block.own);
    }
    CHECK(pool.bytesInUse() <= size_t(64 * MiB));
    for (TransferBlock& block : held)
        pool.give(&block, nullptr);
    for (int i = 0; i < 50; ++i)
        pool.endTransfer();
    CHECK(pool.bytesInUse() == 0);
    // Alone again: full-size blocks, so the budget merged back.
    pool.beginTransfer();
    TransferBlock block;
    REQUIRE(pool.take(10 * MiB, &block, nullptr));
    CHECK(block.size == DWORD(MiB));
    pool.give(&block, nullptr);
    pool.endTransfer();
}

TEST_CASE("a_spent_budget_gives_smaller_blocks_then_blocks_of_its_own") {
    TransferBuffers pool(2 * MiB);
    pool.beginTransfer();
    TransferBlock a, b, c, d;
    REQUIRE(pool.take(10 * MiB, &a, nullptr));
    REQUIRE(pool.take(10 * MiB, &b, nullptr));
    CHECK(a.size == DWORD(MiB));
    CHECK(b.size == DWORD(MiB));
    CHECK(a.data != b.data);
    // Nothing left in the pool: the transfer still gets a page of its own, never a stall.
    REQUIRE(pool.take(10 * MiB, &c, nullptr));
    CHECK(c.own);
    CHECK(c.size == 4096);
    memset(c.data, 1, c.size);
    // One block back: the next take comes from the pool again, at the size that is free.
    pool.give(&b, nullptr);
    REQUIRE(pool.take(10 * MiB, &d, nullptr));
    CHECK_FALSE(d.own);
    CHECK(d.size == DWORD(MiB));
    pool.give(&a, nullptr);
    pool.give(&c, nullptr);
    pool.give(&d, nullptr);
    CHECK(pool.bytesInUse() == 0);
    pool.endTransfer();
}
