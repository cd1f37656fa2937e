// The portable conversions and the case-insensitive comparison against the system calls they
// stand in for: MultiByteToWideChar (CP_UTF8, MB_ERR_INVALID_CHARS), WideCharToMultiByte
// (CP_UTF8) and CompareStringW / lstrcmpiW (NORM_IGNORECASE, neutral locale).
#include <windows.h>

#include <doctest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TextHelpers.h"

namespace {

// -1 when the system rejects the bytes, else its UTF-16 result in out.
int systemUtf8ToUtf16(const std::string& bytes, std::u16string* out) {
    out->clear();
    if (bytes.empty()) return 0;
    const int need = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                         nullptr, 0);
    if (need <= 0) return -1;
    std::vector<wchar_t> wide(static_cast<size_t>(need));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), wide.data(), need);
    out->assign(wide.begin(), wide.end());
    return need;
}

int portableUtf8ToUtf16(const std::string& bytes, std::u16string* out) {
    out->clear();
    const int64_t need = utf8ToUtf16(bytes.data(), bytes.size(), nullptr, 0);
    if (need < 0) return -1;
    out->resize(static_cast<size_t>(need));
    utf8ToUtf16(bytes.data(), bytes.size(), &(*out)[0], out->size());
    return static_cast<int>(need);
}

std::string hex(const std::string& bytes) {
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        s += b;
    }
    return s;
}

// Counts and prints (first few) byte strings on which the two decoders disagree.
int utf8Mismatches(const std::vector<std::string>& inputs) {
    int mismatches = 0;
    for (const std::string& bytes : inputs) {
        std::u16string mine, theirs;
        const int a = portableUtf8ToUtf16(bytes, &mine);
        const int b = systemUtf8ToUtf16(bytes, &theirs);
        if (a != b || mine != theirs) {
            if (++mismatches <= 10) MESSAGE("UTF-8 differs for " << hex(bytes) << ": portable " << a << ", system " << b);
        }
    }
    return mismatches;
}

const LCID kNeutral = MAKELCID(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), SORT_DEFAULT);

bool systemEqualsNoCase(const std::u16string& a, const std::u16string& b) {
    const wchar_t* wa = reinterpret_cast<const wchar_t*>(a.c_str());
    const wchar_t* wb = reinterpret_cast<const wchar_t*>(b.c_str());
    return CompareStringW(kNeutral, NORM_IGNORECASE, wa, static_cast<int>(a.size()), wb, static_cast<int>(b.size())) ==
           CSTR_EQUAL;
}

// Letters whose weights in the system's sort table here are not case relations (rare letters
// sorted as one, or variant symbols joined): left out of the pairwise comparison.
bool outsideComparison(char16_t c) {
    return c == 0x0376 || c == 0x0377 || c == 0x037F || c == 0x03F3 || c == 0x03D1 || c == 0x03F4 ||
           (c >= 0x0524 && c <= 0x052F) || c == 0x0560 || c == 0x0588;
}

bool isLetter(char16_t c) {
    WORD type = 0;
    const wchar_t w = static_cast<wchar_t>(c);
    return GetStringTypeW(CT_CTYPE1, &w, 1, &type) && (type & C1_ALPHA);
}

}  // namespace

TEST_CASE("utf8_decoding_matches_MultiByteToWideChar") {
    std::vector<std::string> inputs;
    // Every one- and two-byte sequence.
    for (int a = 0; a < 256; ++a) {
        inputs.push_back(std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b) inputs.push_back(std::string{static_cast<char>(a), static_cast<char>(b)});
    }
    // Three- and four-byte sequences around every boundary of the second and third bytes.
    const int edges[] = {0x00, 0x41, 0x7F, 0x80, 0x81, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0, 0xFF};
    for (int lead = 0xC0; lead < 0x100; ++lead) {
        for (int b : edges) {
            for (int c : edges) {
                inputs.push_back(std::string{static_cast<char>(lead), static_cast<char>(b), static_cast<char>(c)});
                for (int d : {0x41, 0x80, 0xBF, 0xC0}) {
                    inputs.push_back(std::string{static_cast<char>(lead), static_cast<char>(b), static_cast<char>(c),
                                                 static_cast<char>(d)});
                }
            }
        }
    }
    // The whole second-byte range after the leads with special limits.
    for (int lead : {0xE0, 0xED, 0xEF, 0xF0, 0xF4}) {
        for (int b = 0; b < 256; ++b) {
            inputs.push_back(std::string{static_cast<char>(lead), static_cast<char>(b), '\x80', '\x80'});
        }
    }
    // Realistic paths, and invalid bytes in the middle of valid text.
    for (const char* s : {"/music/\xC3\xA9t\xC3\xA9.mp3", "/\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80.txt",
                          "a\xE9" "b", "abc\xC3", "\xEF\xBB\xBF" "bom", "\xEF\xBF\xBE\xEF\xBF\xBF"}) {
        inputs.push_back(s);
    }
    CHECK(utf8Mismatches(inputs) == 0);
}

