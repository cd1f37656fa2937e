// The saved downloads list: the exact value the registry holds, and what a damaged or hand-made
// value restores.
#include <doctest.h>

#include <string>
#include <vector>

#include "DownloadsListCodec.h"

namespace {

const char16_t RS = kRecordSeparator;

std::u16string valueOf(const std::vector<DownloadRecord>& records) {
    std::u16string value;
    for (const DownloadRecord& r : records)
        REQUIRE(appendDownloadRecord(r, &value));
    finishDownloadsList(&value);
    return value;
}

std::vector<DownloadRecord> read(const std::u16string& value) { return readDownloadsList(value.data(), value.size()); }

// One stored record with its NUL, the list's final NUL appended.
std::u16string list(std::initializer_list<std::u16string> records) {
    std::u16string value;
    for (const std::u16string& r : records) {
        value += r;
        value += char16_t(0);
    }
    value += char16_t(0);
    return value;
}

DownloadRecord example() {
    DownloadRecord r;
    r.localPath = u"C:\\Downloads\\big.iso";
    r.url = u"http://example.test/big.iso";
    r.fileFlag = true;
    r.size = 1048576;
    r.connections = 3;
    r.ranges = {{0, 131071}, {524288, 1048575}};
    return r;
}

}  // namespace

TEST_CASE("downloads_list_value_is_byte_exact") {
    const std::u16string expected = std::u16string(u"bC:\\Downloads\\big.iso") + RS + u"http://example.test/big.iso" +
                                    RS + u"1" + RS + u"1048576" + RS + u"3" + RS + RS + u"0-131071" + RS +
                                    u"524288-1048575" + RS + char16_t(0) + char16_t(0);
    CHECK(valueOf({example()}) == expected);

    // No record: two NULs, 4 bytes.
    CHECK(valueOf({}) == std::u16string(2, char16_t(0)));

    DownloadRecord fresh;
    fresh.localPath = u"C:\\d\\x";
    fresh.url = u"http://h/x";
    fresh.credentials = "dTpw";
    CHECK(valueOf({fresh}) == std::u16string(u"bC:\\d\\x") + RS + u"http://h/x" + RS + u"0" + RS + u"0" + RS + u"1" +
                                   RS + u"dTpw" + RS + char16_t(0) + char16_t(0));
}

TEST_CASE("downloads_list_reads_back_what_it_wrote") {
    DownloadRecord second;
    second.localPath = u"C:\\d\\\u00e9t\u00e9.bin";
    second.url = u"http://h:8080/\u00e9t\u00e9.bin";
    second.connections = 50;
    second.credentials = "dXNlcjpwYXNz";
    second.size = (int64_t{5} << 32) + 1;
    second.ranges = {{int64_t{1} << 32, (int64_t{5} << 32)}};
    const std::vector<DownloadRecord> back = read(valueOf({example(), second}));
    REQUIRE(back.size() == 2);
    CHECK(back[0].localPath == example().localPath);
    CHECK(back[0].url == example().url);
    CHECK(back[0].fileFlag);
    CHECK(back[0].size == 1048576);
    CHECK(back[0].connections == 3);
    CHECK(back[0].credentials.empty());
    REQUIRE(back[0].ranges.size() == 2);
    CHECK(back[0].ranges[1].start == 524288);
    CHECK(back[0].ranges[1].end == 1048575);
    CHECK(back[1].localPath == second.localPath);
    CHECK(back[1].url == second.url);
    CHECK_FALSE(back[1].fileFlag);
    CHECK(back[1].size == second.size);
    CHECK(back[1].connections == 50);
    CHECK(back[1].credentials == "dXNlcjpwYXNz");
    REQUIRE(back[1].ranges.size() == 1);
    CHECK(back[1].ranges[0].end == (int64_t{5} << 32));
}

TEST_CASE("downloads_list_needs_two_closing_nuls") {
    const std::u16string record = std::u16string(u"bp") + RS + u"u" + RS;
    CHECK(read(list({record})).size() == 1);
    CHECK(read(std::u16string(2, char16_t(0))).empty());
    CHECK(read(u"").empty());
    CHECK(read(record + char16_t(0)).empty());   // one NUL only
    CHECK(read(record).empty());
    // Records end at the first empty one.
    CHECK(read(list({record, u"", record})).size() == 1);
}

