// One connectivity test request: asks the web service to connect back to a port of ours
// ("GET /testcon.php?port=N"). The answer is not read: only a later "testcon" request on the
// tested port tells that the port is reachable. Nobody is told when the requester ends.
#pragma once
#include "OutboundObject.h"

// The web service's host name (a build setting); every request to it goes to TCP port 80.
constexpr const char* kServiceHost = WEXA_SERVICE_HOST;
constexpr WORD kServicePort = 80;

class TestRequester : public OutboundObject {
public:
    // path: a heap text (new[]) that the requester now owns. host and servicePort name the
    // service; tests point them at a stand-in.
    TestRequester(Server* server, char* path, const char* host = kServiceHost, WORD servicePort = kServicePort);
    ~TestRequester() override;

    // Creates a requester for "/testcon.php?port=<testedPort>" and registers it; false when
    // the engine refused it (it is then destroyed).
    static bool start(Server* server, WORD testedPort, const char* host = kServiceHost,
                      WORD servicePort = kServicePort);

    bool initObject() override { return true; }
    bool deleteObject() override { return true; }
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

    static const DWORD kBufferBytes = 2048;

private:
    bool postConnect(DWORD address, WORD port) { return startConnect(address, port); }
    bool postRecv(char* buffer, DWORD length) { return startRecv(buffer, length); }
    bool postSend(WSABUF* buffers, DWORD count) { return startSend(buffers, count); }
    int onConnected();

    char* path_;
    char* host_;
    WORD servicePort_;
};
