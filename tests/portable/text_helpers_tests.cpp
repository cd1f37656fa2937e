// Formatting, parsing, matching and escaping helpers: exact output bytes for each rule and its
// boundaries, in both the 8-bit and the UTF-16 forms where both exist.
#include <doctest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "TextHelpers.h"

namespace {

// UTF-16 test texts are ASCII or spelled with \u escapes, so a narrowing view is enough to
// compare and print them.
std::string narrow(const char16_t* s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s[i] < 0x80 ? static_cast<char>(s[i]) : '?';
    return out;
}

std::u16string widen(const char* s) {
    std::u16string out;
    while (*s) out += static_cast<char16_t>(static_cast<unsigned char>(*s++));
    return out;
}

// Checks the 8-bit and the UTF-16 variant of a formatter give the same expected text.
template <typename F8, typename F16>
void checkBoth(F8 f8, F16 f16, const char* expected, size_t capacity = 64) {
    char out8[256];
    char16_t out16[256];
    std::memset(out8, 'x', sizeof out8);
    size_t n8 = f8(out8, capacity);
    size_t n16 = f16(out16, capacity);
    CHECK(std::string(out8) == expected);
    CHECK(n8 == std::strlen(expected));
    CHECK(narrow(out16, n16) == expected);
    CHECK(out16[n16] == 0);
    // Nothing is written past the capacity.
    if (capacity < sizeof out8) CHECK(out8[capacity] == 'x');
}

}  // namespace

TEST_CASE("formatSize_units_and_rounding_at_each_boundary") {
    const struct {
        int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 bytes"},
        {-5, "0 bytes"},
        {INT64_MIN, "0 bytes"},
        {1023, "1023 bytes"},
        {1024, "1.0 kb"},
        {1536, "1.5 kb"},
        {1075, "1.0 kb"},  // 1.0498 rounds down
        {1076, "1.1 kb"},  // 1.0508 rounds up
        {10239, "10.0 kb"},
        {10240, "10 kb"},
        {10751, "10 kb"},
        {10752, "11 kb"},  // half up
        {1048575, "1024 kb"},
        {1048576, "1.0 MB"},
        {5000000, "4.8 MB"},
        {10485759, "10.0 MB"},
        {10485760, "10 MB"},
        {1073741823, "1024 MB"},
        {1073741824, "1.0 GB"},
        {10737418239, "10.0 GB"},
        {10737418240, "10 GB"},
        {INT64_MAX, "8589934592 GB"},  // no overflow in the rounding sum
    };
    for (const auto& c : cases) {
        CAPTURE(c.bytes);
        checkBoth([&](char* o, size_t cap) { return formatSize(c.bytes, o, cap); },
                  [&](char16_t* o, size_t cap) { return formatSize(c.bytes, o, cap); }, c.text);
    }
}

TEST_CASE("decimal_formatters_write_digits_in_order_and_cut_to_capacity") {
    const struct {
        int64_t value;
        size_t capacity;
        const char* decimal;
        const char* tenths;
    } cases[] = {
        {0, 64, "0", ".0"},
        {5, 64, "5", ".5"},
        {123, 64, "123", "12.3"},
        {1000000, 64, "1000000", "100000.0"},
        {INT64_MAX, 64, "9223372036854775807", "922337203685477580.7"},
        {-42, 64, "0", ".0"},
        {123456, 4, "123", "123"},  // cut: leading digits kept, point needs room too
        {123, 3, "12", "12"},
        {7, 1, "", ""},
    };
    for (const auto& c : cases) {
        CAPTURE(c.value);
        CAPTURE(c.capacity);
        checkBoth([&](char* o, size_t cap) { return formatDecimal(c.value, o, cap); },
                  [&](char16_t* o, size_t cap) { return formatDecimal(c.value, o, cap); }, c.decimal, c.capacity);
        checkBoth([&](char* o, size_t cap) { return formatDecimalTenths(c.value, o, cap); },
                  [&](char16_t* o, size_t cap) { return formatDecimalTenths(c.value, o, cap); }, c.tenths,
                  c.capacity);
    }
    char untouched = 'x';
    CHECK(formatDecimal(12, &untouched, 0) == 0);
    CHECK(untouched == 'x');
}

