// TCPObject: the starters' log names; the work is OutboundObject's.
#include "TCPObject.h"

static const OutboundNames kTcpNames = {L"TCPObject::postConnect", L"TCPObject::postRecv", L"TCPObject::postSend"};

TCPObject::TCPObject(Server* server, HWND notifyWindow, UINT terminationMessage)
    : OutboundObject(server, notifyWindow, terminationMessage, kTcpNames) {}
