// Settings rules without the registry: load limits, login clamps and comparison, and the
// "ShareList" multi-string codec.
#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "HSMainSettingsRules.h"
#include "ShareListCodec.h"

// A literal with embedded NULs, all of it but the implicit terminator.
#define MS(lit) std::u16string(lit, sizeof(lit) / sizeof(char16_t) - 1)

namespace {

std::u16string encode(const std::vector<ShareListEntry>& entries) {
    size_t n = shareListLength(entries.data(), entries.size());
    std::u16string out(n, u'?');
    CHECK(encodeShareList(entries.data(), entries.size(), &out[0], out.size()) == n);
    return out;
}

struct Pair {
    std::u16string path;
    bool hasTotal;
    int64_t total;
    bool operator==(const Pair& o) const {
        return path == o.path && hasTotal == o.hasTotal && total == o.total;
    }
};

std::vector<Pair> decode(const std::u16string& text) {
    ShareListReader reader(text.data(), text.size());
    std::vector<Pair> pairs;
    const char16_t* path;
    size_t length;
    bool hasTotal;
    int64_t total;
    while (reader.next(&path, &length, &hasTotal, &total))
        pairs.push_back({std::u16string(path, length), hasTotal, total});
    return pairs;
}

}  // namespace

TEST_CASE("numeric_values_on_load") {
    struct Case {
        uint32_t stored, index, minimize;
    };
    const Case cases[] = {
        {0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 2}, {7, 7, 2},
        {1000, 1000, 2}, {1001, 0, 2}, {5000, 0, 2}, {0xFFFFFFFF, 0, 2},
    };
    for (const Case& c : cases) {
        CAPTURE(c.stored);
        CHECK(localIPIndexFromStored(c.stored) == c.index);
        CHECK(minimizeFunctionFromStored(c.stored, 2) == c.minimize);
    }
    CHECK(minimizeFunctionFromStored(7, 0) == 0);   // the current value stays, not a constant
    CHECK(sharePortFromStored(80) == 80);
    CHECK(sharePortFromStored(0x10050) == 0x50);
    CHECK(sharePortFromStored(0xFFFFFFFF) == 0xFFFF);
}

TEST_CASE("login_lengths_and_clamps") {
    char big[700];
    memset(big, 'u', sizeof big);
    struct Case {
        const char* bytes;
        size_t size;
        size_t length;
    };
    const Case cases[] = {
        {"ann", 3, 3}, {"ann\0xyz", 7, 3}, {"", 0, 0}, {"\0abc", 4, 0},
        {big, 500, 500}, {big, 501, 500}, {big, sizeof big, 500}, {nullptr, 5, 0},
    };
    for (const Case& c : cases) {
        CHECK(loginLength(c.bytes, c.size) == c.length);
        char out[kLoginCapacity];
        memset(out, 'z', sizeof out);
        CHECK(clampLogin(c.bytes, c.size, out) == c.length);
        CHECK(out[c.length] == 0);
        CHECK(out[kLoginMaxBytes] == 0);
    }
}

TEST_CASE("stored_text_length_stops_at_nul_or_returned_size") {
    const char16_t text[] = u"abc\0def";
    CHECK(textLengthFromStored(text, 16) == 3);
    CHECK(textLengthFromStored(text, 4) == 2);
    CHECK(textLengthFromStored(text, 5) == 2);   // an odd byte is not a whole unit
    CHECK(textLengthFromStored(text, 0) == 0);
}

TEST_CASE("login_comparison") {
    struct Case {
        const char* storedUser;
        const char* storedPassword;
        const char* user;
        const char* password;
        bool accepted;
    };
    const Case cases[] = {
        {"ann", "secret", "ann", "secret", true},
        {"ann", "secret", "Ann", "secret", false},
        {"ann", "secret", "ann", "Secret", false},
        {"ann", "secret", "an", "secret", false},
        {"ann", "secret", "annx", "secret", false},
        {"ann", "secret", "ann", "secret2", false},
        {"ann", "secret", "", "", false},
        {"", "secret", "anyone", "secret", true},
        {"", "secret", "", "secret", true},
        {"", "secret", "anyone", "wrong", false},
        {"ann", "", "ann", "whatever", true},
        {"ann", "", "bob", "", false},
        {"", "", "x", "y", true},
    };
    for (const Case& c : cases) {
        CAPTURE(c.user);
        CAPTURE(c.password);
        CHECK(loginMatches(c.storedUser, strlen(c.storedUser), c.storedPassword,
                           strlen(c.storedPassword), c.user, strlen(c.user), c.password,
                           strlen(c.password)) == c.accepted);
    }
}