TEST_CASE("formatRange_formatContentRange_formatSizePair") {
    checkBoth([](char* o, size_t cap) { return formatRange(0, 99, o, cap); },
              [](char16_t* o, size_t cap) { return formatRange(0, 99, o, cap); }, "0-99");
    checkBoth([](char* o, size_t cap) { return formatRange(INT64_MAX - 1, INT64_MAX, o, cap); },
              [](char16_t* o, size_t cap) { return formatRange(INT64_MAX - 1, INT64_MAX, o, cap); },
              "9223372036854775806-9223372036854775807");
    checkBoth([](char* o, size_t cap) { return formatSizePair(1536, -1, o, cap); },
              [](char16_t* o, size_t cap) { return formatSizePair(1536, -1, o, cap); }, "1.5 kb / 0 bytes");
    checkBoth([](char* o, size_t cap) { return formatSizePair(INT64_MAX, INT64_MAX, o, cap); },
              [](char16_t* o, size_t cap) { return formatSizePair(INT64_MAX, INT64_MAX, o, cap); },
              "8589934592 GB / 8589934592 GB");

    char out[kContentRangeCapacity];
    formatContentRange(0, 0, 1, out, sizeof out);
    CHECK(std::string(out) == "0-0/1");
    // Three maximal values need 59 characters: exactly the capacity with the terminator.
    CHECK(formatContentRange(INT64_MAX, INT64_MAX, INT64_MAX, out, sizeof out) == 59);
    CHECK(std::string(out) == "9223372036854775807-9223372036854775807/9223372036854775807");
    char small[10];
    formatContentRange(100, 199, 1000, small, sizeof small);
    CHECK(std::string(small) == "100-199/1");
}

TEST_CASE("formatDuration_picks_the_two_largest_units") {
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, ""},         {-10, ""},          {1, "1s"},        {59, "59s"},        {60, "1m "},
        {90, "1m 30s"},  {3599, "59m 59s"},  {3600, "1h "},    {3660, "1h 1m"},    {3661, "1h 1m"},
        {86399, "23h 59m"}, {86400, "1d "},  {90000, "1d 1h"}, {86400 + 59, "1d "},
        {INT64_MAX, "106751991167300d 15h"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.seconds);
        char16_t out[kDurationCapacity];
        size_t n = formatDuration(c.seconds, out, kDurationCapacity);
        CHECK(narrow(out, n) == c.text);
    }
}

TEST_CASE("formatAddress_reads_octets_low_byte_first") {
    char16_t out[kAddressCapacity];
    size_t n = formatAddress(0x0100007F, 8080, out, kAddressCapacity);  // 127.0.0.1 in network order
    CHECK(narrow(out, n) == "127.0.0.1:8080");
    n = formatAddress(0xFFFFFFFF, 65535, out, kAddressCapacity);
    CHECK(narrow(out, n) == "255.255.255.255:65535");
    n = formatAddress(0x0200A8C0, 0, out, kAddressCapacity);
    CHECK(narrow(out, n) == "192.168.0.2:0");
}

TEST_CASE("parseDecimal_accepts_only_digits_and_rejects_overflow") {
    const struct {
        const char* text;
        int64_t value;
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"007", 7},
        {"12a", -1},
        {" 1", -1},
        {"1 ", -1},
        {"-1", -1},
        {"+1", -1},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", -1},
        {"18446744073709551616", -1},  // would wrap to 0 in 64 bits
        {"99999999999999999999999", -1},
        {"00000000000000000000000000001", 1},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CHECK(parseDecimal(c.text, std::strlen(c.text)) == c.value);
        std::u16string wide = widen(c.text);
        CHECK(parseDecimal(wide.data(), wide.size()) == c.value);
    }
    // Only the given length is read.
    CHECK(parseDecimal("12x", 2) == 12);
}

TEST_CASE("ascii_matching_folds_only_A_to_Z") {
    CHECK(equalsKeyword("range", "Range", 5));
    CHECK_FALSE(equalsKeyword("range", "ranges", 6));
    CHECK_FALSE(equalsKeyword("range", "Range", 4));
    CHECK_FALSE(equalsKeyword("range", "rang", 4));
    CHECK(equalsKeyword("", "", 0));
    CHECK_FALSE(equalsKeyword("a", "\xC1", 1));  // Latin-1 letters are not folded
    CHECK(equalsKeyword("content-type", "CONTENT-TYPE", 12));
    CHECK_FALSE(equalsKeyword("a_b", "A\x7F" "B", 3));  // '_' (0x5F) is not a folded '\x7F'
    CHECK(equalsNoCase("HTTP/1.1 200", "http/1.1 200", 12));
    CHECK_FALSE(equalsNoCase("@[`{", "`{@[", 4));  // neighbours of the letter ranges stay apart
}

