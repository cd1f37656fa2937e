// The parsed head of one request to the share server: method, version, the decoded path in raw
// and HTML form, and the few header values the server acts on. Portable; the connection owns
// the record and frees it with freeRequest.
#pragma once
#include <cstddef>
#include <cstdint>

enum HttpMethod : int32_t {
    kMethodUnknown = -1,
    kMethodGet = 0,
    kMethodHead = 1,
    kMethodPost = 2,
    kMethodTestcon = 3,
};

enum HttpVersion : int32_t {
    kVersionUnknown = -1,
    kVersion10 = 16,
    kVersion11 = 17,
};

// One item of a Range header; -1 marks a bound that was not given: (first, -1) is "first-",
// (-1, n) is the suffix "-n". Both are never -1 together, and first <= last when both are set.
struct ByteRange {
    int64_t first;
    int64_t last;
};

// Every text is an owned, NUL-terminated copy with its length in bytes; null (length 0) means
// absent. Texts may contain NUL bytes (the path after "%00", decoded credentials): use the
// lengths.
struct HttpRequest {
    int32_t version = kVersionUnknown;
    int32_t method = kMethodUnknown;
    // Percent-decoded target without its query, raw bytes (UTF-8 expected).
    char* path = nullptr;
    size_t pathLength = 0;
    // What followed the path's first "?" in the decoded target (absent without one).
    char* query = nullptr;
    size_t queryLength = 0;
    // Decoded target (query included) as UTF-16 escaped for HTML ("&#N;" for everything but
    // letters, digits and ".", "_", "-", "~"); null when the target is not valid UTF-8.
    char* displayPath = nullptr;
    size_t displayPathLength = 0;
    // Host header without its ":port".
    char* host = nullptr;
    size_t hostLength = 0;
    // Basic credentials.
    char* user = nullptr;
    size_t userLength = 0;
    char* password = nullptr;
    size_t passwordLength = 0;
    bool hasCredentials = false;
    // multipart/form-data boundary, taken as written (quotes kept).
    char* boundary = nullptr;
    size_t boundaryLength = 0;
    bool hasBoundary = false;
    int64_t contentLength = 0;
    bool hasContentLength = false;
    // "Expect: 100-continue": the client waits for a go-ahead before it sends the body.
    bool expectContinue = false;
    ByteRange* ranges = nullptr;
    size_t rangeCount = 0;
    bool hasRange = false;
};

// Fills request (which must be freshly initialised or freed) from the head's bytes: the request
// line, header lines and the final empty line. Never reads beyond length; what it cannot read is
// left at its absent value. A text that cannot be allocated is left absent too.
void parseRequestHead(HttpRequest* request, const char* buffer, size_t length);
// Frees every text and the range list and puts the record back to its initial values.
void freeRequest(HttpRequest* request);
