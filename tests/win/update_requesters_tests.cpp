// The update check and the installer download against scripted loopback peers: the exact
// requests, the version record, and the installer handed over only whole and only with a
// signature that verifies against the key the downloader was given (the system's BCrypt does
// the checking, so these run the real verification).
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "EngineFixture.h"
#include "LoopbackPeer.h"
#include "TrafficCounters.h"
#include "UpdateDownloader.h"
#include "UpdateRequester.h"
#include "UpdateSignature.h"

namespace {

// A throw-away key pair made for these tests; the signatures below were made with the first,
// over "Wexa-Share update <version>\n" followed by the message.
const uint8_t kSigningKey[64] = {
    0x7a, 0xbd, 0xde, 0x38, 0xba, 0x6b, 0xe3, 0x0e, 0x21, 0xee, 0xdc, 0x8c, 0xc0, 0xea, 0x53, 0x89,
    0xe2, 0x23, 0x97, 0x99, 0x24, 0x9d, 0xdc, 0xf6, 0x95, 0x73, 0x65, 0x5c, 0x59, 0xfb, 0xe9, 0xca,
    0x12, 0x43, 0x52, 0x5d, 0x10, 0x55, 0x94, 0x3e, 0x53, 0xd2, 0x11, 0x69, 0xc3, 0xeb, 0xb5, 0x52,
    0x71, 0x99, 0xa6, 0x96, 0xef, 0x75, 0x85, 0x32, 0x35, 0x16, 0x4a, 0xa6, 0xf4, 0x23, 0x17, 0xc8,
};
const uint8_t kOtherKey[64] = {
    0x3a, 0x91, 0x07, 0x86, 0xd8, 0x3c, 0x22, 0xa2, 0x11, 0x9c, 0x66, 0xbe, 0x56, 0xdc, 0x35, 0x1f,
    0x0c, 0x0b, 0x08, 0x76, 0xab, 0xe5, 0xda, 0x64, 0xc4, 0x07, 0xae, 0xd4, 0x71, 0x78, 0x15, 0xfc,
    0xc4, 0x7c, 0x0d, 0x7f, 0xd6, 0x24, 0xe0, 0xf7, 0xda, 0x24, 0xea, 0x44, 0x2e, 0x21, 0x43, 0xe8,
    0x73, 0x73, 0x34, 0x0b, 0x9c, 0xb6, 0x41, 0xe3, 0xdf, 0xf7, 0xb2, 0x28, 0xdf, 0x20, 0xa9, 0xe1,
};
const uint8_t kSignature[64] = {   // version 122
    0xb0, 0x42, 0x5d, 0xa5, 0xec, 0x7a, 0x99, 0xad, 0xc8, 0x5e, 0xea, 0x01, 0x4c, 0x17, 0xa4, 0x48,
    0xe1, 0xf5, 0x8f, 0x2d, 0xe6, 0x43, 0x4b, 0xce, 0xd4, 0xfe, 0xb1, 0xa5, 0xe7, 0x5f, 0x90, 0x46,
    0x58, 0xe5, 0x53, 0x0c, 0x64, 0x71, 0x58, 0xd9, 0xc7, 0x8f, 0xad, 0xef, 0xbe, 0x9a, 0xe5, 0x80,
    0x92, 0x50, 0x6a, 0x67, 0x8d, 0x13, 0x62, 0x50, 0xc8, 0xb4, 0xe1, 0xec, 0xd5, 0xe7, 0x5d, 0xf5,
};
const char kSignatureBase64[] = "sEJdpex6ma3IXuoBTBekSOH1jy3mQ0vO1P6xpedfkEZY5VMMZHFY2cePre++muWAklBqZ40TYlDItOHs1edd9Q==";
// The same message signed as version 121, this program's own, and signed alone (no version),
// as the service signs for programs up to 1.2.1.
const char kSignature121Base64[] = "yiszF5fD/xOrPK8Vnp0S+A5OXWFdA70qrzYM8LFTPcJ+UgTd9wvILebZEcXCRq9YQKSLTXPU8m8EmB/lWvtCwQ==";
const char kUnversionedBase64[] = "OYXgtTkkOAjuAL1wcBssH/DGGVYQwV2UcA33Yj/mX8A6WyaHCKbthm9CV+LpBh/5UKHMu8ijgfXWxMOOPxP2vg==";
const std::string kMessage = "installer bytes for the signature test";

bool verify(const uint8_t* key, std::string message, const uint8_t* signature, int32_t version = 122) {
    return verifyInstallerSignature(nullptr, L"test", key, version, message.data(), message.size(), signature);
}

struct Outcome {
    bool ended = false;
    int records = 0;
    bool recordBeforeEnd = false;
    int32_t version = 0;
    std::string file;
    std::string signature;
};

// Runs one requester or downloader to its end message; records are freed here.
Outcome run(EngineFixture& engine, OutboundObject* object, UINT endMessage) {
    DWORD id = object->id();
    Outcome outcome;
    if (!engine.server()->addObject(object)) {
        delete object;
        return outcome;
    }
    DWORD start = GetTickCount();
    while (!outcome.ended && GetTickCount() - start < 15000) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_UPDATE_VERSION && msg.wParam == id) {
                UpdateVersion* record = reinterpret_cast<UpdateVersion*>(msg.lParam);
                ++outcome.records;
                outcome.recordBeforeEnd = !outcome.ended;
                outcome.version = record->version;
                delete record;
            } else if (msg.message == WM_UPDATE_FILE && msg.wParam == id) {
                UpdateFile* record = reinterpret_cast<UpdateFile*>(msg.lParam);
                ++outcome.records;
                outcome.recordBeforeEnd = !outcome.ended;
                outcome.file.assign(record->bytes, record->length);
                outcome.version = record->version;
                outcome.signature.assign(reinterpret_cast<const char*>(record->signature), 64);
                delete[] record->bytes;
                delete record;
            } else if (msg.message == endMessage && msg.wParam == id) {
                outcome.ended = true;
            } else {
                DispatchMessageW(&msg);
            }
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    return outcome;
}

