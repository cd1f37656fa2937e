// A download's URL and names: host, port and path from the typed text, the file name a path
// gives, the "(n)" names tried when a file exists, and server-suggested names that must stay
// inside the download folder.
#include <doctest.h>

#include <string>

#include "DownloadUrl.h"

namespace {

struct Split {
    bool ok;
    std::u16string host;
    bool portGiven;
    uint16_t port;
    std::u16string path;
};

Split split(const std::u16string& url) {
    UrlParts parts{};
    Split s{};
    s.ok = splitDownloadUrl(url.data(), url.size(), &parts);
    if (s.ok) {
        s.host = url.substr(parts.hostStart, parts.hostLength);
        s.portGiven = parts.portGiven;
        s.port = parts.port;
        s.path = url.substr(parts.pathStart);
    }
    return s;
}

std::u16string fileNameOf(const std::u16string& path) { return urlFileName(path.data(), path.size()); }

std::u16string dispositionOf(const std::string& name) { return safeDispositionName(name.data(), name.size()); }

std::u16string localNameOf(const std::u16string& path) { return localPathFileName(path.data(), path.size()); }

std::u16string numbered(const std::u16string& path, int n) { return numberedPath(path.data(), path.size(), n); }

}  // namespace

TEST_CASE("url_split_into_host_port_and_path") {
    struct Row {
        const char16_t* url;
        const char16_t* host;
        bool portGiven;
        uint16_t port;
        const char16_t* path;
    };
    const Row rows[] = {
        {u"http://example.test/files/a.zip", u"example.test", false, 0, u"/files/a.zip"},
        {u"http://example.test/", u"example.test", false, 0, u"/"},
        {u"example.test/a", u"example.test", false, 0, u"/a"},
        {u"http://127.0.0.1:8080/a?x=1&y=/z", u"127.0.0.1", true, 8080, u"/a?x=1&y=/z"},
        {u"http://h:65535/", u"h", true, 65535, u"/"},
        {u"http://h:1/", u"h", true, 1, u"/"},
        // An unusable port is dropped, but the host is still cut at the colon.
        {u"http://h:0/", u"h", false, 0, u"/"},
        {u"http://h:65536/", u"h", false, 0, u"/"},
        {u"http://h:80a/", u"h", false, 0, u"/"},
        {u"http://h:00000000080/", u"h", false, 0, u"/"},   // 11 digits
        {u"http://h:0000000080/", u"h", true, 80, u"/"},    // 10 digits
        {u"http://h:99999999999999999999/", u"h", false, 0, u"/"},
        // A colon first or last is not a port separator.
        {u"http://:80/", u":80", false, 0, u"/"},
        {u"http://h:/", u"h:", false, 0, u"/"},
        // No user part: the user name is read as the host, with an invalid port.
        {u"http://user:pw@h/f", u"user", false, 0, u"/f"},
        // A scheme-less URL whose query holds another URL keeps its own host.
        {u"h.test/get?u=http://other/f", u"h.test", false, 0, u"/get?u=http://other/f"},
        {u"ftp://h/a://b", u"h", false, 0, u"/a://b"},
    };
    for (const Row& row : rows) {
        CAPTURE(std::string(row.url, row.url + std::char_traits<char16_t>::length(row.url)));
        const Split s = split(row.url);
        REQUIRE(s.ok);
        CHECK(s.host == row.host);
        CHECK(s.portGiven == row.portGiven);
        if (row.portGiven)
            CHECK(s.port == row.port);
        CHECK(s.path == row.path);
    }

    for (const char16_t* bad : {u"http://example.test", u"example.test", u"http:///a", u"/a", u""})
        CHECK_FALSE(split(bad).ok);
}

