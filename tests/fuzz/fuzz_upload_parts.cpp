// Fuzzes the upload scanner and name handling. Input: one byte n, then n bytes of boundary
// (at least 1), then the body, fed through a 4096-byte request buffer in pieces whose sizes
// come from the body itself. Checks that the scanner keeps its buffer bounds, that a found
// part lies inside the body, and that a stored name can never name a folder, a stream, a
// device, "." or "..".
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "TextHelpers.h"
#include "UploadParts.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool upperEquals(const char16_t* text, size_t length, const char* word) {
    if (strlen(word) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char16_t c = text[i] >= u'a' && text[i] <= u'z' ? static_cast<char16_t>(text[i] - 32) : text[i];
        if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

void checkStoredName(const char16_t* name, size_t length) {
    bool onlyDotsAndSpaces = true;
    for (size_t i = 0; i < length; ++i) {
        char16_t c = name[i];
        require(c != 0 && c != u'\\' && c != u'/' && c != u':');
        onlyDotsAndSpaces = onlyDotsAndSpaces && (c == u'.' || c == u' ');
    }
    if (length == 0) return;
    require(!onlyDotsAndSpaces);
    size_t stem = 0;
    while (stem < length && name[stem] != u'.') ++stem;
    while (stem > 0 && name[stem - 1] == u' ') --stem;
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        require(!upperEquals(name, stem, device));
    if (stem == 4 && (upperEquals(name, 3, "COM") || upperEquals(name, 3, "LPT")))
        require(!((name[3] >= u'0' && name[3] <= u'9') || name[3] == 0xB9 || name[3] == 0xB2 || name[3] == 0xB3));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t boundaryLength = data[0] % 70 + 1;
    if (size < 1 + boundaryLength) return 0;
    const char* boundary = reinterpret_cast<const char*>(data + 1);
    const char* body = reinterpret_cast<const char*>(data + 1 + boundaryLength);
    size_t bodyLength = size - 1 - boundaryLength;

    const size_t capacity = 4096;
    char buffer[capacity];
    size_t used = 0, fed = 0;
    PartScanner scanner;
    FilePart part{};
    PartScan scan = PartScan::NeedMore;
    while (fed < bodyLength) {
        size_t chunk = static_cast<unsigned char>(body[fed]) % 64 + 1;
        size_t n = chunk;
        if (n > bodyLength - fed) n = bodyLength - fed;
        if (n > capacity - used) n = capacity - used;
        memcpy(buffer + used, body + fed, n);
        used += n;
        fed += n;
        scan = scanForFilePart(&scanner, buffer, &used, capacity, boundary, boundaryLength, &part);
        require(used <= capacity);
        require(scanner.consumed >= 0 && static_cast<size_t>(scanner.consumed) + used == fed);
        if (scan != PartScan::NeedMore) break;
        require(used < capacity);
    }
    if (scan == PartScan::FilePart) {
        require(part.headerLength <= used);
        require(part.nameOffset + part.nameLength <= part.headerLength);
        // The header block is the body's bytes right after what was dropped.
        require(memcmp(buffer, body + scanner.consumed, part.headerLength) == 0);

        char16_t name[capacity + kUploadNameExtra];
        size_t nameLength = decodeUploadName(buffer + part.nameOffset, part.nameLength, name,
                                             part.nameLength + kUploadNameExtra);
        require(nameLength <= part.nameLength + 1);
        checkStoredName(name, nameLength);

        char html[kUploadHtmlNameCapacity];
        size_t htmlLength = uploadNameForHtml(name, nameLength, html);
        require(htmlLength < kUploadHtmlNameCapacity && html[htmlLength] == 0);

        char16_t numbered[capacity + 32];
        size_t numberedLength = numberedName(name, nameLength, 9, numbered, capacity + 32);
        require(numberedLength == nameLength + 3);

        int64_t expected = expectedFileSize(static_cast<int64_t>(bodyLength), scanner.consumed, part.headerLength,
                                            boundaryLength);
        require(expected == static_cast<int64_t>(bodyLength) - scanner.consumed -
                                static_cast<int64_t>(part.headerLength + boundaryLength + 8));
    }
    // The tail cut over any window.
    int64_t cut = findTrailingParts(body, bodyLength, boundary, boundaryLength);
    if (cut >= 0) {
        require(static_cast<size_t>(cut) + 4 + boundaryLength <= bodyLength);
        require(memcmp(body + cut, "\r\n--", 4) == 0 && memcmp(body + cut + 4, boundary, boundaryLength) == 0);
        // It is the first one: no whole delimiter starts before it.
        require(findTrailingParts(body, static_cast<size_t>(cut) + 3 + boundaryLength, boundary, boundaryLength) < 0);
    }
    return 0;
}