// signature goes in the version-bound header with version; legacy, when given, in the header
// older programs read.
std::string installerResponse(const std::string& body, const std::string& signature, size_t length,
                              const char* version = "122", const std::string& legacy = "") {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                       std::to_string(length) + "\r\n";
    if (version)
        head += std::string("X-Wexa-Version: ") + version + "\r\n";
    if (!signature.empty())
        head += "X-Wexa-Version-Signature: " + signature + "\r\n";
    if (!legacy.empty())
        head += "X-Wexa-Signature: " + legacy + "\r\n";
    return head + "\r\n" + body;
}

}  // namespace

TEST_CASE("signature verifies only the signed version and bytes under the signing key") {
    CHECK(verify(kSigningKey, kMessage, kSignature));
    // The version is part of what is signed: the same bytes under another version do not verify.
    CHECK_FALSE(verify(kSigningKey, kMessage, kSignature, 123));
    CHECK_FALSE(verify(kSigningKey, kMessage, kSignature, 12));
    CHECK_FALSE(verify(kSigningKey, kMessage, kSignature, 0));
    std::string flipped = kMessage;
    flipped[7] ^= 1;
    CHECK_FALSE(verify(kSigningKey, flipped, kSignature));
    CHECK_FALSE(verify(kSigningKey, kMessage + "x", kSignature));
    CHECK_FALSE(verify(kOtherKey, kMessage, kSignature));
    uint8_t damaged[64];
    memcpy(damaged, kSignature, 64);
    damaged[40] ^= 0x80;
    CHECK_FALSE(verify(kSigningKey, kMessage, damaged));
    // A point that is not on the curve is refused, not trusted.
    uint8_t notAKey[64] = {1};
    CHECK_FALSE(verify(notAKey, kMessage, kSignature));
}

