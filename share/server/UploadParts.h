// The pure side of receiving files: finding the file part of a multipart/form-data body in
// the connection's request buffer, reading and sanitising the file name it carries, the
// "(n)" names of a taken file and the cut that removes fields sent after the file.
// Portable; HTTPConnection (HTTPConnectionUpload.cpp) drives it and does the Win32 work.
#pragma once
#include <cstddef>
#include <cstdint>

// Where the scan stands; kept by the connection between arrivals of request data.
struct PartScanner {
    bool boundaryFound = false;
    bool headersFound = false;
    // Body bytes dropped before the file part's headers: preamble, earlier parts, boundaries.
    int64_t consumed = 0;
};

enum class PartScan {
    NeedMore,        // wait for more request data
    FilePart,        // the buffer starts with the file part's header block
    HeadersTooLong,  // a part's header block does not fit in the buffer
};

struct FilePart {
    size_t headerLength;  // the header block, its closing blank line included
    size_t nameOffset;    // the raw filename="..." value inside the block
    size_t nameLength;
};

// Scans buffer (used bytes, at most capacity) for the first part that carries a file name,
// removing what comes before it from the front of the buffer (and counting it in consumed).
// The boundary is the one of the request head, without its leading "--". Bytes that cannot
// start the boundary are dropped even when it is not found yet, so a preamble or an earlier
// part of any size passes through a fixed buffer.
PartScan scanForFilePart(PartScanner* scanner, char* buffer, size_t* used, size_t capacity,
                         const char* boundary, size_t boundaryLength, FilePart* part);

// The filename="..." value of one part's header block: true (a file part, even with an empty
// name) when the opening and the closing quote are both in the block.
bool findFileNameValue(const char* header, size_t length, size_t* offset, size_t* nameLength);

// The name to store, from the raw value's bytes: UTF-8 to UTF-16 (invalid UTF-8 gives the
// empty name), the client's folders dropped, "&#N;" references (N of 1 to 5 digits, 32 <= N <
// 63744) decoded, then kept inside the uploads folder: path separators, drive and stream
// colons and NULs become "_", a name of only dots and spaces ("." or "..") becomes empty, and
// a reserved device name (CON, NUL, COM1, LPT1, ..., with or without an extension) gets a
// leading "_". Anything else the file system refuses is left for creating the file to refuse.
// Returns the name's length; 0 is the empty name. out must hold kUploadNameExtra units more
// than length.
constexpr size_t kUploadNameExtra = 2;
size_t decodeUploadName(const char* bytes, size_t length, char16_t* out, size_t capacity);

// name with "(n)" before its last "." (or at its end without one): report.pdf -> report(1).pdf.
// Returns the length; writes (NUL-terminated) only when it fits in capacity.
size_t numberedName(const char16_t* name, size_t length, unsigned n, char16_t* out, size_t capacity);
constexpr unsigned kLastUploadNumber = 9;

// The stored name as 8-bit HTML for the answer page: letters, digits, ".", "_", "-", "~" as
// they are, every other unit as "&#N;", stopping once 115 bytes or more are written.
constexpr size_t kUploadHtmlNameCapacity = 128;
size_t uploadNameForHtml(const char16_t* name, size_t length, char* out);

// Length of the file's data when the file part is the body's last: Content-Length less what
// came before the file data and the closing delimiter ("\r\n--", boundary, "--\r\n").
// Negative when the body cannot hold the part it announced.
int64_t expectedFileSize(int64_t contentLength, int64_t consumed, size_t headerLength,
                         size_t boundaryLength);

// The tail of a received file (its last bytes up to the expected size) holds whatever parts
// the client sent after the file: the offset in window of the first "\r\n--" + boundary, or -1.
int64_t findTrailingParts(const char* window, size_t length, const char* boundary,
                          size_t boundaryLength);

// The boundary of the request head, taken as written: surrounding double quotes are removed.
void unquoteBoundary(const char** boundary, size_t* length);
