// The connect, receive and send starters of the downloader's transfer connections, on the
// shared outbound plumbing; the log names them TCPObject::postConnect and so on.
#pragma once
#include "OutboundObject.h"

class TCPObject : public OutboundObject {
public:
    // unit: the derived class's log unit, under which the starters log too.
    TCPObject(Server* server, HWND notifyWindow, UINT terminationMessage, const wchar_t* unit);

protected:
    bool postConnect(DWORD address, WORD port) { return startConnect(address, port); }
    bool postRecv(char* buffer, DWORD length) { return startRecv(buffer, length); }
    bool postSend(WSABUF* buffers, DWORD count) { return startSend(buffers, count); }
};
