// The connect, receive and send starters of the downloader's transfer connections, on the
// shared outbound plumbing; the log names them TCPObject::postConnect and so on.
#pragma once
#include "OutboundObject.h"

class TCPObject : public OutboundObject {
public:
    TCPObject(Server* server, HWND notifyWindow, UINT terminationMessage);

protected:
    bool postConnect(DWORD address, WORD port) { return startConnect(address, port); }
    bool postRecv(char* buffer, DWORD length) { return startRecv(buffer, length); }
    bool postSend(WSABUF* buffers, DWORD count) { return startSend(buffers, count); }
};
