// The update check: one "GET /update.php?mode=check" to the web service, read until the
// service closes the connection; a version number above 0 goes to the "Update" group
// (WM_UPDATE_VERSION), and the end always comes as WM_UPDATE_CHECK_ENDED.
#pragma once
#include "ServiceRequest.h"
#include "UpdateMessages.h"

class UpdateRequester : public ServiceRequest {
public:
    UpdateRequester(Server* server, HWND notifyWindow, TrafficCounters* counters)
        : UpdateRequester(server, notifyWindow, counters, kServiceHost, kServicePort) {}
    // Asks host:port instead of the web service (tests). host is copied.
    UpdateRequester(Server* server, HWND notifyWindow, TrafficCounters* counters, const char* host, WORD port);

    // A version number is a few digits; an answer longer than this is not one.
    static const size_t kMaxResponseBytes = 16 * 1024;

private:
    int onReceived(SocketRecord* record, BOOL ok, DWORD bytes) override;
    void replyComplete() override;

    UINT versionMessage_ = WM_UPDATE_VERSION;
};