TEST_CASE("update check sends its exact request and posts only a version of digits") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    struct Case {
        std::vector<std::string> pieces;
        int records;
        int32_t version;
    };
    const Case cases[] = {
        {{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r", "\n1", "22"}, 1, 122},
        {{"HTTP/1.1 500 Oops\r\n\r\n45"}, 1, 45},
        {{"HTTP/1.1 200 OK\r\n\r\n122\r\n"}, 0, 0},
        {{"HTTP/1.1 200 OK\r\n\r\n0"}, 0, 0},
        {{"HTTP/1.1 200 OK\r\n\r\n"}, 0, 0},
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.version);
        TrafficCounters counters;
        ScriptedPeer service(c.pieces, 20);
        Outcome outcome = run(engine, new UpdateRequester(engine.server(), engine.window().handle(), &counters,
                                                          "127.0.0.1", service.listener.port),
                              WM_UPDATE_CHECK_ENDED);
        service.thread.join();
        CHECK(service.request == "GET /update.php?mode=check HTTP/1.1\r\nUser-Agent: Wexa-Share/1.2.1\r\n"
                                 "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
        REQUIRE(outcome.ended);
        CHECK(outcome.records == c.records);
        CHECK(outcome.version == c.version);
        if (c.records)
            CHECK(outcome.recordBeforeEnd);
        ULONGLONG sent = 0, received = 0;
        counters.read(&sent, &received);
        CHECK(sent == service.request.size());
        size_t answered = 0;
        for (const std::string& piece : c.pieces)
            answered += piece.size();
        CHECK(received == answered);
    }
    CHECK(engine.server()->objectCount() == 0);
}

TEST_CASE("installer download hands over only a whole installer with a good signature") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    std::string flipped = kMessage;
    flipped[0] ^= 1;
    std::string truncated(kSignatureBase64, 84);
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        const uint8_t* key;
        bool handed;
    };
    std::string good = installerResponse(kMessage, kSignatureBase64, kMessage.size());
    const Case cases[] = {
        {"good, in pieces", {good.substr(0, 50), good.substr(50, 100), good.substr(150)}, kSigningKey, true},
        {"good, with bytes past its length", {good + "TRAILING GARBAGE"}, kSigningKey, true},
        {"one flipped byte", {installerResponse(flipped, kSignatureBase64, kMessage.size())}, kSigningKey, false},
        {"signed by another key", {good}, kOtherKey, false},
        {"no signature header", {installerResponse(kMessage, "", kMessage.size())}, kSigningKey, false},
        {"truncated signature", {installerResponse(kMessage, truncated, kMessage.size())}, kSigningKey, false},
        // An older release's signature claimed for a newer version, and the same bytes honestly
        // signed as this program's own version: neither is an update.
        {"version raised over its signature", {installerResponse(kMessage, kSignature121Base64, kMessage.size())},
         kSigningKey, false},
        {"signed version not newer", {installerResponse(kMessage, kSignature121Base64, kMessage.size(), "121")},
         kSigningKey, false},
        {"no version header", {installerResponse(kMessage, kSignatureBase64, kMessage.size(), nullptr)}, kSigningKey,
         false},
        {"only the signature for older programs",
         {installerResponse(kMessage, "", kMessage.size(), "122", kUnversionedBase64)}, kSigningKey, false},
        {"both signatures, as the service sends them",
         {installerResponse(kMessage, kSignatureBase64, kMessage.size(), "122", kUnversionedBase64)}, kSigningKey,
         true},
        {"cut short", {installerResponse(kMessage.substr(0, 10), kSignatureBase64, kMessage.size())}, kSigningKey,
         false},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        ScriptedPeer service(c.pieces, 20);
        Outcome outcome = run(engine, new UpdateDownloader(engine.server(), engine.window().handle(), nullptr, c.key,
                                                           "127.0.0.1", service.listener.port),
                              WM_UPDATE_DOWNLOAD_ENDED);
        service.thread.join();
        CHECK(service.request == "GET /update.php HTTP/1.1\r\nUser-Agent: Wexa-Share/1.2.1\r\n"
                                 "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
        REQUIRE(outcome.ended);
        CHECK(outcome.records == (c.handed ? 1 : 0));
        if (c.handed) {
            CHECK(outcome.recordBeforeEnd);
            CHECK(outcome.file == kMessage);
            CHECK(outcome.version == 122);
            CHECK(outcome.signature == std::string(reinterpret_cast<const char*>(kSignature), 64));
        }
    }
    CHECK(engine.server()->objectCount() == 0);
}

TEST_CASE("a service that stalls ends the check and the download as failed ones") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    const DWORD limit = 600;
    std::string body = installerResponse(kMessage, kSignatureBase64, kMessage.size());
    struct Case {
        const char* what;
        bool download;
        std::vector<std::string> pieces;   // the first, then a long silence before the rest
    };
    const Case cases[] = {
        {"check, silent from the start", false, {"", "HTTP/1.1 200 OK\r\n\r\n122"}},
        // Had the exchange been read as complete, "12" would be a version record.
        {"check, silent after part of its answer", false, {"HTTP/1.1 200 OK\r\n\r\n12", "2"}},
        {"download, silent after part of its body", true, {body.substr(0, body.size() - 5), body.substr(body.size() - 5)}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        ScriptedPeer service(c.pieces, 5000);
        ServiceRequest* request;
        if (c.download)
            request = new UpdateDownloader(engine.server(), engine.window().handle(), nullptr, kSigningKey, "127.0.0.1",
                                           service.listener.port);
        else
            request = new UpdateRequester(engine.server(), engine.window().handle(), nullptr, "127.0.0.1",
                                          service.listener.port);
        request->setIdleLimit(limit);
        DWORD start = GetTickCount();
        Outcome outcome = run(engine, request, c.download ? WM_UPDATE_DOWNLOAD_ENDED : WM_UPDATE_CHECK_ENDED);
        DWORD took = GetTickCount() - start;
        REQUIRE(outcome.ended);
        CHECK(outcome.records == 0);
        // Ended by the limit, well before the peer's silence was over.
        CHECK(took >= limit);
        CHECK(took < 3500);
        service.thread.join();
    }
    CHECK(engine.server()->objectCount() == 0);
    CHECK(ServiceRequest::kIdleLimitMilliseconds == 30000);
}