TEST_CASE("share_list_encoding") {
    const std::u16string p1 = u"C:\\Music", p2 = u"D:\\a b.txt";
    CHECK(encode({{p1.data(), p1.size(), 0}, {p2.data(), p2.size(), 42}}) ==
          MS(u"C:\\Music\0" u"0\0" u"D:\\a b.txt\0" u"42\0\0"));
    CHECK(encode({{p1.data(), p1.size(), 1234}}) == MS(u"C:\\Music\0" u"1234\0\0"));
    CHECK(encode({{p1.data(), p1.size(), -5}}) == MS(u"C:\\Music\0" u"0\0\0"));
    CHECK(encode({{p1.data(), p1.size(), INT64_MAX}}) ==
          MS(u"C:\\Music\0" u"9223372036854775807\0\0"));
    CHECK(shareListLength(nullptr, 0) == 0);
    // A buffer one unit short is refused, never overrun.
    ShareListEntry e{p1.data(), p1.size(), 42};
    char16_t small[13];
    CHECK(encodeShareList(&e, 1, small, 12) == 0);
}

TEST_CASE("share_list_decoding") {
    struct Case {
        std::u16string text;
        std::vector<Pair> pairs;
    };
    const Case cases[] = {
        {MS(u"C:\\Music\0" u"0\0" u"D:\\a b.txt\0" u"42\0\0"),
         {{u"C:\\Music", true, 0}, {u"D:\\a b.txt", true, 42}}},
        // Malformed lists restore nothing.
        {MS(u"C:\\Music\0" u"42\0"), {}},
        {MS(u"C:\\Music\0" u"42"), {}},
        {MS(u"\0\0"), {}},
        {MS(u"a\0"), {}},
        {std::u16string(), {}},
        // An empty path ends the list; an empty total ends it after its path.
        {MS(u"\0\0\0"), {}},
        {MS(u"C:\\a\0\0" u"C:\\b\0" u"1\0\0"), {{u"C:\\a", false, 0}}},
        {MS(u"C:\\a\0" u"7\0\0" u"C:\\b\0" u"1\0\0"), {{u"C:\\a", true, 7}}},
        // A path without its total still arrives.
        {MS(u"C:\\a\0\0"), {{u"C:\\a", false, 0}}},
        // Totals: negative and unreadable give 0, overflow saturates.
        {MS(u"C:\\a\0-5\0\0"), {{u"C:\\a", true, 0}}},
        {MS(u"C:\\a\0x1\0\0"), {{u"C:\\a", true, 0}}},
        {MS(u"C:\\a\0" u"12x\0\0"), {{u"C:\\a", true, 12}}},
        {MS(u"C:\\a\0" u"99999999999999999999999\0\0"),
         {{u"C:\\a", true, INT64_MAX}}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.text.size());
        CHECK(decode(c.text) == c.pairs);
    }
}

TEST_CASE("share_list_round_trip") {
    const std::u16string paths[] = {u"C:\\", u"C:\\\u65e5\u672c\\\U0001F600.txt", u"E:\\x"};
    std::vector<ShareListEntry> entries;
    for (size_t i = 0; i < 3; ++i)
        entries.push_back({paths[i].data(), paths[i].size(), static_cast<int64_t>(i * 1000003)});
    std::vector<Pair> pairs = decode(encode(entries));
    REQUIRE(pairs.size() == 3);
    for (size_t i = 0; i < 3; ++i)
        CHECK(pairs[i] == Pair{paths[i], true, static_cast<int64_t>(i * 1000003)});
}
