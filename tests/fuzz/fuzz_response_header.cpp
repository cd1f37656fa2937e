// Fuzzes the response-head parser. The input is copied into a buffer of exactly its size so any
// read past the given length is an ASan report; the filled record is checked for consistency.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ResponseHeader.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void checkText(const char* text, int32_t length, bool found, size_t inputSize) {
    require(found == (text != nullptr));
    require(text != nullptr || length == 0);
    if (text) require(length > 0 && static_cast<size_t>(length) <= inputSize && text[length] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* head = new char[size];
    if (size) std::memcpy(head, data, size);
    ResponseHeader record;
    parseResponseHeader(head, size, &record);

    require((record.version == -1) == (record.status == kResponseNone));
    require(record.contentLengthFound == (record.contentLength >= 0));
    checkText(record.contentType, record.contentTypeLength, record.contentTypeFound, size);
    checkText(record.location, record.locationLength, record.locationFound, size);
    checkText(record.fileName, record.fileNameLength, record.fileNameFound, size);
    for (int32_t i = 0; i < record.fileNameLength; ++i) {
        require(std::strchr("\"*/:<>?\\|", record.fileName[i]) == nullptr && record.fileName[i] != 0);
    }
    freeResponseHeader(&record);
    delete[] head;
    return 0;
}
