// The Internet-address request: one "GET /getip.php" to the web service, read until the
// service closes the connection, and handed whole to the address box (WM_USER+17). Its end
// is always announced with WM_USER+16, which gives the Detect Address button back.
#pragma once
#include <cstdint>

#include "OutboundObject.h"

// To the notify window: wParam = the requester's object id, lParam = an AddressReply (new),
// freed with its bytes by the receiver.
constexpr UINT WM_ADDRESS_REPLY = WM_USER + 17;
// The requester's termination message: wParam = its object id.
constexpr UINT WM_ADDRESS_ENDED = WM_USER + 16;

struct AddressReply {
    char* bytes;      // new[], everything received; null when nothing came
    int32_t length;
};

class AddrRequester : public OutboundObject {
public:
    // Asks the web service (its build-time host name, port 80).
    AddrRequester(Server* server, HWND notifyWindow);
    // Asks host:port instead (tests). host is copied.
    AddrRequester(Server* server, HWND notifyWindow, const char* host, WORD port);
    ~AddrRequester() override;

    bool initObject() override { return true; }
    bool deleteObject() override { return true; }
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

    static const DWORD kReceiveBytes = 2048;

private:
    bool postConnect(DWORD address, WORD port) { return startConnect(address, port); }
    bool postRecv(char* buffer, DWORD length) { return startRecv(buffer, length); }
    bool postSend(WSABUF* buffers, DWORD count) { return startSend(buffers, count); }
    int onConnected();
    int onReceived(SocketRecord* record, BOOL ok, DWORD bytes);
    // False when the reply would grow past what an address can be.
    bool append(const char* bytes, DWORD count);
    void handOver();

    UINT replyMessage_ = WM_ADDRESS_REPLY;
    HWND window_;
    DWORD address_ = 0;   // network order, 0 until resolved
    WORD port_;
    char* host_;
    char* response_ = nullptr;
    int32_t responseLength_ = 0;
};
