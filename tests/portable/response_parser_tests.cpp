// Response-head parser: the five status lines, the six fields and their value rules, and heads
// that end early or carry stray bytes. Heads are parsed from exactly-sized heap copies.
#include <doctest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ResponseHeader.h"

namespace {

struct Parsed {
    ResponseHeader record;
    ResponseParseResult result;
    explicit Parsed(const std::string& head) {
        std::vector<char> copy(head.begin(), head.end());
        result = parseResponseHeader(copy.data(), copy.size(), &record);
    }
    ~Parsed() { freeResponseHeader(&record); }
    static std::string text(const char* s, int32_t n) { return s ? std::string(s, static_cast<size_t>(n)) : "<null>"; }
    std::string type() const { return text(record.contentType, record.contentTypeLength); }
    std::string fileName() const { return text(record.fileName, record.fileNameLength); }
    std::string location() const { return text(record.location, record.locationLength); }
};

std::string head(const std::string& statusLine, const std::string& headers = "") {
    return statusLine + "\r\n" + headers + "\r\n";
}

}  // namespace

TEST_CASE("status_lines_recognised_on_their_first_12_bytes") {
    const struct {
        const char* line;
        int status;
    } cases[] = {
        {"HTTP/1.1 200 OK", kResponseOk},
        {"http/1.1 206 partial content", kResponsePartial},
        {"HTTP/1.1 404 Not Found", kResponseNotFound},
        {"HTTP/1.1 301 Moved Permanently", kResponseMoved},
        {"HTTP/1.1 401 Unauthorized", kResponseAuthNeeded},
        {"HTTP/1.1 200", kResponseOk},
        {"HTTP/1.1 2000", kResponseOk},      // nothing after the 12th byte is looked at
        {"HTTP/1.1 302 Found", kResponseNone},
        {"HTTP/1.0 200 OK", kResponseNone},
        {"HTTP/1.1 20", kResponseNone},      // shorter than 12 bytes
        {"HTTP/1.1  200 OK", kResponseNone},
        {"", kResponseNone},
    };
    for (const auto& c : cases) {
        CAPTURE(c.line);
        Parsed p(head(c.line, "Content-Length: 5\r\n"));
        CHECK(p.record.status == c.status);
        CHECK(p.record.version == (c.status == kResponseNone ? -1 : kResponseVersion11));
        // Header lines are read only after a recognised status line.
        CHECK(p.record.contentLengthFound == (c.status != kResponseNone));
    }
}

TEST_CASE("content_length_values") {
    const struct {
        const char* line;
        bool found;
        int64_t length;
    } cases[] = {
        {"Content-Length: 1234", true, 1234},
        {"content-length:1234", true, 1234},
        {"Content-Length: 1234 ", false, -1},
        {"Content-Length: 12;x", true, 12},
        {"Content-Length: ", false, -1},
        {"Content-Length: -5", false, -1},
        {"Content-Length: 0x10", false, -1},
        {"Content-Length: 9223372036854775807", true, INT64_MAX},
        {"Content-Length: 9223372036854775808", false, -1},
        {"Content-Length: 18446744073709551617", false, -1},
        {"Content-Length : 5", false, -1},
        {"Content-Length\t: 5", false, -1},
    };
    for (const auto& c : cases) {
        CAPTURE(c.line);
        Parsed p(head("HTTP/1.1 200 OK", std::string(c.line) + "\r\n"));
        CHECK(p.record.contentLengthFound == c.found);
        CHECK(p.record.contentLength == c.length);
    }
    // The last valid occurrence wins; an invalid later one does not undo it.
    Parsed p(head("HTTP/1.1 200 OK", "Content-Length: 1\r\nContent-Length: 2\r\nContent-Length: x\r\n"));
    CHECK(p.record.contentLength == 2);
}

TEST_CASE("accept_ranges_content_type_location") {
    const struct {
        const char* line;
        bool ranges;
    } acceptRanges[] = {
        {"Accept-Ranges: bytes", true}, {"accept-ranges: BYTES", true}, {"Accept-Ranges: bytes x", true},
        {"Accept-Ranges: none", false}, {"Accept-Ranges: bytesx", false}, {"Accept-Ranges:", false},
    };
    for (const auto& c : acceptRanges) {
        CAPTURE(c.line);
        Parsed p(head("HTTP/1.1 206 Partial", std::string(c.line) + "\r\n"));
        CHECK(p.record.byteRanges == c.ranges);
    }
    Parsed later(head("HTTP/1.1 200 OK", "Accept-Ranges: bytes\r\nAccept-Ranges: none\r\n"));
    CHECK(later.record.byteRanges);

    Parsed p(head("HTTP/1.1 301 Moved",
                  "Content-Type: text/html; charset=utf-8\r\n"
                  "Location: http://host:8080/a b/c?d=e&f;g\r\n"));
    CHECK(p.type() == "text/html");
    CHECK(p.record.contentTypeFound);
    CHECK(p.record.contentTypeLength == 9);
    CHECK(p.location() == "http://host:8080/a b/c?d=e&f");
    CHECK(p.record.locationFound);

    Parsed empty(head("HTTP/1.1 200 OK", "Content-Type: ;x\r\nLocation:\r\n"));
    CHECK_FALSE(empty.record.contentTypeFound);
    CHECK(empty.record.contentType == nullptr);
    CHECK_FALSE(empty.record.locationFound);

    Parsed twice(head("HTTP/1.1 200 OK", "Content-Type: a/b\r\nContent-Type: c/d\r\nContent-Type: \r\n"));
    CHECK(twice.type() == "c/d");
}

