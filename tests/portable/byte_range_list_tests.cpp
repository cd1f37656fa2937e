// The missing ranges of a download: the work-stealing pick, size changes, the overlap answer of
// a completed write, restoring saved ranges, and a randomized run against a model that keeps
// one flag per byte.
#include <doctest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "ByteRangeList.h"

namespace {

std::vector<ByteRange> rangesOf(ByteRangeList& list) { return list.copyRanges(); }

bool same(const std::vector<ByteRange>& a, const std::vector<ByteRange>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].start != b[i].start || a[i].end != b[i].end)
            return false;
    }
    return true;
}

void checkPick(ByteRangeList& list, int64_t start, int64_t end) {
    const ByteRange r = list.pickRange();
    CHECK(r.start == start);
    CHECK(r.end == end);
}

}  // namespace

TEST_CASE("pick_splits_the_remainder_one_byte_past_its_middle") {
    ByteRangeList list;
    list.resetToWhole(10000000);
    checkPick(list, 0, 9999999);   // nobody works yet: the whole first range
    list.registerPosition(0);
    checkPick(list, 5000001, 10000001);
    list.registerPosition(5000001);
    checkPick(list, 2500001, 5000001);
}

TEST_CASE("pick_takes_pieces_that_nobody_works_in") {
    ByteRangeList list;
    const ByteRange saved[] = {{0, 999999}, {2000000, 2000000}};
    list.replace(3000000, saved, 2);
    list.registerPosition(0);
    // The one-byte range has no connection in it: taken whole, below the floor.
    checkPick(list, 2000000, 2000000);

    SUBCASE("the part in front of the lowest position wins over a smaller gap") {
        ByteRangeList front;
        front.resetToWhole(1000000);
        front.registerPosition(500000);
        checkPick(front, 0, 499999);
    }
}

TEST_CASE("pick_refuses_pieces_below_the_floor") {
    ByteRangeList list;
    list.resetToWhole(200000);
    list.registerPosition(0);
    // Gap 200000 -> candidate 100001 bytes: not worth a connection.
    checkPick(list, 0, -1);

    ByteRangeList floor;
    floor.resetToWhole(2 * (kMinPickBytes - 1));
    floor.registerPosition(0);
    checkPick(floor, kMinPickBytes, 2 * kMinPickBytes - 1);   // exactly the floor is enough

    ByteRangeList done;
    done.resetToWhole(0);
    checkPick(done, 0, -1);
}

TEST_CASE("pick_ties_go_to_the_earlier_range") {
    ByteRangeList list;
    const ByteRange saved[] = {{0, 999999}, {2000000, 2999999}};
    list.replace(3000000, saved, 2);
    list.registerPosition(0);
    list.registerPosition(2000000);
    checkPick(list, 500001, 1000001);
    // Once the first connection moved on, the second range has the larger gap.
    list.markDone(0, 399999, 1, 400000);
    checkPick(list, 2500001, 3000001);

    SUBCASE("and to the earlier gap inside one range") {
        ByteRangeList gaps;
        gaps.resetToWhole(1000000);
        gaps.registerPosition(250000);
        gaps.registerPosition(500000);
        // Front piece 250000 bytes, then gaps of 250000 and 500000 bytes: the second wins.
        checkPick(gaps, 750001, 1000001);
        gaps.registerPosition(750001);
        // Gaps 250000, 250001, 249999 give 125001, 125001, 125000: below the floor; the front
        // piece of 250000 bytes is the best.
        checkPick(gaps, 0, 249999);
        ByteRangeList even;
        even.resetToWhole(1000000);
        even.registerPosition(0);
        even.registerPosition(500000);
        checkPick(even, 250001, 500001);
    }
}

TEST_CASE("pick_and_ranges_past_four_gibibytes") {
    const int64_t size = (int64_t{5} << 32) + 7;
    ByteRangeList list;
    list.resetToWhole(size);
    const int32_t key = list.registerPosition(0);
    checkPick(list, size / 2 + 1, size / 2 + 1 + size / 2);   // size is odd: half of size - 0
    CHECK_FALSE(list.markDone(0, (int64_t{1} << 32), key, (int64_t{1} << 32) + 1));
    CHECK(list.missingBytes() == size - (int64_t{1} << 32) - 1);
}

TEST_CASE("set_size_keeps_what_is_missing") {
    const ByteRange two[] = {{0, 99}, {500, 899}};
    ByteRangeList list;

    SUBCASE("zero clears") {
        list.replace(1000, two, 2);
        list.setSize(0);
        CHECK(list.isEmpty());
        CHECK(list.size() == 0);
    }
    SUBCASE("smaller cuts the ranges") {
        list.replace(1000, two, 2);
        list.setSize(600);
        CHECK(same(rangesOf(list), {{0, 99}, {500, 599}}));
        list.setSize(50);
        CHECK(same(rangesOf(list), {{0, 49}}));
    }
    SUBCASE("equal changes nothing") {
        list.replace(1000, two, 2);
        list.setSize(1000);
        CHECK(same(rangesOf(list), {{0, 99}, {500, 899}}));
    }
    SUBCASE("larger appends the new tail") {
        list.replace(1000, two, 2);
        list.setSize(1500);
        CHECK(same(rangesOf(list), {{0, 99}, {500, 899}, {1000, 1499}}));
        CHECK(list.size() == 1500);
    }
    SUBCASE("larger extends a range that reached the old end") {
        const ByteRange tail[] = {{0, 99}, {500, 999}};
        list.replace(1000, tail, 2);
        list.setSize(1500);
        CHECK(same(rangesOf(list), {{0, 99}, {500, 1499}}));
    }
    SUBCASE("larger keeps a written last byte written") {
        const ByteRange nearEnd[] = {{500, 998}};
        list.replace(1000, nearEnd, 1);
        list.setSize(1200);
        CHECK(same(rangesOf(list), {{500, 998}, {1000, 1199}}));
    }
    SUBCASE("larger with nothing missing adds only the tail") {
        list.replace(1000, nullptr, 0);
        list.setSize(1200);
        CHECK(same(rangesOf(list), {{1000, 1199}}));
    }
    SUBCASE("from no size: the whole file") {
        list.setSize(300);
        CHECK(same(rangesOf(list), {{0, 299}}));
        CHECK(list.missingBytes() == 300);
    }
}

