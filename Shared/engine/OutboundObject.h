// The shared plumbing of every outbound request object: one overlapped TCP socket, created,
// associated with the engine's port and bound in readyObject, and the connect, receive and
// send starters with their I/O record. Each requester names its starters for the log.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "ServerObject.h"

// Message codes of request objects (after the engine's 0 and 1).
enum : DWORD { MsgConnected = 3, MsgReceived = 4, MsgSent = 5 };

// A socket operation's record. The receive buffer is the object's, not the record's.
struct SocketRecord : ServerMessage {
    SOCKET socket;
    char* buffer;
    DWORD length;
    SocketRecord(DWORD id, DWORD messageCode, SOCKET s, char* data, DWORD size)
        : ServerMessage(id, messageCode), socket(s), buffer(data), length(size) {}
};

// The log's source unit and function names of one class's starters ("HeadRequester",
// "HeadRequester::postConnect", ...): each requester logs as itself.
struct OutboundNames {
    const wchar_t* unit;
    const wchar_t* connect;
    const wchar_t* recv;
    const wchar_t* send;
};

class OutboundObject : public ServerObject {
public:
    OutboundObject(Server* server, HWND notifyWindow, UINT terminationMessage, const OutboundNames& names);

protected:
    // Socket, association, bind to 0.0.0.0:0 (ConnectEx needs a bound socket), connect.
    // False (logged under `function`) when the exchange could not start: readyObject answers 1.
    bool openAndConnect(const wchar_t* function, DWORD address, WORD port);
    // The IPv4 address of host by a blocking lookup (requesters that resolve in readyObject);
    // false, logged under `function`, when there is none.
    bool resolveHost(const wchar_t* function, const char* host, DWORD* address);
    // Closes the socket so that every outstanding operation completes and gives back its reference;
    // later starters find the object terminating.
    void closeSocket(const wchar_t* function);

    // Each is started with one reference taken; false when the object is terminating (silent)
    // or the call failed (logged): nothing will then arrive.
    bool startConnect(DWORD address, WORD port);
    bool startRecv(char* buffer, DWORD length);
    bool startSend(WSABUF* buffers, DWORD count);

    SOCKET socket_ = INVALID_SOCKET;   // guarded by lock_ once the object is ready

private:
    // The starters' work, run under lock_ so that closeSocket cannot close the socket between
    // the reference check and the Winsock call.
    bool startConnectLocked(DWORD address, WORD port);
    bool startRecvLocked(char* buffer, DWORD length);
    bool startSendLocked(WSABUF* buffers, DWORD count);

    OutboundNames names_;
};
