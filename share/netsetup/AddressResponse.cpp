// The address service's answer: find the blank line, check the status line with the shared
// response-head parser, and point at the body.
#include "AddressResponse.h"

#include "ResponseHeader.h"

AddressResponse findAddressBody(const char* bytes, size_t length, size_t* bodyOffset) {
    size_t end = 0;
    bool found = false;
    for (size_t i = 3; bytes && i < length; ++i) {
        if (bytes[i - 3] == '\r' && bytes[i - 2] == '\n' && bytes[i - 1] == '\r' && bytes[i] == '\n') {
            end = i;
            found = true;
            break;
        }
    }
    if (!found)
        return AddressResponse::kNoHead;
    ResponseHeader head;
    // Only the status line matters here: a header text the parser could not keep changes nothing.
    parseResponseHeader(bytes, end + 1, &head);
    bool ok = head.version == kResponseVersion11 && head.status == kResponseOk;
    freeResponseHeader(&head);
    if (!ok)
        return AddressResponse::kNotOk;
    if (end + 1 >= length)
        return AddressResponse::kEmptyBody;
    *bodyOffset = end + 1;
    return AddressResponse::kAddress;
}