TEST_CASE("content_disposition_file_names") {
    const struct {
        const char* value;
        bool found;
        const char* name;
    } cases[] = {
        {"attachment; filename=\"report.pdf\"", true, "report.pdf"},
        {"attachment; filename=\"a/b:c.txt\"", true, "abc.txt"},
        {"attachment; filename=\"x.zip\"; size=10", true, "x.zip; size=10"},
        {"attachment; FileName=\"x.zip\"", false, "<null>"},
        {"attachment; filename*=UTF-8''x.zip", false, "<null>"},
        {"attachment; filename=", false, "<null>"},
        {"attachment; filename=\"\"", false, "<null>"},
        {"attachment; filename=\"*?<>|\\\\\"", false, "<null>"},
        {"filename=plain.txt", true, "plain.txt"},
        {"attachment; filename=\"..\\\\..\\\\evil.exe\"", true, "....evil.exe"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.value);
        Parsed p(head("HTTP/1.1 200 OK", std::string("Content-Disposition: ") + c.value + "\r\n"));
        CHECK(p.record.fileNameFound == c.found);
        CHECK(p.fileName() == c.name);
    }
    // A NUL byte in the name is dropped, not taken as its end.
    const char raw[] = "HTTP/1.1 200 OK\r\nContent-Disposition: filename=a\0b\r\n\r\n";
    Parsed nul(std::string(raw, sizeof raw - 1));
    CHECK(nul.fileName() == "ab");
    // A later name that cleans to nothing clears an earlier one.
    Parsed cleared(head("HTTP/1.1 200 OK",
                        "Content-Disposition: filename=a.txt\r\nContent-Disposition: filename=\"\"\r\n"));
    CHECK_FALSE(cleared.record.fileNameFound);
    CHECK(cleared.record.fileName == nullptr);
    CHECK(cleared.record.fileNameLength == 0);
}

TEST_CASE("head_shapes_and_hostile_bytes") {
    Parsed statusOnly("HTTP/1.1 200 OK\r\n\r\n");
    CHECK(statusOnly.record.status == kResponseOk);
    CHECK_FALSE(statusOnly.record.contentLengthFound);
    CHECK(statusOnly.record.contentType == nullptr);

    // Nothing after the empty line is read.
    Parsed afterEnd("HTTP/1.1 200 OK\r\n\r\nContent-Length: 5\r\n\r\n");
    CHECK_FALSE(afterEnd.record.contentLengthFound);

    // No terminator: the end of the bytes ends the last line.
    Parsed noEnd("HTTP/1.1 200 OK\r\nContent-Length: 77");
    CHECK(noEnd.record.contentLength == 77);
    Parsed noCrLf("HTTP/1.1 200 OK");
    CHECK(noCrLf.record.status == kResponseOk);
    Parsed cut("HTTP/1.1 20");
    CHECK(cut.record.status == kResponseNone);
    Parsed nothing("");
    CHECK(nothing.record.version == -1);

    // A lone LF or CR does not end a line.
    Parsed loneLf("HTTP/1.1 200 OK\nContent-Length: 5\r\n\r\n");
    CHECK(loneLf.record.status == kResponseOk);
    CHECK_FALSE(loneLf.record.contentLengthFound);
    Parsed loneCr("HTTP/1.1 200 OK\r\nContent-Type: a\rLocation: b\r\n\r\n");
    CHECK(loneCr.type() == "a\rLocation: b");
    CHECK_FALSE(loneCr.record.locationFound);

    Parsed colonFirst(head("HTTP/1.1 200 OK", ": x\r\nContent-Length: 3\r\n"));
    CHECK(colonFirst.record.contentLength == 3);

    // 10,000 header lines; 4,096-byte single lines.
    std::string many;
    for (int i = 0; i < 10000; ++i) many += "X-Filler: " + std::to_string(i) + "\r\n";
    Parsed lots(head("HTTP/1.1 200 OK", many + "Content-Length: 9\r\n"));
    CHECK(lots.record.contentLength == 9);
    const std::string longLocation = "Location: " + std::string(4096 - 10, 'x');
    Parsed longLine(head("HTTP/1.1 301 Moved", longLocation + "\r\n"));
    CHECK(longLine.record.locationLength == 4086);
    Parsed longStatus("HTTP/1.1 200 " + std::string(4096 - 13, 'k') + "\r\n\r\n");
    CHECK(longStatus.record.status == kResponseOk);
    CHECK(lots.result == ResponseParseResult::kParsed);
}