TEST_CASE("utf8_encoding_matches_WideCharToMultiByte") {
    int mismatches = 0;
    auto compare = [&](const std::u16string& text) {
        char mine[64];
        const size_t n = utf16ToUtf8(text.data(), text.size(), mine, sizeof mine);
        char theirs[64];
        const int m = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(text.data()),
                                          static_cast<int>(text.size()), theirs, sizeof theirs, nullptr, nullptr);
        if (static_cast<int>(n) != m || std::string(mine, n) != std::string(theirs, m > 0 ? m : 0)) {
            if (++mismatches <= 10) MESSAGE("UTF-16 differs at unit " << static_cast<unsigned>(text[0]));
        }
    };
    for (uint32_t c = 1; c < 0x10000; ++c) {
        compare(std::u16string{static_cast<char16_t>(c), u'a'});
        compare(std::u16string{u'a', static_cast<char16_t>(c)});
    }
    for (char16_t high : {char16_t(0xD800), char16_t(0xDBFF), char16_t(0xD83D)}) {
        for (char16_t low : {char16_t(0xDC00), char16_t(0xDFFF), char16_t(0xDE00), char16_t(0xD800), char16_t(0x41)}) {
            compare(std::u16string{high, low});
            compare(std::u16string{low, high});
        }
    }
    CHECK(mismatches == 0);
}

TEST_CASE("equalsNoCaseLocale_matches_CompareStringW_for_letters") {
    // Every pair of letters within the blocks file names are written in: the portable answer
    // must be the system's. Non-letters only need to equal themselves.
    const struct {
        char16_t first;
        char16_t last;
    } blocks[] = {
        {0x0020, 0x007E}, {0x00A0, 0x024F}, {0x0370, 0x03FF}, {0x0400, 0x052F},
        {0x0530, 0x058F}, {0x1E00, 0x1EFF}, {0xFF01, 0xFF5E},
    };
    int mismatches = 0, compared = 0;
    for (const auto& block : blocks) {
        std::vector<char16_t> letters;
        for (uint32_t c = block.first; c <= block.last; ++c) {
            const char16_t u = static_cast<char16_t>(c);
            if (isLetter(u)) {
                if (!outsideComparison(u)) letters.push_back(u);
            } else {
                const std::u16string name = std::u16string(u"x") + u + u"y";
                CHECK(equalsNoCaseLocale(name.data(), name.size(), name.data(), name.size()));
            }
        }
        for (char16_t a : letters) {
            for (char16_t b : letters) {
                const std::u16string x = std::u16string(u"f") + a + u".txt";
                const std::u16string y = std::u16string(u"F") + b + u".TXT";
                const bool mine = equalsNoCaseLocale(x.data(), x.size(), y.data(), y.size());
                const bool theirs = systemEqualsNoCase(x, y);
                ++compared;
                if (mine != theirs && ++mismatches <= 20) {
                    char line[64];
                    std::snprintf(line, sizeof line, "U+%04X vs U+%04X: portable %d, system %d",
                                  static_cast<unsigned>(a), static_cast<unsigned>(b), mine, theirs);
                    MESSAGE(line);
                }
            }
        }
    }
    MESSAGE(compared << " letter pairs compared, " << mismatches << " differ");
    CHECK(mismatches == 0);

    // Every other letter of the plane against its upper and lower case as the system maps them.
    int planeMismatches = 0;
    for (uint32_t c = 0x80; c < 0x10000; ++c) {
        const char16_t a = static_cast<char16_t>(c);
        if ((c >= 0xD800 && c <= 0xDFFF) || !isLetter(a) || outsideComparison(a)) continue;
        const char16_t partners[] = {
            static_cast<char16_t>(reinterpret_cast<uintptr_t>(CharUpperW(reinterpret_cast<wchar_t*>(c)))),
            static_cast<char16_t>(reinterpret_cast<uintptr_t>(CharLowerW(reinterpret_cast<wchar_t*>(c))))};
        for (char16_t b : partners) {
            if (!isLetter(b) || outsideComparison(b)) continue;
            const std::u16string x = std::u16string(u"f") + a + u".txt";
            const std::u16string y = std::u16string(u"F") + b + u".TXT";
            const bool mine = equalsNoCaseLocale(x.data(), x.size(), y.data(), y.size());
            const bool theirs = systemEqualsNoCase(x, y);
            if (mine != theirs && ++planeMismatches <= 100) {
                char line[64];
                std::snprintf(line, sizeof line, "U+%04X vs U+%04X: portable %d, system %d",
                              static_cast<unsigned>(a), static_cast<unsigned>(b), mine, theirs);
                MESSAGE(line);
            }
        }
    }
    CHECK(planeMismatches == 0);

    // Typical names through lstrcmpiW as well.
    const char16_t* names[][2] = {
        {u"Report.PDF", u"report.pdf"}, {u"\u00C9t\u00E9.MP3", u"\u00E9T\u00C9.mp3"},
        {u"\u041F\u0420\u0418\u0412\u0415\u0422.txt", u"\u043F\u0440\u0438\u0432\u0435\u0442.TXT"},
        {u"a.txt", u"a.txt "}, {u"resume", u"r\u00E9sum\u00E9"},
    };
    for (const auto& pair : names) {
        const bool theirs = lstrcmpiW(reinterpret_cast<const wchar_t*>(pair[0]),
                                      reinterpret_cast<const wchar_t*>(pair[1])) == 0;
        CHECK(equalsNoCaseLocale(pair[0], pair[1]) == theirs);
    }
}