TEST_CASE("equalsNoCaseLocale_folds_letters_of_common_scripts") {
    const struct {
        const char16_t* a;
        const char16_t* b;
        bool equal;
    } cases[] = {
        {u"Report.PDF", u"report.pdf", true},
        {u"\u00C9t\u00E9.txt", u"\u00E9T\u00C9.TXT", true},   // Latin-1
        {u"\u0160\u0107", u"\u0161\u0106", true},             // Latin Extended-A
        {u"\u0416\u0401", u"\u0436\u0451", true},             // Cyrillic
        {u"\u0391\u03A9", u"\u03B1\u03C9", true},             // Greek
        {u"\uFF21", u"\uFF41", true},                         // fullwidth
        {u"e", u"\u00E9", false},                             // accents matter
        {u"a.txt", u"a.tx", false},
        {u"\u00D7", u"\u00F7", false},                        // multiply/divide are not a pair
        {u"", u"", true},
    };
    for (const auto& c : cases) {
        CHECK(equalsNoCaseLocale(c.a, c.b) == c.equal);
    }
}

TEST_CASE("findBytes_skipSpaces_boundedLength_stay_within_length") {
    CHECK(findBytes("abc\r\n\r\n", 7, "\r\n\r\n", 4) == 3);
    CHECK(findBytes("abc\r\n\r", 6, "\r\n\r\n", 4) == -1);
    CHECK(findBytes("ab", 2, "abc", 3) == -1);
    CHECK(findBytes("aXbx", 4, "x", 1) == 3);  // case-sensitive
    CHECK(findBytes("", 0, "", 0) == 0);
    CHECK(skipSpaces("a   b", 5, 1) == 3);
    CHECK(skipSpaces("a \t", 3, 1) == 1);  // a tab is not skipped
    CHECK(skipSpaces("   ", 3, 0) == 3);
    CHECK(skipSpaces("ab", 2, 5) == 0);
    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    CHECK(boundedLength(unterminated, 3) == 3);
    CHECK(boundedLength(u"ab", 10) == 2);
}

TEST_CASE("bounded_copies_cut_and_always_terminate") {
    char buf[6];
    CHECK(copyBounded(buf, sizeof buf, "abcdefgh") == 5);
    CHECK(std::string(buf) == "abcde");
    CHECK(copyBounded(buf, sizeof buf, nullptr) == 0);
    CHECK(buf[0] == 0);
    CHECK(appendBounded(buf, sizeof buf, "abc") == 3);
    CHECK(appendBounded(buf, sizeof buf, "def") == 5);
    CHECK(std::string(buf) == "abcde");
    CHECK(appendBounded(buf, sizeof buf, "x") == 5);

    char16_t wide[4] = {};
    CHECK(appendChar(wide, 4, u'a'));
    CHECK(appendChar(wide, 4, u'b'));
    CHECK(appendChar(wide, 4, u'c'));
    CHECK_FALSE(appendChar(wide, 4, u'd'));
    CHECK(narrow(wide, 3) == "abc");
    CHECK(wide[3] == 0);
    CHECK(copyBounded(wide, 4, u"wxyz") == 3);
    CHECK(appendBounded(wide, 4, u"q") == 3);
    CHECK(narrow(wide, 3) == "wxy");
}

