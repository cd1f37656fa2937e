// The downloader window's arithmetic: the connection box's items, the painted progress strip
// (also narrower files than the strip and sizes past 4 GiB), the containing folder of a local
// path, the tray tip's 8-second rate and the credential requests held while minimised.
#include <doctest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DownloadViewRules.h"

namespace {

std::vector<int> shades(const std::vector<ByteRange>& ranges, int64_t size, int width) {
    std::vector<uint8_t> out(static_cast<size_t>(width), 0);
    if (!progressShades(ranges.data(), ranges.size(), size, width, out.data()))
        return {};
    return std::vector<int>(out.begin(), out.end());
}

std::u16string folderOf(const std::u16string& path) {
    char16_t out[300];
    size_t n = containingFolder(path.data(), path.size(), out, 300);
    CHECK(out[n] == 0);
    return std::u16string(out, n);
}

}  // namespace

TEST_CASE("connection_box_item_of_each_count_and_of_counts_it_does_not_offer") {
    const struct {
        int count, item;
    } cases[] = {{1, 0}, {2, 1}, {3, 2}, {5, 3}, {10, 4}, {15, 5}, {25, 6}, {50, 7}, {4, 0}, {0, 0}, {51, 0}};
    for (const auto& c : cases) {
        CAPTURE(c.count);
        CHECK(connectionChoiceIndex(c.count) == c.item);
    }
}

TEST_CASE("progress_strip_shades_missing_pale_and_downloaded_dark") {
    SUBCASE("everything missing") {
        CHECK(shades({{0, 999}}, 1000, 10) == std::vector<int>(10, 223));
    }
    SUBCASE("first half downloaded, a column half missing") {
        // 1000 bytes over 10 columns of 100: bytes 550.. missing, so column 5 is half missing.
        std::vector<int> expected = {96, 96, 96, 96, 96, 96 + 127 / 2, 223, 223, 223, 223};
        CHECK(shades({{550, 999}}, 1000, 10) == expected);
    }
    SUBCASE("several ranges in one column add up") {
        std::vector<int> s = shades({{0, 24}, {50, 74}}, 100, 1);
        REQUIRE(s.size() == 1);
        CHECK(s[0] == 96 + 127 / 2);
    }
    SUBCASE("nothing missing, no size or no width: a blank strip") {
        CHECK(shades({}, 1000, 10).empty());
        CHECK(shades({{0, 9}}, 0, 10).empty());
        CHECK(shades({{0, 9}}, 10, 0).empty());
    }
}

TEST_CASE("progress_strip_wider_than_the_file_shows_each_byte_without_dividing_by_zero") {
    // 3 bytes over 10 columns: several columns stand for no whole byte.
    std::vector<int> s = shades({{1, 1}}, 3, 10);
    REQUIRE(s.size() == 10);
    for (int x = 0; x < 10; ++x) {
        int64_t byte = static_cast<int64_t>(x) * 3 / 10;
        CAPTURE(x);
        CHECK(s[static_cast<size_t>(x)] == (byte == 1 ? 223 : 96));
    }
}

TEST_CASE("progress_strip_past_4_gib_keeps_64_bit_columns") {
    const int64_t size = int64_t(10) << 40;  // 10 TiB
    std::vector<int> s = shades({{size / 2, size - 1}}, size, 1000);
    REQUIRE(s.size() == 1000);
    CHECK(s[499] == 96);
    CHECK(s[500] == 223);
    CHECK(s[999] == 223);
}

TEST_CASE("containing_folder_cuts_at_the_last_separator_after_other_characters") {
    CHECK(folderOf(u"C:\\Downloads\\file.bin") == u"C:\\Downloads");
    CHECK(folderOf(u"Z:/tmp/dl/a b.bin") == u"Z:/tmp/dl");
    CHECK(folderOf(u"C:\\dir/mixed\\x") == u"C:\\dir/mixed");
    CHECK(folderOf(u"file.bin") == u".\\");
    CHECK(folderOf(u"\\file.bin") == u".\\");  // a leading separator follows nothing
    CHECK(folderOf(u"") == u".\\");
    std::u16string deep = u"C:\\" + std::u16string(300, u'd') + u"\\f";
    CHECK(folderOf(deep).size() == 259);
}

TEST_CASE("tray_rate_is_an_8_second_average_and_stops_after_showing_zero") {
    TotalRate rate;
    int64_t shown = -1;
    CHECK_FALSE(rate.tick(0, &shown));  // nothing received yet
    CHECK(shown == -1);
    REQUIRE(rate.tick(8000, &shown));
    CHECK(shown == 1000);
    // The counter stays: the 8000 bytes stay in the window for eight ticks, then it reads 0.
    for (int i = 1; i < 8; ++i) {
        REQUIRE(rate.tick(8000, &shown));
        CHECK(shown == 1000);
    }
    REQUIRE(rate.tick(8000, &shown));
    CHECK(shown == 0);
    CHECK_FALSE(rate.tick(8000, &shown));
    CHECK_FALSE(rate.tick(8000, &shown));
    // Bytes again: shown again.
    REQUIRE(rate.tick(8800, &shown));
    CHECK(shown == 100);
}

TEST_CASE("pending_credentials_keep_ten_ids_once_each_in_order") {
    PendingCredentials pending;
    CHECK(pending.add(7));
    CHECK_FALSE(pending.add(7));
    for (uint32_t id = 1; id <= 9; ++id)
        CHECK(pending.add(100 + id));
    CHECK(pending.count() == 10);
    CHECK_FALSE(pending.add(500));
    CHECK(pending.at(0) == 7);
    CHECK(pending.at(9) == 109);
    pending.clear();
    CHECK(pending.count() == 0);
    CHECK(pending.add(7));
}