TEST_CASE("url_scheme_https_means_tls_and_port_443_unless_given") {
    struct Row {
        const char16_t* url;
        bool secure;
        uint16_t port;   // the port the download uses
    };
    const Row rows[] = {
        {u"https://h/f", true, 443},
        {u"HTTPS://h/f", true, 443},
        {u"hTtPs://h:8443/f", true, 8443},
        {u"https://h:0/f", true, 443},   // an unusable port leaves the scheme's
        {u"http://h/f", false, 80},
        {u"h/f", false, 80},
        {u"httpsx://h/f", false, 80},
        {u"ftp://h/f", false, 80},
        // Only a scheme before the first "/" counts.
        {u"h/get?u=https://other/f", false, 80},
        {u"https:/h/f", false, 80},
    };
    for (const Row& row : rows) {
        CAPTURE(std::string(row.url, row.url + std::char_traits<char16_t>::length(row.url)));
        std::u16string url = row.url;
        UrlParts parts{};
        REQUIRE(splitDownloadUrl(url.data(), url.size(), &parts));
        CHECK(parts.secure == row.secure);
        CHECK((parts.portGiven ? parts.port : defaultPort(parts)) == row.port);
    }
}

TEST_CASE("url_file_names_are_safe_in_the_download_folder") {
    CHECK(fileNameOf(u"/files/a.zip") == u"a.zip");
    CHECK(fileNameOf(u"/") == u"download");
    CHECK(fileNameOf(u"/dir/") == u"dir");
    CHECK(fileNameOf(u"/dir//") == u"download");
    CHECK(fileNameOf(u"/dir\\") == u"dir");
    CHECK(fileNameOf(u"/get?id=3&x=a/b") == u"b");
    // What a file name cannot hold becomes "_"; a query keeps its text.
    CHECK(fileNameOf(u"/file.bin?x=1") == u"file.bin_x=1");
    CHECK(fileNameOf(u"/a\\b:c*d\"e<f>g|h\x01") == u"a_b_c_d_e_f_g_h_");
    // Decoded paths can spell folders and devices.
    CHECK(fileNameOf(u"/a/..") == u"download");
    CHECK(fileNameOf(u"/a/.") == u"download");
    CHECK(fileNameOf(u"/notes.txt. .") == u"notes.txt");
    CHECK(fileNameOf(u"/con") == u"_con");
    CHECK(fileNameOf(u"/LPT1.txt") == u"_LPT1.txt");
    CHECK(fileNameOf(u"/console") == u"console");
    CHECK(fileNameOf(u"/com10") == u"com10");
}

TEST_CASE("local_path_file_name") {
    CHECK(localNameOf(u"C:\\dl\\a.zip") == u"a.zip");
    CHECK(localNameOf(u"C:\\dl/b") == u"b");
    CHECK(localNameOf(u"c") == u"c");
    CHECK(localNameOf(u"C:\\dl\\") == u"D");
    CHECK(localNameOf(u"") == u"D");
}

TEST_CASE("numbered_paths_go_before_the_extension_of_the_file_name") {
    CHECK(numbered(u"C:\\dl\\file.zip", 1) == u"C:\\dl\\file(1).zip");
    CHECK(numbered(u"C:\\dl\\file.zip", 9) == u"C:\\dl\\file(9).zip");
    CHECK(numbered(u"C:\\dl\\a.tar.gz", 2) == u"C:\\dl\\a.tar(2).gz");
    // A dot in a folder name is not the file's extension.
    CHECK(numbered(u"C:\\my.files\\readme", 3) == u"C:\\my.files\\readme(3)");
}

TEST_CASE("disposition_names_cannot_leave_the_folder") {
    CHECK(dispositionOf("report.pdf") == u"report.pdf");
    CHECK(dispositionOf("../../evil.exe") == u"evil.exe");
    CHECK(dispositionOf("..\\..\\Windows\\x.dll") == u"x.dll");
    CHECK(dispositionOf("C:x.dll") == u"C_x.dll");
    CHECK(dispositionOf("file.txt:stream") == u"file.txt_stream");
    CHECK(dispositionOf("NUL.txt") == u"_NUL.txt");
    CHECK(dispositionOf("aux") == u"_aux");
    CHECK(dispositionOf("name. . ") == u"name");
    // Unusable: the caller keeps the URL's name.
    CHECK(dispositionOf("..") == u"");
    CHECK(dispositionOf("dir/") == u"");
    CHECK(dispositionOf(" . ") == u"");
    CHECK(dispositionOf("") == u"");
    // One unit per byte.
    CHECK(dispositionOf("caf\xE9.txt") == u"caf\u00E9.txt");
}
