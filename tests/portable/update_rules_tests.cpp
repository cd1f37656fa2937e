// What the updater reads from the web service: the version number of the check (digits only,
// after the first blank line), the signature and signed-version headers, the text signed ahead
// of the installer, and the installer gathered receive by receive through the 4096-byte window
// into exactly content-length bytes.
#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "UpdateRules.h"

namespace {

int32_t version(const std::string& response) {
    // An exactly-sized heap copy, so that a read past the end shows under the sanitizers.
    std::vector<char> copy(response.begin(), response.end());
    return parseUpdateVersion(copy.data(), copy.size());
}

const std::string kSignatureText = std::string(86, 'A') + "==";   // 64 zero bytes

struct Download {
    bool accepted = true;
    bool complete = false;
    std::string file;
    bool signature = false;
    int32_t signedVersion = 0;
};

// Feeds the pieces as separate receives, the way the downloader does; a piece larger than the
// free window is cut as a receive would be.
Download download(const std::vector<std::string>& pieces) {
    InstallerReceiver receiver;
    Download result;
    for (const std::string& piece : pieces) {
        size_t at = 0;
        while (at < piece.size() && result.accepted) {
            size_t count = piece.size() - at;
            if (count > receiver.freeBytes())
                count = receiver.freeBytes();
            memcpy(receiver.freeSpace(), piece.data() + at, count);
            at += count;
            result.accepted = receiver.take(count);
        }
    }
    result.complete = receiver.complete();
    result.signature = receiver.hasSignature();
    result.signedVersion = receiver.signedVersion();
    int64_t length = receiver.contentLength();
    char* file = receiver.releaseFile();
    if (file)
        result.file.assign(file, static_cast<size_t>(length));
    delete[] file;
    return result;
}

// signatures: the headers the service sends beside the installer.
std::string head(const std::string& status, const std::string& type, size_t length,
                 const std::string& signatures = "X-Wexa-Version: 122\r\nX-Wexa-Version-Signature: " + kSignatureText +
                                                 "\r\n") {
    return status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(length) + "\r\n" +
           signatures + "\r\n";
}

}  // namespace

TEST_CASE("check_response_gives_a_version_only_for_a_body_of_digits") {
    struct Case {
        std::string response;
        int32_t version;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n122", 122},
        {"HTTP/1.1 404 Not Found\r\n\r\n122", 122},        // the status line is not read
        {"HTTP/1.1 200 OK\r\nX: y\r\n\r\n45", 45},
        {"HTTP/1.1 200 OK\r\n\r\n0", 0},                   // no version
        {"HTTP/1.1 200 OK\r\n\r\n", 0},                    // empty body
        {"HTTP/1.1 200 OK\r\n\r\n122\r\n", 0},             // CR is not a digit
        {"HTTP/1.1 200 OK\r\n\r\n 122", 0},
        {"HTTP/1.1 200 OK\r\n\r\n12a", 0},
        {"HTTP/1.1 200 OK\r\n\r\n-1", 0},
        {"HTTP/1.1 200 OK\r\n\r\n\r\n\r\n5", 0},           // the first blank line ends the head
        {"HTTP/1.1 200 OK\r\n\r\n99999999999999999999", 0},  // no overflow into a small number
        {"\r\n\r\n7", 7},
        {"122", 0},                                        // no head at all
        {"", 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.response);
        CHECK(version(c.response) == c.version);
    }
    VersionParts parts = versionParts(122);
    CHECK((parts.major == 1 && parts.minor == 2 && parts.patch == 2));
    parts = versionParts(1309);
    CHECK((parts.major == 13 && parts.minor == 0 && parts.patch == 9));
}

TEST_CASE("signature_header_must_hold_exactly_64_bytes_of_base64") {
    struct Case {
        std::string header;
        bool found;
    };
    const Case cases[] = {
        {"X-Wexa-Version-Signature: " + kSignatureText, true},
        {"x-wexa-version-signature:" + kSignatureText + "  ", true},
        {"X-Wexa-Version-Signature: " + kSignatureText.substr(0, 84), false},   // truncated: 63 bytes
        {"X-Wexa-Version-Signature: " + kSignatureText + "AAAA", false},        // 67 bytes
        {"X-Wexa-Version-Signature: " + std::string(85, 'A') + "!==", false},  // not Base64
        {"X-Wexa-Version-Signature-Old: " + kSignatureText, false},
        // The signature of the installer alone, for older programs, is not the version's.
        {"X-Wexa-Signature: " + kSignatureText, false},
        {"X-Other: " + kSignatureText, false},
    };
    for (const Case& c : cases) {
        CAPTURE(c.header);
        std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + c.header + "\r\n\r\n";
        std::vector<char> copy(text.begin(), text.end());
        uint8_t signature[kSignatureBytes];
        memset(signature, 0xAB, sizeof signature);
        CHECK(findInstallerSignature(copy.data(), copy.size(), kVersionSignatureHeader, signature) == c.found);
        if (c.found)
            CHECK(std::vector<uint8_t>(signature, signature + 64) == std::vector<uint8_t>(64, 0));
    }
}