TEST_CASE("formatHttpDate_fields_and_fallbacks") {
    const struct {
        CalendarTime time;
        const char* text;
    } cases[] = {
        {{1994, 11, 0, 6, 8, 49, 37}, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {{2024, 2, 4, 29, 23, 59, 59}, "Thu, 29 Feb 2024 23:59:59 GMT"},
        {{1601, 1, 1, 1, 0, 0, 0}, "Mon, 01 Jan 1601 00:00:00 GMT"},
        {{9999, 12, 5, 31, 0, 0, 0}, "Fri, 31 Dec 9999 00:00:00 GMT"},
        {{1600, 13, 7, 32, 24, 60, 60}, "Sun, 00 Jan 9999 00:00:00 GMT"},
        {{10000, 0, -1, 0, -1, -1, -1}, "Sun, 00 Jan 9999 00:00:00 GMT"},
    };
    for (const auto& c : cases) {
        char out[kHttpDateCapacity];
        CHECK(formatHttpDate(c.time, out, sizeof out) == 29);
        CHECK(std::string(out) == c.text);
    }
}

TEST_CASE("calendarFromUnixTime_and_currentHttpDate") {
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
        {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
        {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.seconds);
        char out[kHttpDateCapacity];
        formatHttpDate(calendarFromUnixTime(c.seconds), out, sizeof out);
        CHECK(std::string(out) == c.text);
    }
    char now[kHttpDateCapacity];
    CHECK(currentHttpDate(now, sizeof now) == 29);
    CHECK(std::string(now + 25) == " GMT");
}

TEST_CASE("decodeBase64_groups_padding_and_limit") {
    const struct {
        const char* text;
        size_t length;
        const char* bytes;
    } cases[] = {
        {"dXNlcjpwYXNz", 8 + 4, "user:pass"},
        {"QQ==", 4, "A"},            // two padding characters: one byte
        {"QUI=", 4, "AB"},           // one padding character: two bytes
        {"QUJD", 4, "ABC"},
        {"QUJDQQ", 6, "ABC"},        // a trailing partial group is ignored
        {"QQ", 2, ""},               // fewer than four characters
        {"Q!!!", 4, "@"},            // any non-alphabet character is padding (value 0)
        {"QQ==QUI=", 8, "A" "AB"},   // decoding goes on after a padded group
        {"+/+/", 4, "\xFB\xFF\xBF"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        char out[kBase64OutputCapacity];
        size_t n = decodeBase64(c.text, c.length, out);
        CHECK(std::string(out, n) == c.bytes);
        CHECK(out[n] == 0);
    }
    // 2000 characters would decode to 1500 bytes: output stops after the group that reaches
    // 497, which is 498 bytes here (166 groups of three).
    std::string big(2000, 'Q');
    char out[kBase64OutputCapacity];
    CHECK(decodeBase64(big.data(), big.size(), out) == 498);
    CHECK(out[498] == 0);
    // One-byte groups end exactly at 497.
    std::string ones;
    for (int i = 0; i < 600; ++i) ones += "QQ==";
    CHECK(decodeBase64(ones.data(), ones.size(), out) == 497);
}

TEST_CASE("utf8_conversions_are_strict_and_measure_exactly") {
    const struct {
        const char* bytes;
        int64_t units;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xC3\xA9", 1},
        {"\xE2\x82\xAC", 1},
        {"\xF0\x9F\x98\x80", 2},
        {"\xEF\xBF\xBF", 1},      // U+FFFF is a character, not an error
        {"\xC3", -1},             // truncated
        {"\xE2\x82", -1},
        {"\x80", -1},             // lone continuation
        {"\xC0\xAF", -1},         // overlong "/"
        {"\xE0\x80\xAF", -1},
        {"\xED\xA0\x80", -1},     // encoded surrogate
        {"\xF4\x90\x80\x80", -1}, // above U+10FFFF
        {"\xFF", -1},
        {"a\xC3\xA9" "b", 3},
    };
    for (const auto& c : cases) {
        CAPTURE(c.bytes);
        CHECK(utf8ToUtf16(c.bytes, std::strlen(c.bytes), nullptr, 0) == c.units);
    }
    char16_t out[4] = {u'x', u'x', u'x', u'x'};
    CHECK(utf8ToUtf16("\xF0\x9F\x98\x80", 4, out, 1) == 2);  // does not fit: nothing written
    CHECK(out[0] == u'x');
    CHECK(utf8ToUtf16("\xF0\x9F\x98\x80", 4, out, 2) == 2);
    CHECK(out[0] == 0xD83D);
    CHECK(out[1] == 0xDE00);
    CHECK(out[2] == u'x');

    const struct {
        std::u16string text;
        const char* bytes;
    } back[] = {
        {u"a\u00E9\u20AC", "a\xC3\xA9\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {std::u16string(1, char16_t(0xD800)) + u"a", "\xEF\xBF\xBD" "a"},   // lone high surrogate
        {std::u16string(1, char16_t(0xDC00)), "\xEF\xBF\xBD"},               // lone low surrogate
    };
    for (const auto& c : back) {
        char bytes[16] = {};
        size_t n = utf16ToUtf8(c.text.data(), c.text.size(), bytes, sizeof bytes);
        CHECK(std::string(bytes, n) == c.bytes);
    }
}

TEST_CASE("escapeForUrl_keeps_exactly_its_set") {
    // Every ASCII byte: the kept set passes, everything else becomes %XX in upper case.
    std::u16string all;
    for (char16_t c = 1; c < 0x80; ++c) all += c;
    size_t n = 0;
    char* escaped = escapeForUrl(all.data(), all.size(), &n);
    REQUIRE(escaped != nullptr);
    std::string expected;
    for (int c = 1; c < 0x80; ++c) {
        const bool kept = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= 0x28 && c <= 0x2F) || c == 0x25 || c == 0x26 || (c >= 0x3A && c <= 0x40) ||
                          (c >= 0x5B && c <= 0x5D) || c == 0x5F || (c >= 0x7B && c <= 0x7D);
        if (kept) {
            expected += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            expected += '%';
            expected += hex[c >> 4];
            expected += hex[c & 15];
        }
    }
    CHECK(std::string(escaped, n) == expected);
    CHECK(std::string(escaped).find("%20") != std::string::npos);
    CHECK(std::string(escaped).find("%7E") != std::string::npos);
    delete[] escaped;

    const struct {
        std::u16string text;
        const char* escaped;
    } cases[] = {
        {u"/a b/\u00E9.zip", "/a%20b/%C3%A9.zip"},
        {u"/already%20done", "/already%20done"},
        {u"", ""},
    };
    for (const auto& c : cases) {
        char* e = escapeForUrl(c.text.data(), c.text.size(), nullptr);
        REQUIRE(e != nullptr);
        CHECK(std::string(e) == c.escaped);
        delete[] e;
    }
}

TEST_CASE("decodeUrl_percent_rules_and_utf8") {
    const struct {
        std::u16string text;
        std::u16string decoded;
        bool valid;
    } cases[] = {
        {u"/a%20b", u"/a b", true},
        {u"%c3%A9", u"\u00E9", true},
        {u"%zz", std::u16string(1, char16_t(0)), true},  // non-hex digits count as 0
        {u"%4g", u"@", true},                            // 4*16 + 0
        {u"ab%", u"ab", true},                           // "%" last: dropped
        {u"ab%4", u"ab4", true},                         // "%" second to last: dropped, "4" kept
        {u"%", u"", true},
        {u"a+b", u"a+b", true},
        {u"%E9", u"", false},                            // not UTF-8
        {u"\u0141", u"A", true},                         // only the low byte is taken
        {u"\u00E9", u"", false},                         // a lone 0xE9 byte is not UTF-8
    };
    for (const auto& c : cases) {
        CAPTURE(narrow(c.text.data(), c.text.size()));
        size_t n = 99;
        char16_t* d = decodeUrl(c.text.data(), c.text.size(), &n);
        CHECK((d != nullptr) == c.valid);
        if (d) {
            CHECK(std::u16string(d, n) == c.decoded);
            CHECK(d[n] == 0);
        }
        delete[] d;
    }
}

TEST_CASE("escapeSpaces_escapes_space_and_percent_only") {
    std::u16string text = u"My File 100%+\u00E9.txt";
    size_t n = 0;
    char16_t* e = escapeSpaces(text.data(), text.size(), &n);
    REQUIRE(e != nullptr);
    CHECK(std::u16string(e, n) == u"My%20File%20100%25+\u00E9.txt");
    delete[] e;
}

TEST_CASE("htmlDisplayName_entities_29_units_and_cut") {
    char out[400];
    const struct {
        std::u16string name;
        const char* html;
    } cases[] = {
        {u"Bob Smith", "Bob&#32;Smith"},
        {u"a.b_c-d~e", "a.b_c-d~e"},
        {u"<x>&\"\u00E9\U0001F600", "&#60;x&#62;&#38;&#34;&#233;&#55357;&#56832;"},
        {std::u16string(29, u'a'), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
        {std::u16string(30, u'a'), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaa.."},
        {std::u16string(28, u'a') + u"bc", "aaaaaaaaaaaaaaaaaaaaaaaaaaaab.."},
        {u"", ""},
    };
    for (const auto& c : cases) {
        size_t n = htmlDisplayName(c.name.data(), c.name.size(), out, sizeof out);
        CHECK(std::string(out, n) == c.html);
        CHECK(htmlEscapedLength(c.name.data(), c.name.size() < 29 ? c.name.size() : 29) <= n);
    }
    // A small buffer cuts at a whole entity, never inside one.
    std::u16string spaces(40, u' ');
    CHECK(htmlDisplayName(spaces.data(), spaces.size(), out, 12) == 10);
    CHECK(std::string(out) == "&#32;&#32;");
    // ".." is cut like any other text.
    std::u16string name(30, u'a');
    CHECK(htmlDisplayName(name.data(), name.size(), out, 31) == 30);
    CHECK(std::string(out) == std::string(29, 'a') + ".");
}
