// The connectivity test on a running engine, against a stand-in service on loopback: the
// request a listener sends when its UPnP controller ends, the "testcon" request that proves
// the port reachable, and requesters that end whatever the service does.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "ControllerNotice.h"
#include "EngineFixture.h"
#include "HSMainSettings.h"
#include "HTTPConnection.h"
#include "HTTPListener.h"
#include "LoopbackPeer.h"
#include "NetStatus.h"
#include "TestRequester.h"
#include "TrafficCounters.h"

namespace {

struct SettingsFixture {
    SettingsFixture() {
        initSettingsLock();
        setDefaultSettings();
    }
    ~SettingsFixture() {
        delete[] g_settings.uploadsDirectory;
        g_settings.uploadsDirectory = nullptr;
        deleteSettingsLock();
    }
};

// The window of the listener and its connections: frees every record they post.
struct HostWindow : PumpedWindow {
    bool ready = false;
    bool ended = false;

    ~HostWindow() override { pump(); }
    void onMessage(const MSG& msg) override {
        if (msg.message == WM_LISTENER_STATUS)
            delete reinterpret_cast<PortStatus*>(msg.lParam);
        else if (msg.message == WM_CONNECTION_OPENED || msg.message == WM_CONNECTION_STATUS)
            delete reinterpret_cast<ConnectionStatus*>(msg.lParam);
        else if (msg.message == WM_LISTENER_READY)
            ready = true;
        else if (msg.message == WM_LISTENER_ENDED)
            ended = true;
    }
};

bool readable(SOCKET s, long seconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval limit = {seconds, 0};
    return select(0, &set, nullptr, nullptr, &limit) == 1;
}

// Accepts one client and reads its request head.
std::string acceptRequest(SOCKET service, SOCKET* client) {
    REQUIRE(readable(service, 10));
    *client = accept(service, nullptr, nullptr);
    REQUIRE(*client != INVALID_SOCKET);
    std::string head;
    char buffer[512];
    while (head.find("\r\n\r\n") == std::string::npos && readable(*client, 10)) {
        int got = recv(*client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        head.append(buffer, got);
    }
    return head;
}

void sendAll(SOCKET s, const std::string& bytes) {
    REQUIRE(send(s, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size()));
}

}  // namespace

TEST_CASE("a listener whose UPnP controller ends asks for a test of its port, and the test's request proves it") {
    Winsock winsock;
    SettingsFixture settings;
    EngineFixture engine;
    REQUIRE(engine.server());
    TrafficCounters counters;
    HostWindow window;
    Listener service;
    REQUIRE(service.port != 0);
    const WORD sharePort = unusedPort();
    HTTPListener* listener = new HTTPListener(engine.server(), window.handle, programServerSettings(), nullptr, &counters,
                                              htonl(INADDR_LOOPBACK), sharePort, window.handle);
    listener->setTestService("127.0.0.1", service.port);
    listener->setNetworkControllers(false, nullptr);   // the test posts their notices
    REQUIRE(engine.server()->addObject(listener));
    REQUIRE(window.waitFor([&] { return window.ready; }));
    setTestSucceeded(false);

    // The mapping failed (port in use): the test is asked for all the same.
    REQUIRE(listener->postToSelf(new ControllerNotice(listener->id(), NoticeUPnPFinished, 7)));
    SOCKET asked;
    std::string request = acceptRequest(service.socket, &asked);
    CHECK(request == "GET /testcon.php?port=" + std::to_string(sharePort) +
                         " HTTP/1.1\r\nUser-Agent: Wexa-Share/1.2.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    CHECK_FALSE(getTestSucceeded());

    // The service reaches the share port with the test method; the flag follows at once.
    SOCKET back = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in share = {};
    share.sin_family = AF_INET;
    share.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    share.sin_port = htons(sharePort);
    REQUIRE(connect(back, reinterpret_cast<sockaddr*>(&share), sizeof share) == 0);
    sendAll(back, "testcon / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    CHECK(window.waitFor([] { return getTestSucceeded(); }));
    // Nothing is sent back to the test's request: the share server just closes.
    char byte;
    REQUIRE(readable(back, 10));
    CHECK(recv(back, &byte, 1, 0) == 0);
    closesocket(back);

    // Whatever the service answers ends the requester: only the listener is left.
    sendAll(asked, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    CHECK(window.waitFor([&] { return engine.server()->objectCount() == 1; }));
    closesocket(asked);

    REQUIRE(engine.server()->terminateObject(listener->id()));
    REQUIRE(window.waitFor([&] { return window.ended; }));
    service.close();
    CHECK(engine.stop());
}

TEST_CASE("test requesters end when the service refuses, stays silent until the engine stops, or closes") {
    Winsock winsock;
    SettingsFixture settings;
    EngineFixture engine;
    REQUIRE(engine.server());
    HostWindow window;

    SUBCASE("nothing listens on the service port") {
        REQUIRE(TestRequester::start(engine.server(), 8080, "127.0.0.1", unusedPort()));
        CHECK(window.waitFor([&] { return engine.server()->objectCount() == 0; }));
    }
    SUBCASE("the service closes without an answer") {
        Listener service;
        REQUIRE(service.port != 0);
        REQUIRE(TestRequester::start(engine.server(), 8080, "127.0.0.1", service.port));
        SOCKET client;
        CHECK(acceptRequest(service.socket, &client).find("GET /testcon.php?port=8080 HTTP/1.1\r\n") == 0);
        closesocket(client);
        CHECK(window.waitFor([&] { return engine.server()->objectCount() == 0; }));
        service.close();
    }
    SUBCASE("a silent service: the requester waits and the engine's stop ends it") {
        Listener service;
        REQUIRE(service.port != 0);
        REQUIRE(TestRequester::start(engine.server(), 8080, "127.0.0.1", service.port));
        SOCKET client;
        acceptRequest(service.socket, &client);
        CHECK(engine.server()->objectCount() == 1);
        CHECK(engine.stop());
        closesocket(client);
        service.close();
    }
    CHECK(engine.stop());
}