TEST_CASE("signed_version_is_digits_only_and_its_text_leads_the_signed_bytes") {
    struct Case {
        std::string header;
        int32_t version;
    };
    const Case cases[] = {
        {"X-Wexa-Version: 122", 122},  {"x-wexa-version:123  ", 123}, {"X-Wexa-Version: 99999999", 99999999},
        {"X-Wexa-Version: 122\t", 122}, {"X-Wexa-Version: 0", 0},      {"X-Wexa-Version: 1.2.2", 0},
        {"X-Wexa-Version: 122x", 0},   {"X-Wexa-Version: -122", 0},   {"X-Wexa-Version: 123456789", 0},
        {"X-Wexa-Version:", 0},        {"X-Wexa-Versions: 122", 0},   {"X-Other: 122", 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.header);
        std::string text = "HTTP/1.1 200 OK\r\n" + c.header + "\r\n\r\n";
        std::vector<char> copy(text.begin(), text.end());
        CHECK(findSignedVersion(copy.data(), copy.size()) == c.version);
    }
    char out[kSignedVersionTextBytes];
    size_t length = signedVersionText(122, out, sizeof out);
    CHECK(std::string(out, length) == "Wexa-Share update 122\n");
    length = signedVersionText(99999999, out, sizeof out);
    CHECK(std::string(out, length) == "Wexa-Share update 99999999\n");
    CHECK(signedVersionText(0, out, sizeof out) == 0);
    CHECK(signedVersionText(122, out, 21) == 0);   // one short of the text
}

TEST_CASE("installer_is_gathered_whole_from_pieces_and_cut_at_its_content_length") {
    std::string installer;
    for (int i = 0; i < 20000; ++i)
        installer += static_cast<char>(i * 7 + 3);
    std::string response = head("HTTP/1.1 200 OK", "application/octet-stream", installer.size()) + installer;

    // One byte at a time, then in receive-sized and odd pieces: the same file each time.
    for (size_t size : {size_t(1), size_t(13), size_t(4096), size_t(5000), response.size()}) {
        CAPTURE(size);
        std::vector<std::string> pieces;
        for (size_t at = 0; at < response.size(); at += size)
            pieces.push_back(response.substr(at, size));
        Download result = download(pieces);
        CHECK(result.accepted);
        CHECK(result.complete);
        CHECK(result.signature);
        CHECK(result.signedVersion == 122);
        CHECK(result.file == installer);
    }

    // More body than announced: only content-length bytes are kept, and nothing is refused.
    Download longer = download({head("HTTP/1.1 200 OK", "application/octet-stream", 10) + "0123456789EXTRA",
                                "MORE BYTES"});
    CHECK(longer.accepted);
    CHECK(longer.file == "0123456789");

    // Cut short: not complete, nothing to hand over.
    Download cut = download({head("HTTP/1.1 200 OK", "application/octet-stream", 10) + "01234"});
    CHECK(cut.accepted);
    CHECK_FALSE(cut.complete);
    CHECK(cut.file.empty());

    // The signature is carried, not required, here: the downloader refuses an unsigned file,
    // one signed for older programs only, and one whose version is missing.
    const std::string unsignedHeads[] = {
        "",
        "X-Wexa-Signature: " + kSignatureText + "\r\n",
        "X-Wexa-Version-Signature: " + kSignatureText + "\r\n",
        "X-Wexa-Version: 1.2.2\r\nX-Wexa-Version-Signature: " + kSignatureText + "\r\n",
    };
    for (const std::string& signatures : unsignedHeads) {
        CAPTURE(signatures);
        Download unsigned_ = download({head("HTTP/1.1 200 OK", "application/octet-stream", 3, signatures) + "abc"});
        CHECK(unsigned_.complete);
        CHECK_FALSE(unsigned_.signature);
    }
}

TEST_CASE("installer_download_refuses_every_other_answer") {
    const std::string cases[] = {
        head("HTTP/1.1 200 OK", "text/html", 3) + "abc",
        head("HTTP/1.1 404 Not Found", "application/octet-stream", 3) + "abc",
        head("HTTP/1.0 200 OK", "application/octet-stream", 3) + "abc",
        head("HTTP/1.1 206 Partial Content", "application/octet-stream", 3) + "abc",
        head("HTTP/1.1 200 OK", "application/octet-stream", 0),
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc",                           // no type
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\nabc",     // no length
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 99999999999999999999\r\n\r\n",
        // More than any installer: not allocated on the service's word.
        head("HTTP/1.1 200 OK", "application/octet-stream", 300u * 1024 * 1024) + "abc",
        // A head that fills the whole window without ending.
        "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(5000, 'p'),
    };
    for (const std::string& response : cases) {
        CAPTURE(response.substr(0, 80));
        Download result = download({response});
        CHECK_FALSE(result.accepted);
        CHECK(result.file.empty());
    }
    // The media type is matched without regard to case, parameters aside.
    CHECK(download({head("HTTP/1.1 200 OK", "Application/Octet-Stream; x=1", 3) + "abc"}).file == "abc");
}
