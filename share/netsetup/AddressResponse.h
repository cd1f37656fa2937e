// Reading the address service's answer to "/getip.php": the body of an "HTTP/1.1 200" response
// is the caller's public address, taken as it stands. Portable; the address box converts the
// body to UTF-16 and shows it.
#pragma once
#include <cstddef>

enum class AddressResponse {
    kAddress,      // *bodyOffset is where the address starts; it runs to the end of the bytes
    kNoHead,       // no blank line (CR LF CR LF) anywhere
    kNotOk,        // the head is not "HTTP/1.1 200"
    kEmptyBody,    // nothing after the blank line
};

// bytes: everything received until the service closed the connection.
AddressResponse findAddressBody(const char* bytes, size_t length, size_t* bodyOffset);

// The requester keeps what it receives up to this size; a longer answer is not an address.
constexpr size_t kAddressResponseMaxBytes = 64 * 1024;
