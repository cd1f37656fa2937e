// OutboundObject: socket set-up and the three overlapped starters shared by every requester.
#include "OutboundObject.h"

#include <mswsock.h>
#include <string.h>

#include "Log.h"
#include "ServerWithReg.h"

// Every entry is logged under the requester's own unit.
#define LOG_ERROR_AS(function, call, code) Log::error(names_.unit, log_, __LINE__, (function), (call), (code))

OutboundObject::OutboundObject(Server* server, HWND notifyWindow, UINT terminationMessage,
                               const OutboundNames& names)
    : ServerObject(server, notifyWindow, terminationMessage), names_(names) {}

bool OutboundObject::openAndConnect(const wchar_t* function, DWORD address, WORD port) {
    socket_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (socket_ == INVALID_SOCKET) {
        DWORD error = WSAGetLastError();
        LOG_ERROR_AS(function, L"WSASocket", error);
        return false;
    }
    if (!server_->associate(reinterpret_cast<HANDLE>(socket_), function))
        return false;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = INADDR_ANY;
    local.sin_port = 0;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR_AS(function, L"bind", error);
        return false;
    }
    return startConnect(address, port);
}

bool OutboundObject::resolveHost(const wchar_t* function, const char* host, DWORD* address) {
    hostent* found = gethostbyname(host);
    if (!found) {
        DWORD error = WSAGetLastError();
        LOG_ERROR_AS(function, L"gethostbyname", error);
        return false;
    }
    if (found->h_addrtype != AF_INET || found->h_length != 4 || !found->h_addr_list[0]) {
        Log::errorText(names_.unit, log_, __LINE__, function, L"gethostbyname, wrong address length");
        return false;
    }
    memcpy(address, found->h_addr_list[0], 4);
    return true;
}

void OutboundObject::closeSocket(const wchar_t* function) {
    // Under the object's lock, like every starter: an operation is either started before the
    // close (and completes with it) or sees the object terminating. A call on a handle closed
    // meanwhile could land on whatever reuses the handle value and never complete.
    EnterCriticalSection(&lock_);
    SOCKET closing = socket_;
    socket_ = INVALID_SOCKET;
    if (closing != INVALID_SOCKET && closesocket(closing) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR_AS(function, L"closesocket", error);
    }
    LeaveCriticalSection(&lock_);
}

bool OutboundObject::startConnect(DWORD address, WORD port) {
    EnterCriticalSection(&lock_);
    bool started = startConnectLocked(address, port);
    LeaveCriticalSection(&lock_);
    return started;
}

bool OutboundObject::startConnectLocked(DWORD address, WORD port) {
    if (!takeReference())
        return false;
    // Looked up every time: the pointer belongs to the socket's provider.
    GUID guid = WSAID_CONNECTEX;
    LPFN_CONNECTEX connectEx = nullptr;
    DWORD returned = 0;
    if (WSAIoctl(socket_, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &connectEx, sizeof connectEx,
                 &returned, nullptr, nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR_AS(names_.connect, L"WSAIoctl", error);
        giveReference();
        return false;
    }
    SocketRecord* record = new SocketRecord(id_, MsgConnected, socket_, nullptr, 0);
    sockaddr_in remote = {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = address;
    if (!connectEx(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof remote, nullptr, 0, nullptr,
                   record->overlapped())) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR_AS(names_.connect, L"ConnectEx", error);
            delete record;
            giveReference();
            return false;
        }
    }
    return true;
}

bool OutboundObject::startRecv(char* buffer, DWORD length) {
    EnterCriticalSection(&lock_);
    bool started = startRecvLocked(buffer, length);
    LeaveCriticalSection(&lock_);
    return started;
}

bool OutboundObject::startRecvLocked(char* buffer, DWORD length) {
    if (!takeReference())
        return false;
    SocketRecord* record = new SocketRecord(id_, MsgReceived, socket_, buffer, length);
    WSABUF piece;
    piece.buf = buffer;
    piece.len = length;
    DWORD flags = 0;
    if (WSARecv(socket_, &piece, 1, nullptr, &flags, reinterpret_cast<WSAOVERLAPPED*>(record->overlapped()),
                nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR_AS(names_.recv, L"WSARecv", error);
            delete record;
            giveReference();
            return false;
        }
    }
    return true;
}

bool OutboundObject::startSend(WSABUF* buffers, DWORD count) {
    EnterCriticalSection(&lock_);
    bool started = startSendLocked(buffers, count);
    LeaveCriticalSection(&lock_);
    return started;
}

bool OutboundObject::startSendLocked(WSABUF* buffers, DWORD count) {
    if (!takeReference())
        return false;
    SocketRecord* record = new SocketRecord(id_, MsgSent, socket_, nullptr, 0);
    if (WSASend(socket_, buffers, count, nullptr, 0, reinterpret_cast<WSAOVERLAPPED*>(record->overlapped()),
                nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR_AS(names_.send, L"WSASend", error);
            delete record;
            giveReference();
            return false;
        }
    }
    return true;
}
