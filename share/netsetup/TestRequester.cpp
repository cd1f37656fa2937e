// TestRequester: the connectivity test's request to the web service; whatever comes back ends it.
#include "TestRequester.h"

#include "NetStatusRules.h"
#include "ServerWithReg.h"

static const ServiceRequestNames kNames = {
    {L"TestRequester", L"TestRequester::postConnect", L"TestRequester::postRecv", L"TestRequester::postSend"},
    L"TestRequester::readyObject",
    L"TestRequester::terminateObject",
    L"TestRequester::handleMessage"};

TestRequester::TestRequester(Server* server, char* path, const char* host, WORD servicePort)
    : ServiceRequest(server, nullptr, 0, kNames, host, servicePort, path, nullptr), path_(path) {
    sendsWithoutReceive_ = false;
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
