// Request-head parser: request line, target decoding, the six headers the server acts on, and
// hostile heads (no terminator, stray CR or LF, NUL bytes, very many or very long lines). Every
// head is parsed from an exactly-sized heap copy so a read past its length trips ASan.
#include <doctest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "HttpRequest.h"

namespace {

struct Parsed {
    HttpRequest request;
    explicit Parsed(const std::string& head) {
        std::vector<char> copy(head.begin(), head.end());
        parseRequestHead(&request, copy.data(), copy.size());
    }
    ~Parsed() { freeRequest(&request); }
    std::string path() const { return request.path ? std::string(request.path, request.pathLength) : "<null>"; }
    std::string display() const {
        return request.displayPath ? std::string(request.displayPath, request.displayPathLength) : "<null>";
    }
    std::string text(const char* s, size_t n) const { return s ? std::string(s, n) : "<null>"; }
};

std::string head(const std::string& requestLine, const std::string& headers = "") {
    return requestLine + "\r\n" + headers + "\r\n";
}

}  // namespace

TEST_CASE("request_line_method_version_and_path") {
    const struct {
        const char* line;
        int method;
        int version;
        const char* path;
    } cases[] = {
        {"GET /a%20b.txt HTTP/1.1", kMethodGet, kVersion11, "/a b.txt"},
        {"get / http/1.0", kMethodGet, kVersion10, "/"},
        {"Get / Http/1.1", kMethodGet, kVersion11, "/"},
        {"HEAD /x HTTP/1.1", kMethodHead, kVersion11, "/x"},
        {"POST /send_file.post HTTP/1.1", kMethodPost, kVersion11, "/send_file.post"},
        {"TESTCON / HTTP/1.1", kMethodTestcon, kVersion11, "/"},
        {"TESTCON", kMethodTestcon, kVersionUnknown, "<null>"},       // method kept without the rest
        {"testcon garbage", kMethodTestcon, kVersionUnknown, "garbage"},
        {"GET / HTTP/1.2", kMethodGet, kVersionUnknown, "/"},
        {"GET / HTTP/1.10", kMethodGet, kVersionUnknown, "/"},
        {"GET / HTTP/1.1 extra", kMethodGet, kVersion11, "/"},
        {"GET / HTTPS/1.1", kMethodGet, kVersionUnknown, "/"},
        {"GET / HTTP", kMethodGet, kVersionUnknown, "/"},
        {"GET / HTTP/", kMethodGet, kVersionUnknown, "/"},
        {"GET /", kMethodGet, kVersionUnknown, "/"},
        {"GET  / HTTP/1.1", kMethodGet, kVersionUnknown, "<null>"},  // empty target
        {"GET", kMethodGet, kVersionUnknown, "<null>"},
        {"PUT / HTTP/1.1", kMethodUnknown, kVersionUnknown, "<null>"},
        {"GETX / HTTP/1.1", kMethodUnknown, kVersionUnknown, "<null>"},
        {" GET / HTTP/1.1", kMethodUnknown, kVersionUnknown, "<null>"},
        {"", kMethodUnknown, kVersionUnknown, "<null>"},
        {"GET /x?y=1 HTTP/1.1", kMethodGet, kVersion11, "/x"},
        {"GET /x%3Fy HTTP/1.1", kMethodGet, kVersion11, "/x"},         // the query is cut after decoding
        {"GET ?y HTTP/1.1", kMethodUnknown, kVersion11, ""},
        {"GET %3f HTTP/1.1", kMethodUnknown, kVersion11, ""},
        {"GET /a+b HTTP/1.1", kMethodGet, kVersion11, "/a+b"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.line);
        Parsed p(head(c.line));
        CHECK(p.request.method == c.method);
        CHECK(p.request.version == c.version);
        CHECK(p.path() == c.path);
        if (p.request.path) CHECK(p.request.path[p.request.pathLength] == 0);
    }
}

