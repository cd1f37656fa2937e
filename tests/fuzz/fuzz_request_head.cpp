// Fuzzes the request-head parser with whole heads. The input is copied into a buffer of exactly
// its size, so any read past the given length is an ASan report; the record's invariants are
// checked after every parse.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "HttpRequest.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void checkText(const char* text, size_t length, size_t inputSize, size_t factor) {
    require(text != nullptr || length == 0);
    if (text) require(text[length] == 0 && length <= inputSize * factor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* head = new char[size];
    if (size) std::memcpy(head, data, size);
    HttpRequest request;
    parseRequestHead(&request, head, size);

    require(request.method >= kMethodUnknown && request.method <= kMethodTestcon);
    require(request.version == kVersionUnknown || request.version == kVersion10 || request.version == kVersion11);
    checkText(request.path, request.pathLength, size, 1);
    // One UTF-16 unit per byte at most, and "&#65535;" is eight bytes per unit.
    checkText(request.displayPath, request.displayPathLength, size, 8);
    checkText(request.host, request.hostLength, size, 1);
    checkText(request.user, request.userLength, size, 1);
    checkText(request.password, request.passwordLength, size, 1);
    checkText(request.boundary, request.boundaryLength, size, 1);
    require(request.hasCredentials == (request.user != nullptr));
    require(request.hasBoundary == (request.boundaryLength > 0));
    require(!request.hasContentLength || request.contentLength >= 0);
    require(request.hasRange == (request.rangeCount > 0));
    for (size_t i = 0; i < request.rangeCount; ++i) {
        const ByteRange& r = request.ranges[i];
        require(r.first >= -1 && r.last >= -1 && !(r.first == -1 && r.last == -1));
        require(r.first == -1 || r.last == -1 || r.first <= r.last);
    }

    freeRequest(&request);
    require(request.path == nullptr && request.ranges == nullptr);
    delete[] head;
    return 0;
}
