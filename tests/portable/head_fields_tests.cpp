// The response-head fields the downloader checks itself: status codes of any HTTP/1.1 answer,
// raw field values, and Content-Range, whose numbers decide which bytes are written where.
#include <doctest.h>

#include <cstring>
#include <string>

#include "HeadFields.h"

namespace {
int code(const char* head) { return headStatusCode(head, strlen(head)); }
}  // namespace

TEST_CASE("status codes are read from HTTP/1.1 status lines only") {
    CHECK(code("HTTP/1.1 302 Found\r\n\r\n") == 302);
    CHECK(code("http/1.1 308\r\n\r\n") == 308);
    CHECK(code("HTTP/1.0 302 Found\r\n\r\n") == 0);
    CHECK(code("HTTP/1.1 30\r\n\r\n") == 0);
    CHECK(code("HTTP/1.1 3021 Found\r\n\r\n") == 0);
    CHECK(code("HTTP/1.1 099 x\r\n\r\n") == 0);
    CHECK(code("HTTP/1.1 ") == 0);
    for (int redirect : {301, 302, 303, 307, 308})
        CHECK(isRedirectStatus(redirect));
    for (int other : {300, 304, 305, 306, 200, 206})
        CHECK_FALSE(isRedirectStatus(other));
}

TEST_CASE("a field's value is its last line's, after the colon's blanks, whatever the status") {
    const char head[] =
        "HTTP/1.1 307 Temporary\r\nLOCATION:   http://a/one\r\nX: y\r\nlocation:http://b/two;x\r\n\r\n"
        "Location: http://after/the/head\r\n";
    std::string value;
    REQUIRE(headField(head, strlen(head), "location", &value));
    CHECK(value == "http://b/two;x");
    CHECK_FALSE(headField(head, strlen(head), "content-range", &value));
    // A blank before the colon is another name; the status line is no field.
    const char odd[] = "Location: http://status/line\r\nLocation : x\r\n\r\n";
    CHECK_FALSE(headField(odd, strlen(odd), "location", &value));
    // A head cut short still gives what it holds, and nothing beyond its length is read.
    const char cut[] = "HTTP/1.1 302 F\r\nLocation: http://a/b";
    REQUIRE(headField(cut, strlen(cut), "location", &value));
    CHECK(value == "http://a/b");
    CHECK_FALSE(headField(cut, 20, "location", &value));
}

TEST_CASE("Content-Range values are accepted only when well formed and inside their total") {
    struct Case {
        const char* value;
        bool ok;
        int64_t first, last, total;
    };
    const Case cases[] = {
        {"bytes 0-99/100", true, 0, 99, 100},
        {"BYTES 5-5/6", true, 5, 5, 6},
        {"bytes 10-19/*", true, 10, 19, -1},
        {"bytes 0-9223372036854775806/9223372036854775807", true, 0, 9223372036854775806LL, 9223372036854775807LL},
        {"bytes 0-99/100 ", true, 0, 99, 100},
        {"bytes 0-100/100", false, 0, 0, 0},
        {"bytes 9-8/100", false, 0, 0, 0},
        {"bytes */100", false, 0, 0, 0},
        {"bytes 0-99", false, 0, 0, 0},
        {"bytes -1-99/100", false, 0, 0, 0},
        {"bytes 0-99/100x", false, 0, 0, 0},
        {"bytes 0-99/92233720368547758070", false, 0, 0, 0},
        {"items 0-99/100", false, 0, 0, 0},
        {"bytes0-99/100", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.value);
        ContentRange range = {-7, -7, -7};
        CHECK(parseContentRange(c.value, &range) == c.ok);
        if (c.ok) {
            CHECK(range.first == c.first);
            CHECK(range.last == c.last);
            CHECK(range.total == c.total);
        } else {
            CHECK(range.first == -7);
        }
    }
    const char head[] = "HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-199/1000\r\n\r\n";
    ContentRange range;
    REQUIRE(headContentRange(head, strlen(head), &range));
    CHECK(range.first == 100);
}
