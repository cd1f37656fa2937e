// Multipart scanning, file-name decoding and upload naming. See UploadParts.h.
#include "UploadParts.h"

#include <string.h>

#include "TextHelpers.h"

namespace {

const char kBlankLine[] = "\r\n\r\n";
const char kFileNameKey[] = "filename=\"";

void dropFront(char* buffer, size_t* used, size_t count) {
    memmove(buffer, buffer + count, *used - count);
    *used -= count;
}

// What would make the name mean something else than one file in the uploads folder: a folder
// separator, a drive or stream colon, or a NUL that cuts the name short in the system's calls.
// Characters the file system merely refuses (wildcards, "<>|\"", control characters) stay:
// creating the file then fails and the client gets the 409 page.
bool unsafeInName(char16_t c) {
    return c == 0 || c == u'\\' || c == u'/' || c == u':';
}

// Only dots and spaces: the system reads such a name as the folder itself or its parent.
bool namesAFolder(const char16_t* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (name[i] != u'.' && name[i] != u' ')
            return false;
    }
    return true;
}

// "&#N;" with 1 to 5 digits and 32 <= N < 63744 becomes that unit; anything else stays.
size_t decodeReferences(char16_t* text, size_t length) {
    size_t out = 0;
    size_t i = 0;
    while (i < length) {
        if (text[i] == u'&' && i + 1 < length && text[i + 1] == u'#') {
            size_t j = i + 2;
            unsigned value = 0;
            size_t digits = 0;
            while (j < length && digits < 5 && text[j] >= u'0' && text[j] <= u'9') {
                value = value * 10 + (text[j] - u'0');
                ++j;
                ++digits;
            }
            if (digits > 0 && j < length && text[j] == u';' && value >= 32 && value < 63744) {
                text[out++] = static_cast<char16_t>(value);
                i = j + 1;
                continue;
            }
        }
        text[out++] = text[i++];
    }
    return out;
}

}  // namespace

PartScan scanForFilePart(PartScanner* scanner, char* buffer, size_t* used, size_t capacity,
                         const char* boundary, size_t boundaryLength, FilePart* part) {
    for (;;) {
        if (!scanner->boundaryFound) {
            int64_t at = findBytes(buffer, *used, boundary, boundaryLength);
            if (at < 0) {
                // Only the last boundaryLength - 1 bytes can still be the start of a boundary.
                size_t keep = boundaryLength > 0 ? boundaryLength - 1 : 0;
                if (*used > keep) {
                    scanner->consumed += static_cast<int64_t>(*used - keep);
                    dropFront(buffer, used, *used - keep);
                }
                return PartScan::NeedMore;
            }
            size_t drop = static_cast<size_t>(at) + boundaryLength;
            scanner->consumed += static_cast<int64_t>(drop);
            dropFront(buffer, used, drop);
            scanner->boundaryFound = true;
        }
        int64_t end = findBytes(buffer, *used, kBlankLine, 4);
        if (end < 0)
            return *used >= capacity ? PartScan::HeadersTooLong : PartScan::NeedMore;
        size_t headerLength = static_cast<size_t>(end) + 4;
        size_t offset = 0, nameLength = 0;
        if (findFileNameValue(buffer, headerLength, &offset, &nameLength)) {
            scanner->headersFound = true;
            part->headerLength = headerLength;
            part->nameOffset = offset;
            part->nameLength = nameLength;
            return PartScan::FilePart;
        }
        // Not a file: skip its headers; the next boundary search skips its content.
        scanner->consumed += static_cast<int64_t>(headerLength);
        dropFront(buffer, used, headerLength);
        scanner->boundaryFound = false;
        scanner->headersFound = false;
    }
}

bool findFileNameValue(const char* header, size_t length, size_t* offset, size_t* nameLength) {
    const size_t keyLength = sizeof kFileNameKey - 1;
    int64_t key = findBytes(header, length, kFileNameKey, keyLength);
    if (key < 0)
        return false;
    size_t start = static_cast<size_t>(key) + keyLength;
    const void* quote = memchr(header + start, '"', length - start);
    if (!quote)
        return false;
    *offset = start;
    *nameLength = static_cast<size_t>(static_cast<const char*>(quote) - (header + start));
    return true;
}