TEST_CASE("query_kept_apart_from_the_path") {
    const struct {
        const char* line;
        const char* query;   // null: no query
    } cases[] = {
        {"GET /Music/?zip HTTP/1.1", "zip"},
        {"GET /x?y=1?z HTTP/1.1", "y=1?z"},
        {"GET /x%3Fzip HTTP/1.1", "zip"},
        {"GET /x? HTTP/1.1", ""},
        {"GET /x HTTP/1.1", nullptr},
    };
    for (const auto& c : cases) {
        CAPTURE(c.line);
        Parsed p(head(c.line));
        REQUIRE((p.request.query != nullptr) == (c.query != nullptr));
        if (c.query)
            CHECK(std::string(p.request.query, p.request.queryLength) == c.query);
    }
}

TEST_CASE("target_decoding_takes_non_hex_digits_as_zero_and_drops_a_late_percent") {
    Parsed p(head("GET /%zz%4 HTTP/1.1"));
    CHECK(p.path() == std::string("/\0" "4", 3));
    Parsed q(head("GET /a% HTTP/1.1"));
    CHECK(q.path() == "/a");
    Parsed r(head("GET /%41%4a%4A HTTP/1.1"));
    CHECK(r.path() == "/AJJ");
}

TEST_CASE("display_path_escapes_every_unit_but_the_safe_set") {
    const struct {
        const char* target;
        const char* display;
    } cases[] = {
        {"/a%20b.txt", "&#47;a&#32;b.txt"},
        {"/x?q=1", "&#47;x&#63;q&#61;1"},                        // query kept in the display form
        {"/%C3%A9~_-.", "&#47;&#233;~_-."},
        {"/%F0%9F%98%80", "&#47;&#55357;&#56832;"},
        {"/<script>", "&#47;&#60;script&#62;"},
        {"/%E9", "<null>"},                                        // not UTF-8
        {"/%00", "&#47;&#0;"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.target);
        Parsed p(head(std::string("GET ") + c.target + " HTTP/1.1"));
        CHECK(p.display() == c.display);
    }
}

TEST_CASE("range_header_lists") {
    struct Case {
        const char* value;
        std::vector<ByteRange> ranges;  // empty: the header is ignored
    };
    const Case cases[] = {
        {"bytes=0-99,200-", {{0, 99}, {200, -1}}},
        {"bytes=0-99, 200-", {}},
        {"bytes=9-3", {}},
        {"bytes=0-0", {{0, 0}}},
        {"bytes=-500", {{-1, 500}}},
        {"bytes=-", {}},
        {"bytes=5", {}},
        {"bytes=", {}},
        {"bytes=,", {}},
        {"bytes=0-1,", {{0, 1}}},
        {"bytes=0-1,,2-3", {}},
        {"bytes=1-2-3", {}},
        {"bytes=a-1", {}},
        {"Bytes=1-2", {{1, 2}}},
        {"bytes =1-2", {}},
        {"items=1-2", {}},
        {"bytes=9223372036854775806-9223372036854775807", {{INT64_MAX - 1, INT64_MAX}}},
        {"bytes=9223372036854775807-", {{INT64_MAX, -1}}},
        {"bytes=-9223372036854775807", {{-1, INT64_MAX}}},
        {"bytes=0-9223372036854775808", {}},               // beyond 64 bits: ignored, not wrapped
        {"bytes=18446744073709551615-", {}},
        {"bytes=-18446744073709551616", {}},
        {"bytes=0-1,9999999999999999999999-", {}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.value);
        Parsed p(head("GET / HTTP/1.1", std::string("Range: ") + c.value + "\r\n"));
        CHECK(p.request.hasRange == !c.ranges.empty());
        REQUIRE(p.request.rangeCount == c.ranges.size());
        for (size_t i = 0; i < c.ranges.size(); ++i) {
            CHECK(p.request.ranges[i].first == c.ranges[i].first);
            CHECK(p.request.ranges[i].last == c.ranges[i].last);
        }
    }
    // The later header wins; an ignored later header leaves the earlier list.
    Parsed twice(head("GET / HTTP/1.1", "Range: bytes=1-2\r\nRange: bytes=3-4,5-6\r\nRange: bytes=x\r\n"));
    REQUIRE(twice.request.rangeCount == 2);
    CHECK(twice.request.ranges[1].first == 5);
}

