// Fuzzes URL escaping and decoding over UTF-16 input (two input bytes per unit, copied into an
// exactly-sized buffer), plus the UTF-8 conversions under them. Checks the round trip: a text
// without "%" comes back unchanged from decodeUrl(escapeForUrl(text)).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "TextHelpers.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool wellFormedUtf16(const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF) {
            if (i + 1 >= length || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t units = size / 2;
    char16_t* text = new char16_t[units];
    if (units) std::memcpy(text, data, units * 2);

    size_t escapedLength = 0;
    char* escaped = escapeForUrl(text, units, &escapedLength);
    require(escaped != nullptr && escaped[escapedLength] == 0);
    size_t decodedLength = 0;
    char16_t* decoded = decodeUrl(text, units, &decodedLength);
    if (decoded) require(decodedLength <= units && decoded[decodedLength] == 0);
    delete[] decoded;

    bool hasPercent = false;
    for (size_t i = 0; i < units; ++i) hasPercent = hasPercent || text[i] == u'%';
    if (!hasPercent && wellFormedUtf16(text, units)) {
        // escapeForUrl's result is ASCII; widen it exactly-sized and decode it back.
        char16_t* wide = new char16_t[escapedLength];
        for (size_t i = 0; i < escapedLength; ++i) wide[i] = static_cast<unsigned char>(escaped[i]);
        size_t backLength = 0;
        char16_t* back = decodeUrl(wide, escapedLength, &backLength);
        require(back != nullptr && backLength == units && std::memcmp(back, text, units * 2) == 0);
        delete[] back;
        delete[] wide;
    }
    delete[] escaped;

    size_t spacedLength = 0;
    char16_t* spaced = escapeSpaces(text, units, &spacedLength);
    require(spaced != nullptr && spaced[spacedLength] == 0 && spacedLength <= units * 3);
    delete[] spaced;

    // Display names into a buffer of exactly the given capacity.
    const size_t capacity = size % 128;
    char* html = new char[capacity];
    const size_t htmlLength = htmlDisplayName(text, units, html, capacity);
    require(capacity == 0 ? htmlLength == 0 : htmlLength < capacity && html[htmlLength] == 0);
    delete[] html;

    // Raw bytes as UTF-8: valid input survives the round trip through UTF-16.
    const char* bytes = reinterpret_cast<const char*>(data);
    char* exact = new char[size];
    if (size) std::memcpy(exact, bytes, size);
    const int64_t need = utf8ToUtf16(exact, size, nullptr, 0);
    if (need >= 0) {
        char16_t* wide = new char16_t[static_cast<size_t>(need)];
        require(utf8ToUtf16(exact, size, wide, static_cast<size_t>(need)) == need);
        char* again = new char[size];
        require(utf16ToUtf8(wide, static_cast<size_t>(need), again, size) == size);
        require(size == 0 || std::memcmp(again, exact, size) == 0);
        delete[] again;
        delete[] wide;
    }
    delete[] exact;
    delete[] text;
    return 0;
}