TEST_CASE("downloads_list_skips_bad_records_one_by_one") {
    const std::u16string good = std::u16string(u"bp") + RS + u"u" + RS + u"1" + RS + u"10" + RS;
    const std::vector<DownloadRecord> back = read(list({
        std::u16string(u"ap") + RS + u"u" + RS,                          // not "b"
        std::u16string(u"bp") + RS + u"u",                               // URL not ended by RS
        std::u16string(u"bp") + RS + u"u" + RS + u"1" + RS + u"1x" + RS, // size not decimal
        std::u16string(u"bp") + RS + u"u" + RS + u"1" + RS + u"-5" + RS,
        std::u16string(u"bp") + RS + u"u" + RS + u"1" + RS + u"99999999999999999999" + RS,
        good,
    }));
    REQUIRE(back.size() == 1);
    CHECK(back[0].size == 10);
    CHECK(back[0].fileFlag);
    CHECK(back[0].connections == 1);   // missing fields keep their defaults

    // Empty path, URL and size fields are present fields.
    const std::vector<DownloadRecord> empty = read(list({std::u16string(u"b") + RS + RS + u"x" + RS + RS}));
    REQUIRE(empty.size() == 1);
    CHECK(empty[0].localPath.empty());
    CHECK(empty[0].size == 0);
    CHECK_FALSE(empty[0].fileFlag);
}

TEST_CASE("downloads_list_connections_and_ranges_are_bounded") {
    auto connections = [](const std::u16string& text) {
        const auto back = read(list({std::u16string(u"bp") + RS + u"u" + RS + u"0" + RS + u"0" + RS + text + RS}));
        REQUIRE(back.size() == 1);
        return back[0].connections;
    };
    CHECK(connections(u"0") == 1);
    CHECK(connections(u"three") == 1);
    CHECK(connections(u"") == 1);
    CHECK(connections(u"80") == 50);
    CHECK(connections(u"99999999999999999999") == 50);
    CHECK(connections(u"016") == 16);

    const auto back = read(list({std::u16string(u"bp") + RS + u"u" + RS + u"1" + RS + u"1000" + RS + u"2" + RS + RS +
                                 u"0-9" + RS + u"20" + RS + u"3a-5" + RS + u"-" + RS + u"40-" + RS + u"7-8-9" + RS +
                                 u"99999999999999999999-1" + RS + u"100-199" + RS + u"300-399"}));
    REQUIRE(back.size() == 1);
    const std::vector<ByteRange>& r = back[0].ranges;
    REQUIRE(r.size() == 4);   // "20", "3a-5", "7-8-9", the overflow and the unended field are skipped
    CHECK((r[0].start == 0 && r[0].end == 9));
    CHECK((r[1].start == 0 && r[1].end == 0));     // "-": both sides empty
    CHECK((r[2].start == 40 && r[2].end == 0));    // the list cleans empty ranges, not the reader
    CHECK((r[3].start == 100 && r[3].end == 199));
}

TEST_CASE("downloads_list_never_writes_a_record_that_reads_back_differently") {
    DownloadRecord r = example();
    r.url = std::u16string(u"http://h/a") + RS + u"5" + char16_t(0) + u"b";
    std::u16string value;
    REQUIRE(appendDownloadRecord(r, &value));
    finishDownloadsList(&value);
    const auto back = read(value);
    REQUIRE(back.size() == 1);
    CHECK(back[0].url == u"http://h/a%1E5%00b");
    CHECK(back[0].size == 1048576);

    DownloadRecord badPath = example();
    badPath.localPath = std::u16string(u"C:\\a") + RS;
    std::u16string untouched = u"x";
    CHECK_FALSE(appendDownloadRecord(badPath, &untouched));
    CHECK(untouched == u"x");

    // Credentials are bytes; units above 0xFF keep their low byte, and a NUL or RS among them
    // makes them none.
    const auto creds = read(list({std::u16string(u"bp") + RS + u"u" + RS + u"0" + RS + u"0" + RS + u"1" + RS +
                                  u"\u0141b" + RS}));
    REQUIRE(creds.size() == 1);
    CHECK(creds[0].credentials == "Ab");
    const auto dropped = read(list({std::u16string(u"bp") + RS + u"u" + RS + u"0" + RS + u"0" + RS + u"1" + RS +
                                    u"\u011Eb" + RS}));
    REQUIRE(dropped.size() == 1);
    CHECK(dropped[0].credentials.empty());
}
