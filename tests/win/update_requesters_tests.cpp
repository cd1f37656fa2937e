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

// A throw-away key pair made for these tests; the message below is signed with the first.
const uint8_t kSigningKey[64] = {
    0x4d, 0xb0, 0xec, 0x65, 0xe5, 0x21, 0x92, 0x9c, 0x2e, 0x35, 0x86, 0x09, 0x67, 0x1d, 0xe9, 0xe2,
    0xfd, 0xac, 0x94, 0xe1, 0xf5, 0xfa, 0x80, 0x76, 0xe5, 0xa9, 0xaf, 0xc6, 0xe7, 0xc3, 0x70, 0x91,
    0x84, 0xdb, 0x49, 0x48, 0x14, 0xd6, 0x5a, 0xcd, 0x3e, 0x63, 0x8a, 0x8a, 0xb6, 0xf7, 0xe2, 0xaa,
    0x8d, 0x94, 0x0e, 0x99, 0x21, 0x1c, 0xda, 0x6c, 0xaf, 0x6f, 0x13, 0x7d, 0x29, 0xb0, 0x35, 0x42,
};
const uint8_t kOtherKey[64] = {
    0x3a, 0x91, 0x07, 0x86, 0xd8, 0x3c, 0x22, 0xa2, 0x11, 0x9c, 0x66, 0xbe, 0x56, 0xdc, 0x35, 0x1f,
    0x0c, 0x0b, 0x08, 0x76, 0xab, 0xe5, 0xda, 0x64, 0xc4, 0x07, 0xae, 0xd4, 0x71, 0x78, 0x15, 0xfc,
    0xc4, 0x7c, 0x0d, 0x7f, 0xd6, 0x24, 0xe0, 0xf7, 0xda, 0x24, 0xea, 0x44, 0x2e, 0x21, 0x43, 0xe8,
    0x73, 0x73, 0x34, 0x0b, 0x9c, 0xb6, 0x41, 0xe3, 0xdf, 0xf7, 0xb2, 0x28, 0xdf, 0x20, 0xa9, 0xe1,
};
const uint8_t kSignature[64] = {
    0x40, 0x19, 0x52, 0x36, 0xfa, 0x44, 0x08, 0x06, 0x6c, 0x67, 0xcf, 0x2d, 0x26, 0xb2, 0xa0, 0x8f,
    0x3f, 0xe6, 0x3c, 0x5f, 0xee, 0x69, 0xaf, 0xe2, 0x30, 0x6e, 0xc9, 0x35, 0x48, 0x4a, 0x07, 0xeb,
    0x13, 0xf3, 0x22, 0x68, 0x38, 0x14, 0xbe, 0x65, 0xc7, 0xf9, 0x2b, 0x34, 0x56, 0x5e, 0x7b, 0x82,
    0xd0, 0x79, 0x21, 0xda, 0x13, 0x67, 0x2a, 0xd2, 0x91, 0xe8, 0x36, 0x3b, 0x3a, 0x4e, 0x87, 0x26,
};
const char kSignatureBase64[] = "QBlSNvpECAZsZ88tJrKgjz/mPF/uaa/iMG7JNUhKB+sT8yJoOBS+Zcf5KzRWXnuC0Hkh2hNnKtKR6DY7Ok6HJg==";
const std::string kMessage = "installer bytes for the signature test";

bool verify(const uint8_t* key, std::string message, const uint8_t* signature) {
    return verifyInstallerSignature(nullptr, L"test", key, message.data(), message.size(), signature);
}

struct Outcome {
    bool ended = false;
    int records = 0;
    bool recordBeforeEnd = false;
    int32_t version = 0;
    std::string file;
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

std::string installerResponse(const std::string& body, const std::string& signature, size_t length) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                       std::to_string(length) + "\r\n";
    if (!signature.empty())
        head += "X-Wexa-Signature: " + signature + "\r\n";
    return head + "\r\n" + body;
}

}  // namespace

TEST_CASE("signature verifies only the signed bytes under the signing key") {
    CHECK(verify(kSigningKey, kMessage, kSignature));
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
        }
    }
    CHECK(engine.server()->objectCount() == 0);
}