TEST_CASE("host_content_length_content_type") {
    Parsed p(head("POST /send_file.post HTTP/1.1",
                  "Host: 192.168.0.2:8080\r\n"
                  "Content-Type: multipart/form-data; boundary=----abc\r\n"
                  "Content-Length: 12345\r\n"
                  "User-Agent: x\r\n"));
    CHECK(p.text(p.request.host, p.request.hostLength) == "192.168.0.2");
    CHECK(p.request.hasBoundary);
    CHECK(p.text(p.request.boundary, p.request.boundaryLength) == "----abc");
    CHECK(p.request.hasContentLength);
    CHECK(p.request.contentLength == 12345);

    const struct {
        const char* header;
        bool hasBoundary;
        const char* boundary;
    } types[] = {
        {"Content-Type: multipart/form-data", false, "<null>"},
        {"Content-Type: multipart/form-data;", false, "<null>"},
        {"Content-Type: multipart/form-data; boundary=", false, "<null>"},
        {"Content-Type: Multipart/Form-Data;boundary=\"q\";x=1", true, "\"q\""},
        {"Content-Type: text/plain; boundary=x", false, "<null>"},
        {"Content-Type: multipart/form-data; charset=x", false, "<null>"},
        {"Content-Type : multipart/form-data; boundary=x", false, "<null>"},  // blank before colon
    };
    for (const auto& t : types) {
        CAPTURE(t.header);
        Parsed q(head("POST / HTTP/1.1", std::string(t.header) + "\r\n"));
        CHECK(q.request.hasBoundary == t.hasBoundary);
        CHECK(q.text(q.request.boundary, q.request.boundaryLength) == t.boundary);
    }

    const struct {
        const char* value;
        bool has;
        int64_t length;
    } lengths[] = {
        {"0", true, 0},        {"10;x", true, 10},    {"", false, 0},   {"1 ", false, 0},
        {"-1", false, 0},      {"9223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
    };
    for (const auto& l : lengths) {
        CAPTURE(l.value);
        Parsed q(head("POST / HTTP/1.1", std::string("Content-Length: ") + l.value + "\r\n"));
        CHECK(q.request.hasContentLength == l.has);
        CHECK(q.request.contentLength == l.length);
    }

    Parsed noPort(head("GET / HTTP/1.1", "Host: example\r\nHost: :80\r\n"));
    CHECK(noPort.text(noPort.request.host, noPort.request.hostLength) == "example");  // empty later value ignored
}

TEST_CASE("expect_100_continue") {
    const struct {
        const char* headers;
        bool expect;
    } cases[] = {
        {"Expect: 100-continue\r\n", true},
        {"expect:100-Continue  \r\n", true},
        {"Expect: 100-continue-later\r\n", false},
        {"Expect: 200-ok\r\n", false},
        {"Expect: 100-continue\r\nExpect: x\r\n", false},  // the last one counts
        {"", false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.headers);
        Parsed p(head("POST /send_file.post HTTP/1.1", c.headers));
        CHECK(p.request.expectContinue == c.expect);
    }
}

TEST_CASE("basic_credentials") {
    const struct {
        const char* header;
        bool has;
        const char* user;
        const char* password;
    } cases[] = {
        {"Authorization: Basic dXNlcjpwYXNz", true, "user", "pass"},             // user:pass
        {"Authorization: basic dXNlcjpwYTpzcw==", true, "user", "pa"},           // user:pa:ss
        {"Authorization: Basic dXNlcjpwYXNz;x", true, "user", "pass"},
        {"Authorization: Basic OnA=", true, "", "p"},                            // :p
        {"Authorization: Basic dXNlcg==", false, "<null>", "<null>"},            // user (no colon)
        {"Authorization: Digest dXNlcjpwYXNz", false, "<null>", "<null>"},
        {"Authorization: Basic", false, "<null>", "<null>"},
        {"Authorization: Basic ", false, "<null>", "<null>"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.header);
        Parsed p(head("GET / HTTP/1.1", std::string(c.header) + "\r\n"));
        CHECK(p.request.hasCredentials == c.has);
        CHECK(p.text(p.request.user, p.request.userLength) == c.user);
        CHECK(p.text(p.request.password, p.request.passwordLength) == c.password);
    }
    // A long credential is cut by the decoder's limit, never overflowing it.
    std::string longCredential = "Authorization: Basic " + std::string(4000, 'O') + "\r\n";
    Parsed p(head("GET / HTTP/1.1", longCredential));
    CHECK_FALSE(p.request.hasCredentials);  // 'O's decode to no colon
}

TEST_CASE("headers_are_not_read_after_an_unknown_request_line_or_the_empty_line") {
    Parsed unknown(head("BREW / HTTP/1.1", "Host: h\r\n"));
    CHECK(unknown.request.host == nullptr);
    Parsed badVersion(head("GET / HTTP/2.0", "Host: h\r\n"));
    CHECK(badVersion.request.host == nullptr);
    Parsed afterBody(head("GET / HTTP/1.1", "") + "Host: h\r\n\r\n");
    CHECK(afterBody.request.host == nullptr);
    Parsed spaceName(head("GET / HTTP/1.1", "Host : h\r\nRange : bytes=0-1\r\n"));
    CHECK(spaceName.request.host == nullptr);
    CHECK_FALSE(spaceName.request.hasRange);
}

TEST_CASE("hostile_heads_stay_within_the_given_bytes") {
    // No terminator at all: lines end at the end of the bytes.
    Parsed noEnd("GET /a HTTP/1.1\r\nHost: h");
    CHECK(noEnd.request.version == kVersion11);
    CHECK(noEnd.text(noEnd.request.host, noEnd.request.hostLength) == "h");
    Parsed cutLine("GET /a HTTP/1.1\r");
    CHECK(cutLine.request.version == kVersionUnknown);  // "1.1\r" is four characters
    Parsed cutMethod("GE");
    CHECK(cutMethod.request.method == kMethodUnknown);

    // A lone LF or CR does not end a line.
    Parsed loneLf("GET /a HTTP/1.1\nHost: h\r\n\r\n");
    CHECK(loneLf.request.version == kVersionUnknown);
    Parsed loneCr("GET /a HTTP/1.1\r\nHost: h\rRange: bytes=0-1\r\n\r\n");
    CHECK(loneCr.text(loneCr.request.host, loneCr.request.hostLength) == "h\rRange");
    CHECK_FALSE(loneCr.request.hasRange);

    // NUL bytes are data, not terminators.
    const char withNuls[] = "GET /a\0b HTTP/1.1\r\nHost: x\0y\r\n\r\n";
    Parsed nul(std::string(withNuls, sizeof withNuls - 1));
    CHECK(nul.path() == std::string("/a\0b", 4));
    CHECK(nul.text(nul.request.host, nul.request.hostLength) == std::string("x\0y", 3));

    // 10,000 header lines, the last one meaningful.
    std::string many;
    for (int i = 0; i < 10000; ++i) many += "X-Filler: " + std::to_string(i) + "\r\n";
    Parsed lots(head("GET / HTTP/1.1", many + "Range: bytes=1-2\r\n"));
    CHECK(lots.request.hasRange);

    // One 4,096-byte line of each kind.
    std::string longTarget = "GET /" + std::string(4096 - 14, 'a') + " HTTP/1.1";
    REQUIRE(longTarget.size() == 4096);
    Parsed longLine(longTarget + "\r\n\r\n");
    CHECK(longLine.request.pathLength == 4096 - 13);
    std::string longRange = "Range: bytes=" + std::string(4096 - 14, '1') + "-";
    Parsed longValue(head("GET / HTTP/1.1", longRange + "\r\n"));
    CHECK_FALSE(longValue.request.hasRange);
    std::string manyRanges = "Range: bytes=";
    while (manyRanges.size() < 4090) manyRanges += "0-1,";
    Parsed rangeList(head("GET / HTTP/1.1", manyRanges + "\r\n"));
    CHECK(rangeList.request.rangeCount == (manyRanges.size() - 13) / 4);
}

TEST_CASE("freeRequest_resets_the_record") {
    Parsed p(head("GET /x HTTP/1.1", "Host: h\r\nRange: bytes=0-1\r\n"));
    freeRequest(&p.request);
    CHECK(p.request.path == nullptr);
    CHECK(p.request.ranges == nullptr);
    CHECK(p.request.method == kMethodUnknown);
    CHECK_FALSE(p.request.hasRange);
}
