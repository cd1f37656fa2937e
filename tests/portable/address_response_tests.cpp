// Reading the address service's reply: only an "HTTP/1.1 200" head followed by at least one
// byte gives an address, and the body is taken exactly as it stands.
#include <doctest.h>

#include <string>
#include <vector>

#include "AddressResponse.h"

namespace {

struct Read {
    AddressResponse result;
    std::string body;
};

Read readReply(const std::string& reply) {
    // An exactly-sized heap copy, so that a read past the end shows under the sanitizers.
    std::vector<char> copy(reply.begin(), reply.end());
    size_t offset = 0;
    Read read{findAddressBody(copy.data(), copy.size(), &offset), ""};
    if (read.result == AddressResponse::kAddress)
        read.body.assign(copy.data() + offset, copy.size() - offset);
    return read;
}

}  // namespace

TEST_CASE("address_reply_body_is_everything_after_the_first_blank_line") {
    struct Case {
        std::string reply;
        std::string body;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n1.2.3.4", "1.2.3.4"},
        {"HTTP/1.1 200 OK\r\n\r\n1.2.3.4\r\n", "1.2.3.4\r\n"},             // trailing line end kept
        {"HTTP/1.1 200 OK\r\n\r\n  5.6.7.8 ", "  5.6.7.8 "},               // blanks kept
        {"HTTP/1.1 200 OK\r\n\r\n\r\n\r\n9.9.9.9", "\r\n\r\n9.9.9.9"},    // the first blank line ends the head
        {"HTTP/1.1 200 OK\r\n\r\nx", "x"},                                 // one byte is enough
        {"HTTP/1.1 200 OK\r\n\r\n<html>error</html>", "<html>error</html>"},
        {std::string("HTTP/1.1 200 OK\r\n\r\n1.2\0.3.4", 27), std::string("1.2\0.3.4", 8)},
    };
    for (const Case& c : cases) {
        CAPTURE(c.reply);
        Read read = readReply(c.reply);
        CHECK(read.result == AddressResponse::kAddress);
        CHECK(read.body == c.body);
    }
    // A head longer than one receive buffer, with the body after it.
    std::string longHead = "HTTP/1.1 200 OK\r\nX-Padding: " + std::string(3000, 'p') + "\r\n\r\n1.2.3.4";
    CHECK(readReply(longHead).body == "1.2.3.4");
}

TEST_CASE("address_reply_without_a_200_head_and_a_body_gives_nothing") {
    struct Case {
        std::string reply;
        AddressResponse result;
    };
    const Case cases[] = {
        {"HTTP/1.1 404 Not Found\r\n\r\n1.2.3.4", AddressResponse::kNotOk},
        {"HTTP/1.1 500 Internal Server Error\r\n\r\n1.2.3.4", AddressResponse::kNotOk},
        {"HTTP/1.0 200 OK\r\n\r\n1.2.3.4", AddressResponse::kNotOk},
        {"\r\n\r\n1.2.3.4", AddressResponse::kNotOk},
        {"1.2.3.4\r\n\r\nHTTP/1.1 200 OK", AddressResponse::kNotOk},
        {"HTTP/1.1 200 OK\r\n\r\n", AddressResponse::kEmptyBody},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", AddressResponse::kEmptyBody},
        {"HTTP/1.1 200 OK\r\n\r", AddressResponse::kNoHead},
        {"HTTP/1.1 200 OK\n\n1.2.3.4", AddressResponse::kNoHead},   // bare line feeds do not end a head
        {"HTTP/1.1 200 OK", AddressResponse::kNoHead},
        {"\r\n\r", AddressResponse::kNoHead},
        {"", AddressResponse::kNoHead},
    };
    for (const Case& c : cases) {
        CAPTURE(c.reply);
        CHECK(readReply(c.reply).result == c.result);
    }
    size_t offset = 7;
    CHECK(findAddressBody(nullptr, 0, &offset) == AddressResponse::kNoHead);
    CHECK(offset == 7);
}
