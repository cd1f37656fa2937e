// Receiving files without the system: finding the file part in bodies that arrive in pieces
// through the fixed request buffer, the exact length of the file's data, the cut of fields
// sent after the file, and the names a sender can make us store.
#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "UploadParts.h"

namespace {

const size_t kBuffer = 4096;
const std::string kBoundary = "----WexaTestBoundary7MA4YWxk";

std::string field(const std::string& name, const std::string& value) {
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string filePart(const std::string& fieldName, const std::string& fileName, const std::string& data) {
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + fieldName + "\"; filename=\"" +
           fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n";
}

std::string closing() { return "--" + kBoundary + "--\r\n"; }

struct Outcome {
    PartScan scan = PartScan::NeedMore;
    std::string rawName;
    int64_t expected = -1;
    std::string stored;  // what ends up in the file: data from the header block on, cut as the receiver cuts
};

// Feeds body in pieces of chunk bytes as the connection does, then stores the rest the way the
// receive pipeline does (all of the body, cut to the expected size and before trailing parts).
Outcome receive(const std::string& body, size_t chunk) {
    Outcome out;
    PartScanner scanner;
    char buffer[kBuffer];
    size_t used = 0;
    size_t fed = 0;
    FilePart part{};
    while (true) {
        size_t n = std::min(chunk, std::min(body.size() - fed, kBuffer - used));
        memcpy(buffer + used, body.data() + fed, n);
        used += n;
        fed += n;
        out.scan = scanForFilePart(&scanner, buffer, &used, kBuffer, kBoundary.data(), kBoundary.size(), &part);
        if (out.scan != PartScan::NeedMore || fed == body.size())
            break;
    }
    if (out.scan != PartScan::FilePart)
        return out;
    out.rawName.assign(buffer + part.nameOffset, part.nameLength);
    out.expected = expectedFileSize(static_cast<int64_t>(body.size()), scanner.consumed, part.headerLength,
                                    kBoundary.size());
    // The body from the file's data on is what reaches the disk.
    CHECK(std::string(buffer + part.headerLength, used - part.headerLength) ==
          body.substr(scanner.consumed + part.headerLength, used - part.headerLength));
    if (out.expected < 0)
        return out;
    std::string disk = body.substr(scanner.consumed + part.headerLength);
    disk.resize(out.expected);
    size_t start = disk.size() > 1024 ? disk.size() - 1024 : 0;
    int64_t cut = findTrailingParts(disk.data() + start, disk.size() - start, kBoundary.data(), kBoundary.size());
    if (cut >= 0)
        disk.resize(start + cut);
    out.stored = disk;
    return out;
}

std::string bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

std::u16string decode(const std::string& raw) {
    std::vector<char16_t> out(raw.size() + kUploadNameExtra);
    size_t n = decodeUploadName(raw.data(), raw.size(), out.data(), out.size());
    return std::u16string(out.data(), n);
}

}  // namespace

TEST_CASE("the file's data is stored exactly, whatever comes around it and however it arrives") {
    struct Case {
        const char* what;
        std::string body;
        std::string data;
    };
    std::string small = bytes(100, 1);
    std::string big = bytes(20000, 2);
    std::string withDelimiterLookalike = "x\r\n--" + kBoundary.substr(0, 10) + "\r\n--\r\n\r\n" + bytes(50, 3);
    std::vector<Case> cases = {
        {"form post, file only", filePart("file", "a.bin", small) + closing(), small},
        {"empty file", filePart("file", "a.bin", "") + closing(), ""},
        {"fields before and after the file",
         field("Filename", "a.bin") + filePart("Filedata", "a.bin", small) + field("Upload", "Submit Query") + closing(),
         small},
        {"empty file with a field after it",
         filePart("Filedata", "a.bin", "") + field("Upload", "Submit Query") + closing(), ""},
        {"large file with a field after it",
         field("Filename", "a.bin") + filePart("Filedata", "a.bin", big) + field("Upload", "Submit Query") + closing(),
         big},
        {"preamble before the first part", "ignored preamble\r\n" + filePart("file", "a.bin", small) + closing(), small},
        {"a field larger than the request buffer before the file",
         field("notes", bytes(3 * kBuffer, 4)) + filePart("file", "a.bin", small) + closing(), small},
        {"data that looks like a delimiter but is not one",
         filePart("file", "a.bin", withDelimiterLookalike) + closing(), withDelimiterLookalike},
        {"a blank line inside a field's value", field("x", "a\r\n\r\nb") + filePart("file", "a.bin", small) + closing(),
         small},
    };
    for (const Case& c : cases) {
        for (size_t chunk : {size_t(1), size_t(7), size_t(100), kBuffer}) {
            CAPTURE(c.what);
            CAPTURE(chunk);
            Outcome out = receive(c.body, chunk);
            REQUIRE(out.scan == PartScan::FilePart);
            CHECK(out.rawName == "a.bin");
            CHECK(out.stored == c.data);
        }
    }
}

TEST_CASE("bodies without a usable file part") {
    struct Case {
        const char* what;
        std::string body;
        PartScan scan;
    };
    std::vector<Case> cases = {
        {"fields only", field("a", "1") + field("b", "2") + closing(), PartScan::NeedMore},
        {"file name without its closing quote",
         "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\r\n\r\nxx\r\n" + closing(),
         PartScan::NeedMore},
        {"no boundary at all", std::string(10000, 'z'), PartScan::NeedMore},
        {"part headers that never end", "--" + kBoundary + "\r\nX-Pad: " + std::string(5000, 'p'),
         PartScan::HeadersTooLong},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        CHECK(receive(c.body, 333).scan == c.scan);
    }
    // An empty filename is still a file part: the caller answers that no file was chosen.
    Outcome empty = receive(filePart("file", "", "") + closing(), 50);
    CHECK(empty.scan == PartScan::FilePart);
    CHECK(empty.rawName.empty());
    // A Content-Length smaller than the parts it carries gives no size at all.
    std::string body = filePart("file", "a.bin", "") + closing();
    PartScanner scanner;
    std::string copy = body;
    size_t used = copy.size();
    FilePart part{};
    REQUIRE(scanForFilePart(&scanner, &copy[0], &used, kBuffer, kBoundary.data(), kBoundary.size(), &part) ==
            PartScan::FilePart);
    CHECK(expectedFileSize(10, scanner.consumed, part.headerLength, kBoundary.size()) < 0);
}

TEST_CASE("stored names never leave the uploads folder or name a device; other names pass as sent") {
    struct Case {
        std::string raw;
        std::u16string stored;
    };
    std::vector<Case> cases = {
        {"photo.jpg", u"photo.jpg"},
        {"C:\\Users\\ann\\Pictures\\photo.jpg", u"photo.jpg"},
        {"/home/ann/photo.jpg", u"photo.jpg"},
        {"&#1055;&#1088;.txt", u"\u041f\u0440.txt"},
        {"\xd0\x9f\xd1\x80.txt", u"\u041f\u0440.txt"},
        {"&#31;a&#63744;b&#123456;&#;&#x41;.txt", u"&#31;a&#63744;b&#123456;&#;&#x41;.txt"},
        {"&#65;&#00066;", u"AB"},
        // References that spell separators, drives or streams are decoded after the folders
        // were dropped: they must not become them.
        {"..&#92;..&#92;evil.exe", u".._.._evil.exe"},
        {"..&#47;..&#47;evil.exe", u".._.._evil.exe"},
        {"C&#58;&#92;Windows&#92;evil.exe", u"C__Windows_evil.exe"},
        {"a.txt&#58;hidden", u"a.txt_hidden"},
        {"a.txt:hidden", u"a.txt_hidden"},
        {"&#46;&#46;", u""},
        {"..", u""},
        {".", u""},
        {"dir\\..", u""},
        {"&#46;", u""},
        {". .", u""},
        {"&#46;&#46;&#46; ", u""},
        // A NUL would cut the name short in the system's calls.
        {std::string("a\0b.txt", 7), u"a_b.txt"},
        // What the file system only refuses is left for creating the file to refuse (409).
        {"a*?<>|\".txt", u"a*?<>|\".txt"},
        {"tab\there", u"tab\there"},
        {"report.pdf. . ", u"report.pdf. . "},
        {"report.pdf&#46;", u"report.pdf."},
        {"..a", u"..a"},
        // Device names, with or without extension or trailing dots, in any case.
        {"CON", u"_CON"},
        {"con.txt", u"_con.txt"},
        {"NUL", u"_NUL"},
        {"nul.tar.gz", u"_nul.tar.gz"},
        {"COM1", u"_COM1"},
        {"com9.log", u"_com9.log"},
        {"LPT1.", u"_LPT1."},
        {"CON. ", u"_CON. "},
        {"lpt3 .txt", u"_lpt3 .txt"},
        {"AUX", u"_AUX"},
        {"prn.doc", u"_prn.doc"},
        {"CONIN$", u"_CONIN$"},
        {"COM\xc2\xb9", u"_COM\u00b9"},
        {"C&#79;N", u"_CON"},
        // Near misses stay as they are.
        {"CONSOLE.txt", u"CONSOLE.txt"},
        {"COM10", u"COM10"},
        {"nullable.txt", u"nullable.txt"},
        {"x.con", u"x.con"},
        // Not UTF-8, or nothing left: no name.
        {"\xff\xfe.txt", u""},
        {"C:\\dir\\", u""},
        {"", u""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.raw);
        CHECK(decode(c.raw) == c.stored);
    }
}

TEST_CASE("numbered names of a taken file") {
    struct Case {
        std::u16string name;
        unsigned n;
        std::u16string numbered;
    };
    std::vector<Case> cases = {
        {u"report.pdf", 1, u"report(1).pdf"},
        {u"report.pdf", 9, u"report(9).pdf"},
        {u"archive.tar.gz", 2, u"archive.tar(2).gz"},
        {u"README", 3, u"README(3)"},
        {u".profile", 1, u"(1).profile"},
    };
    for (const Case& c : cases) {
        char16_t out[64];
        size_t n = numberedName(c.name.data(), c.name.size(), c.n, out, 64);
        CHECK(std::u16string(out, n) == c.numbered);
    }
    // A buffer that is too small is left alone and the needed length is reported.
    char16_t tiny[4] = {u'x', u'x', u'x', u'x'};
    CHECK(numberedName(u"report.pdf", 10, 1, tiny, 4) == 13);
    CHECK(tiny[0] == u'x');
}

TEST_CASE("the name on the answer page is plain text of bounded length") {
    char out[kUploadHtmlNameCapacity];
    std::u16string name = u"a b<i>\u041f.txt";
    size_t n = uploadNameForHtml(name.data(), name.size(), out);
    CHECK(std::string(out, n) == "a&#32;b&#60;i&#62;&#1055;.txt");

    // Long names stop once 115 bytes are written and never overflow, whatever the units.
    for (char16_t unit : {u'a', u'<', u'\uffff'}) {
        std::u16string longName(300, unit);
        n = uploadNameForHtml(longName.data(), longName.size(), out);
        CHECK(n >= 115);
        CHECK(n < kUploadHtmlNameCapacity);
        CHECK(out[n] == 0);
        CHECK(out[n - 1] != '&');
    }
}

TEST_CASE("fields after the file are found only where a whole delimiter starts") {
    struct Case {
        std::string window;
        int64_t cut;
    };
    std::string b = kBoundary;
    std::vector<Case> cases = {
        {"data\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"Upload\"\r\n\r\nSubmit", 4},
        {"\r\n--" + b, 0},
        {"data\r\n--" + b.substr(0, 5), -1},
        {"data\r\n-" + b, -1},
        {"\r\n--\r\n--" + b + "x", 4},
        {"", -1},
    };
    for (const Case& c : cases) {
        CAPTURE(c.window);
        CHECK(findTrailingParts(c.window.data(), c.window.size(), b.data(), b.size()) == c.cut);
    }
}

TEST_CASE("a quoted boundary is used without its quotes") {
    const char* text = "\"abc\"";
    size_t length = 5;
    unquoteBoundary(&text, &length);
    CHECK(std::string(text, length) == "abc");
    const char* bare = "\"abc";
    length = 4;
    unquoteBoundary(&bare, &length);
    CHECK(length == 4);
}
