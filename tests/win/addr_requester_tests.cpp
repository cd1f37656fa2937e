// The Internet-address request against scripted loopback peers: the exact request, a reply
// gathered over many receives and past the receive buffer, and every way it can end without
// a reply, each followed by its termination message.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "AddrRequester.h"
#include "AddressResponse.h"
#include "EngineFixture.h"

namespace {

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

// A loopback listener on a free port; closing it leaves a port where nothing listens.
struct Listener {
    SOCKET socket = INVALID_SOCKET;
    WORD port = 0;
    Listener() {
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        listen(socket, 4);
    }
    void close() {
        if (socket != INVALID_SOCKET)
            closesocket(socket);
        socket = INVALID_SOCKET;
    }
    ~Listener() { close(); }
};

// Serves one connection: reads the request head, sends the pieces with a pause between
// them, closes. The request is kept for the test.
struct ScriptedService {
    Listener listener;
    std::string request;
    std::thread thread;
    explicit ScriptedService(std::vector<std::string> pieces) {
        thread = std::thread([this, pieces] {
            SOCKET client = accept(listener.socket, nullptr, nullptr);
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                int n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, n);
            }
            for (const std::string& piece : pieces) {
                send(client, piece.data(), static_cast<int>(piece.size()), 0);
                Sleep(30);
            }
            closesocket(client);
        });
    }
    ~ScriptedService() {
        if (thread.joinable())
            thread.join();
    }
};

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
    ScriptedService service(pieces);
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
        Listener closed;
        closed.close();
        Outcome outcome = run(engine, closed.port);
        CHECK(outcome.ended);
        CHECK(!outcome.replied);
    }
    SUBCASE("the service closes without a word: no reply") {
        ScriptedService service({});
        Outcome outcome = run(engine, service.listener.port);
        CHECK(outcome.ended);
        CHECK(!outcome.replied);
    }
    SUBCASE("a reply beyond any address's size is dropped") {
        std::string chunk(16 * 1024, 'x');
        std::vector<std::string> pieces(kAddressResponseMaxBytes / chunk.size() + 2, chunk);
        pieces.front() = "HTTP/1.1 200 OK\r\n\r\n" + chunk;
        ScriptedService service(pieces);
        Outcome outcome = run(engine, service.listener.port);
        CHECK(outcome.ended);
        CHECK(!outcome.replied);
    }
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop());
}
