// One connectivity test request: asks the web service to connect back to a port of ours
// ("GET /testcon.php?port=N"). The answer is not read: only a later "testcon" request on the
// tested port tells that the port is reachable. Nobody is told when the requester ends.
#pragma once
#include "ServiceRequest.h"

class TestRequester : public ServiceRequest {
public:
    // path: a heap text (new[]) that the requester now owns. host and servicePort name the
    // service; tests point them at a stand-in.
    TestRequester(Server* server, char* path, const char* host = kServiceHost, WORD servicePort = kServicePort);
    ~TestRequester() override { delete[] path_; }

    // Creates a requester for "/testcon.php?port=<testedPort>" and registers it; false when
    // the engine refused it (it is then destroyed).
    static bool start(Server* server, WORD testedPort, const char* host = kServiceHost,
                      WORD servicePort = kServicePort);

private:
    // The answer is not examined: its arrival (or the connection's end) ends the request.
    int onReceived(SocketRecord* record, BOOL, DWORD) override {
        delete[] record->buffer;
        return 1;
    }

    char* path_;
};