TEST_CASE("mark_done_answers_whether_the_write_overlapped_written_bytes") {
    ByteRangeList list;
    list.resetToWhole(1000);
    const int32_t key = list.registerPosition(0);
    CHECK_FALSE(list.markDone(100, 199, key, 200));   // inside: splits the range
    CHECK(same(rangesOf(list), {{0, 99}, {200, 999}}));
    CHECK(list.markDone(150, 249, key, 250));          // half of it was already written
    CHECK(same(rangesOf(list), {{0, 99}, {250, 999}}));
    CHECK(list.markDone(120, 130, key, 131));          // all of it was written
    CHECK(list.markDone(249, 250, key, 251));          // one byte of two was written
    CHECK(same(rangesOf(list), {{0, 99}, {251, 999}}));
    CHECK_FALSE(list.markDone(0, 99, key, 100));       // exactly a whole range
    CHECK(same(rangesOf(list), {{251, 999}}));
    CHECK(list.markDone(900, 1099, key, 1100));        // past the end counts as not missing
    CHECK(same(rangesOf(list), {{251, 899}}));

    SUBCASE("the position moves to next and an unregistered one stops counting") {
        ByteRangeList moving;
        moving.resetToWhole(1000000);
        const int32_t first = moving.registerPosition(0);
        moving.markDone(0, 199999, first, 200000);
        checkPick(moving, 600001, 1000001);   // gap 200000..1000000 from the moved position
        moving.unregisterPosition(first);
        checkPick(moving, 200000, 999999);   // nobody in the range: whole
    }
}

TEST_CASE("restored_ranges_are_cleaned") {
    ByteRangeList list;
    const ByteRange damaged[] = {{700, 2000}, {5, 2}, {0, 10}, {8, 20}, {21, 30}, {-4, -1}, {5000, 6000}};
    list.replace(1000, damaged, sizeof damaged / sizeof *damaged);
    CHECK(same(rangesOf(list), {{0, 30}, {700, 999}}));
    CHECK(list.size() == 1000);
    list.setRanges(damaged, 2);
    CHECK(same(rangesOf(list), {{700, 999}}));
    CHECK(list.size() == 1000);
}

TEST_CASE("random_operations_match_a_model_of_missing_bytes") {
    std::mt19937_64 random(20261207);
    for (int round = 0; round < 8; ++round) {
        int64_t size = 1 + static_cast<int64_t>(random() % 300000);
        std::vector<char> missing(static_cast<size_t>(size), 1);
        ByteRangeList list;
        list.resetToWhole(size);
        struct Connection { int32_t key; int64_t position; };
        std::vector<Connection> connections;

        for (int step = 0; step < 100; ++step) {
            const unsigned action = static_cast<unsigned>(random() % 10);
            if (action < 3) {
                const ByteRange r = list.pickRange();
                if (r.end >= r.start) {
                    REQUIRE(r.start < size);
                    CHECK(missing[static_cast<size_t>(r.start)] == 1);
                    connections.push_back({list.registerPosition(r.start), r.start});
                }
            } else if (action < 8 && !connections.empty()) {
                Connection& c = connections[random() % connections.size()];
                const int64_t length = 1 + static_cast<int64_t>(random() % 60000);
                const int64_t end = c.position + length - 1;
                bool overlapped = false;
                for (int64_t b = c.position; b <= end; ++b) {
                    if (b >= size || !missing[static_cast<size_t>(b)])
                        overlapped = true;
                    else
                        missing[static_cast<size_t>(b)] = 0;
                }
                CHECK(list.markDone(c.position, end, c.key, end + 1) == overlapped);
                c.position = end + 1;
            } else if (action == 8 && !connections.empty()) {
                const size_t i = random() % connections.size();
                list.unregisterPosition(connections[i].key);
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
            } else if (action == 9) {
                const int64_t newSize = 1 + static_cast<int64_t>(random() % 300000);
                list.setSize(newSize);
                missing.resize(static_cast<size_t>(newSize), 1);
                size = newSize;
            }

            const std::vector<ByteRange> ranges = list.copyRanges();
            std::vector<ByteRange> expected;
            for (int64_t b = 0; b < size; ++b) {
                if (!missing[static_cast<size_t>(b)])
                    continue;
                if (!expected.empty() && expected.back().end == b - 1)
                    expected.back().end = b;
                else
                    expected.push_back({b, b});
            }
            for (size_t i = 0; i < ranges.size(); ++i) {
                REQUIRE(ranges[i].start <= ranges[i].end);
                if (i > 0)
                    REQUIRE(ranges[i - 1].end + 1 < ranges[i].start);
            }
            REQUIRE(same(ranges, expected));
            int64_t count = 0;
            for (const ByteRange& r : expected)
                count += r.end - r.start + 1;
            REQUIRE(list.missingBytes() == count);
            REQUIRE(list.isEmpty() == expected.empty());
        }
    }
}
