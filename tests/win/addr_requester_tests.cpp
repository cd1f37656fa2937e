// The Internet-address request against scripted loopback peers: the exact request, a reply
// gathered over many receives and past the receive buffer, and every way it can end without
// a reply, each followed by its termination message.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "AddrRequester.h"
#include "AddressResponse.h"
#include "EngineFixture.h"
#include "LoopbackPeer.h"

namespace {

struct Outcome {
    bool ended = false;
    bool replied = false;
    bool replyBeforeEnd = false;
    std::string reply;
};

// Runs one requester to its termination message; the reply (if any) is freed here.
Outcome run(EngineFixture& engine, WORD port) {
    AddrRequester* requester = new AddrRequester(engine.server(), engine.window().handle(), "127.0.0.1", port);
    DWORD id = requester->id();
    Outcome outcome;
    if (!engine.server()->addObject(requester)) {
        delete requester;
        return outcome;
    }
    DWORD start = GetTickCount();
    while (!outcome.ended && GetTickCount() - start < 15000) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_ADDRESS_REPLY && msg.wParam == id) {
                AddressReply* reply = reinterpret_cast<AddressReply*>(msg.lParam);
                outcome.replied = true;
                outcome.replyBeforeEnd = !outcome.ended;
                if (reply->bytes)
                    outcome.reply.assign(reply->bytes, reply->length);
                delete[] reply->bytes;
                delete reply;
            } else if (msg.message == WM_ADDRESS_ENDED && msg.wParam == id) {
                outcome.ended = true;
            } else {
                DispatchMessageW(&msg);
            }
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    return outcome;
}

}  // namespace

TEST_CASE("address request sends its exact request and joins a reply split over many receives") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    // Past the 2048-byte receive buffer, in small pieces, the blank line itself split.
    std::string padding(5000, 'p');
    std::vector<std::string> pieces = {"HTTP/1.1 2", "00 OK\r\nX-Pad: " + padding.substr(0, 2500),
                                       padding.substr(2500) + "\r\n\r", "\n1.2.", "3.4"};
    ScriptedPeer service(pieces, 30);
    Outcome outcome = run(engine, service.listener.port);
    service.thread.join();
    CHECK(service.request ==
          "GET /getip.php HTTP/1.1\r\nUser-Agent: Wexa-Share/1.2.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    REQUIRE(outcome.ended);
    CHECK(outcome.replied);
    CHECK(outcome.replyBeforeEnd);
    std::string expected;
    for (const std::string& piece : pieces)
        expected += piece;
    CHECK(outcome.reply == expected);
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop());
}

TEST_CASE("address request ends without an address when the service fails it") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());

    SUBCASE("nothing listens: no reply, but the termination message still comes") {
        Outcome outcome = run(engine, unusedPort());
        CHECK(outcome.ended);
        CHECK(!outcome.replied);
    }
    SUBCASE("the service closes without a word: no reply") {
        ScriptedPeer service({}, 30);
        Outcome outcome = run(engine, service.listener.port);
        CHECK(outcome.ended);
        CHECK(!outcome.replied);
    }
    SUBCASE("a reply beyond any address's size is dropped") {
        std::string chunk(16 * 1024, 'x');
        std::vector<std::string> pieces(kAddressResponseMaxBytes / chunk.size() + 2, chunk);
        pieces.front() = "HTTP/1.1 200 OK\r\n\r\n" + chunk;
        ScriptedPeer service(pieces, 30);
        Outcome outcome = run(engine, service.listener.port);
        CHECK(outcome.ended);
        CHECK(!outcome.replied);
    }
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop());
}
