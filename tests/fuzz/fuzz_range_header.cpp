// Fuzzes the Range header list: the input becomes the value of a Range line that ends exactly
// at the end of the buffer, so reading past the value is reading past the allocation.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "HttpRequest.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

const char kPrefix[] = "GET / HTTP/1.1\r\nRange: ";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t prefixLength = sizeof kPrefix - 1;
    char* head = new char[prefixLength + size];
    std::memcpy(head, kPrefix, prefixLength);
    if (size) std::memcpy(head + prefixLength, data, size);
    HttpRequest request;
    parseRequestHead(&request, head, prefixLength + size);

    require(request.method == kMethodGet && request.version == kVersion11);
    require(request.hasRange == (request.rangeCount > 0));
    // Each item takes at least two bytes ("0-") plus its comma, bar the last.
    require(request.rangeCount <= (size + 1) / 2);
    for (size_t i = 0; i < request.rangeCount; ++i) {
        const ByteRange& r = request.ranges[i];
        require(r.first >= -1 && r.last >= -1 && !(r.first == -1 && r.last == -1));
        require(r.first == -1 || r.last == -1 || r.first <= r.last);
    }
    freeRequest(&request);
    delete[] head;
    return 0;
}
