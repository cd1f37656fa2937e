// The parsed head of an HTTP response as both programs' clients read it: five status lines and
// six header fields, everything else skipped. Portable; the Win32 caller logs what the parser
// reports through its result.
#pragma once
#include <cstddef>
#include <cstdint>

enum ResponseStatus : int32_t {
    kResponseNone = -1,
    kResponseOk = 1,          // "HTTP/1.1 200"
    kResponsePartial = 2,     // "HTTP/1.1 206"
    kResponseNotFound = 6,    // "HTTP/1.1 404"
    kResponseMoved = 7,       // "HTTP/1.1 301"
    kResponseAuthNeeded = 8,  // "HTTP/1.1 401"
};

constexpr int32_t kResponseVersion11 = 17;

// Texts are owned, NUL-terminated byte copies (null when absent); free them with
// freeResponseHeader. A default-constructed record holds the initial values parsing expects.
struct ResponseHeader {
    int32_t version = -1;
    int32_t status = kResponseNone;
    int64_t contentLength = -1;
    bool contentLengthFound = false;
    char* contentType = nullptr;
    int32_t contentTypeLength = 0;
    bool contentTypeFound = false;
    bool byteRanges = false;
    char* fileName = nullptr;
    int32_t fileNameLength = 0;
    bool fileNameFound = false;
    char* location = nullptr;
    int32_t locationLength = 0;
    bool locationFound = false;
};

enum class ResponseParseResult {
    kParsed,       // whatever was recognised is filled in (possibly nothing)
    kOutOfMemory,  // a text could not be allocated; its field was left as it was
};

// bytes: the head up to and including its CR LF CR LF (the caller finds the end). Never reads
// beyond length. Fills only what it recognises; nothing about an unknown head is a failure.
ResponseParseResult parseResponseHeader(const char* bytes, size_t length, ResponseHeader* record);
// Frees the three texts and puts the record back to its initial values.
void freeResponseHeader(ResponseHeader* record);
