// TestRequester: the connectivity test's request to the web service, following the outbound
// request pattern; whatever comes back ends it.
#include "TestRequester.h"

#include <string.h>

#include "Log.h"
#include "NetStatusRules.h"
#include "ServerWithReg.h"

static const wchar_t kLogUnit[] = L"TestRequester";

static const OutboundNames kTestNames = {L"TestRequester", L"TestRequester::postConnect",
                                         L"TestRequester::postRecv", L"TestRequester::postSend"};

TestRequester::TestRequester(Server* server, char* path, const char* host, WORD servicePort)
    : OutboundObject(server, nullptr, 0, kTestNames), path_(path), servicePort_(servicePort) {
    size_t length = strlen(host);
    host_ = new char[length + 1];
    memcpy(host_, host, length + 1);
}

TestRequester::~TestRequester() {
    delete[] path_;
    delete[] host_;
}

bool TestRequester::start(Server* server, WORD testedPort, const char* host, WORD servicePort) {
    char* path = new char[250];
    formatTestPath(testedPort, path, 250);
    TestRequester* requester = new TestRequester(server, path, host, servicePort);
    if (server->addObject(requester))
        return true;
    delete requester;   // never registered: the engine does not know it
    return false;
}

int TestRequester::readyObject() {
    static const wchar_t kFunction[] = L"TestRequester::readyObject";
    // Blocks this worker for the lookup, as the address request does.
    DWORD address;
    if (!resolveHost(kFunction, host_, &address))
        return 1;
    return openAndConnect(kFunction, address, servicePort_) ? 0 : 1;
}

void TestRequester::terminateObject() { closeSocket(L"TestRequester::terminateObject"); }

int TestRequester::handleMessage(ServerMessage* message, BOOL, DWORD, DWORD) {
    switch (message->code) {
    case MsgConnected:
        return onConnected();
    case MsgReceived:
        // The answer is not examined: its arrival (or the connection's end) ends the request.
        delete[] static_cast<SocketRecord*>(message)->buffer;
        return 1;
    default:
        return 0;
    }
}

int TestRequester::onConnected() {
    // The receive goes first: a failed connect shows here, as a receive that cannot start.
    char* buffer = new char[kBufferBytes];
    if (!postRecv(buffer, kBufferBytes)) {
        LOG_ERROR_TEXT(log_, L"TestRequester::handleMessage", L"postRecv failed");
        delete[] buffer;
        return 1;
    }
    // Static texts and this object's own fields: they outlive the send.
    static const char kAgent[] = "Wexa-Share/1.2.1";
    WSABUF pieces[7];
    DWORD count = 0;
    auto add = [&](const char* text) {
        pieces[count].buf = const_cast<char*>(text);
        pieces[count].len = static_cast<ULONG>(strlen(text));
        ++count;
    };
    add("GET ");
    add(path_);
    add(" HTTP/1.1\r\nUser-Agent: ");
    add(kAgent);
    add("\r\nHost: ");
    add(host_);
    add("\r\nConnection: close\r\n\r\n");
    return postSend(pieces, count) ? 0 : 1;
}