size_t decodeUploadName(const char* bytes, size_t length, char16_t* out, size_t capacity) {
    int64_t units = utf8ToUtf16(bytes, length, nullptr, 0);
    if (units <= 0 || static_cast<size_t>(units) + kUploadNameExtra > capacity)
        return 0;
    utf8ToUtf16(bytes, length, out, capacity);
    size_t n = static_cast<size_t>(units);

    // Browsers that send the whole client path: keep its last component.
    size_t base = 0;
    for (size_t i = 0; i < n; ++i) {
        if (out[i] == u'\\' || out[i] == u'/')
            base = i + 1;
    }
    memmove(out, out + base, (n - base) * sizeof(char16_t));
    n = decodeReferences(out, n - base);

    // References are decoded after the folders were dropped, so what they spell must not
    // be able to name a folder, a drive, a stream or a device.
    for (size_t i = 0; i < n; ++i) {
        if (unsafeInName(out[i]))
            out[i] = u'_';
    }
    // Trailing dots and spaces stay. The file system drops them itself, so "a.txt." names
    // a.txt; but the file is only ever created new (CREATE_NEW), so that name is either free,
    // numbered like any taken name, or refused: an existing file is never replaced.
    if (namesAFolder(out, n))
        n = 0;
    if (n > 0 && isDeviceName(out, n)) {
        memmove(out + 1, out, n * sizeof(char16_t));
        out[0] = u'_';
        ++n;
    }
    out[n] = 0;
    return n;
}

size_t numberedName(const char16_t* name, size_t length, unsigned n, char16_t* out, size_t capacity) {
    char16_t number[16];
    size_t numberLength = 0;
    number[numberLength++] = u'(';
    numberLength += formatDecimal(n, number + numberLength, sizeof number / sizeof *number - 2);
    number[numberLength++] = u')';

    size_t dot = length;
    for (size_t i = length; i > 0; --i) {
        if (name[i - 1] == u'.') {
            dot = i - 1;
            break;
        }
    }
    size_t total = length + numberLength;
    if (total + 1 > capacity)
        return total;
    memcpy(out, name, dot * sizeof(char16_t));
    memcpy(out + dot, number, numberLength * sizeof(char16_t));
    memcpy(out + dot + numberLength, name + dot, (length - dot) * sizeof(char16_t));
    out[total] = 0;
    return total;
}

size_t uploadNameForHtml(const char16_t* name, size_t length, char* out) {
    const size_t stopAt = 115;
    size_t written = 0;
    for (size_t i = 0; i < length && written < stopAt; ++i) {
        // One unit takes at most 8 bytes ("&#65535;"), so it always fits below the capacity.
        written += escapeHtml(name + i, 1, out + written, kUploadHtmlNameCapacity - written);
    }
    out[written] = 0;
    return written;
}

int64_t expectedFileSize(int64_t contentLength, int64_t consumed, size_t headerLength,
                         size_t boundaryLength) {
    const int64_t delimiterExtra = 8;  // "\r\n--" before the boundary and "--\r\n" after it
    return contentLength - consumed - static_cast<int64_t>(headerLength) -
           static_cast<int64_t>(boundaryLength) - delimiterExtra;
}

int64_t findTrailingParts(const char* window, size_t length, const char* boundary,
                          size_t boundaryLength) {
    for (size_t start = 0; start + 4 + boundaryLength <= length; ++start) {
        int64_t at = findBytes(window + start, length - start, "\r\n--", 4);
        if (at < 0)
            return -1;
        size_t hit = start + static_cast<size_t>(at);
        if (hit + 4 + boundaryLength <= length && memcmp(window + hit + 4, boundary, boundaryLength) == 0)
            return static_cast<int64_t>(hit);
        start = hit;
    }
    return -1;
}

void unquoteBoundary(const char** boundary, size_t* length) {
    if (*length >= 2 && (*boundary)[0] == '"' && (*boundary)[*length - 1] == '"') {
        ++*boundary;
        *length -= 2;
    }
}
