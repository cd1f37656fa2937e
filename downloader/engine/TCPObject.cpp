// TCPObject: the starters' log names; the work is OutboundObject's.
#include "TCPObject.h"

TCPObject::TCPObject(Server* server, HWND notifyWindow, UINT terminationMessage, const wchar_t* unit)
    : OutboundObject(server, notifyWindow, terminationMessage,
                     OutboundNames{unit, L"TCPObject::postConnect", L"TCPObject::postRecv", L"TCPObject::postSend"}) {}
