// The Internet-address request: one "GET /getip.php" to the web service, read until the
// service closes the connection, and handed whole to the address box (WM_USER+17). Its end
// is always announced with WM_USER+16, which gives the Detect Address button back.
#pragma once
#include <cstdint>

#include "ServiceRequest.h"

// To the notify window: wParam = the requester's object id, lParam = an AddressReply (new),
// freed with its bytes by the receiver.
constexpr UINT WM_ADDRESS_REPLY = WM_USER + 17;
// The requester's termination message: wParam = its object id.
constexpr UINT WM_ADDRESS_ENDED = WM_USER + 16;

struct AddressReply {
    char* bytes;      // new[], everything received; null when nothing came
    int32_t length;
};

class AddrRequester : public ServiceRequest {
public:
    // Asks the web service.
    AddrRequester(Server* server, HWND notifyWindow) : AddrRequester(server, notifyWindow, kServiceHost, kServicePort) {}
    // Asks host:port instead (tests). host is copied.
    AddrRequester(Server* server, HWND notifyWindow, const char* host, WORD port);

private:
    int onReceived(SocketRecord* record, BOOL ok, DWORD bytes) override;
    void replyComplete() override;

    UINT replyMessage_ = WM_ADDRESS_REPLY;
};
