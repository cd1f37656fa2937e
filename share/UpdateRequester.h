// The update check: one "GET /update.php?mode=check" to the web service, read until the
// service closes the connection; a version number above 0 goes to the "Update" group
// (WM_UPDATE_VERSION), and the end always comes as WM_UPDATE_CHECK_ENDED.
#pragma once
#include <cstdint>

#include "OutboundObject.h"
#include "UpdateMessages.h"

class TrafficCounters;

class UpdateRequester : public OutboundObject {
public:
    UpdateRequester(Server* server, HWND notifyWindow, TrafficCounters* counters);
    // Asks host:port instead of the web service (tests). host is copied.
    UpdateRequester(Server* server, HWND notifyWindow, TrafficCounters* counters, const char* host, WORD port);
    ~UpdateRequester() override;

    bool initObject() override { return true; }
    bool deleteObject() override { return true; }
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

    static const DWORD kReceiveBytes = 2048;
    // A version number is a few digits; an answer longer than this is not one.
    static const int32_t kMaxResponseBytes = 16 * 1024;

private:
    bool postConnect(DWORD address, WORD port) { return startConnect(address, port); }
    bool postRecv(char* buffer, DWORD length) { return startRecv(buffer, length); }
    bool postSend(WSABUF* buffers, DWORD count) { return startSend(buffers, count); }
    int onConnected();
    int onReceived(SocketRecord* record, BOOL ok, DWORD bytes);
    bool append(const char* bytes, DWORD count);
    void handOver();

    TrafficCounters* counters_;
    UINT versionMessage_ = WM_UPDATE_VERSION;
    HWND window_;
    DWORD address_ = 0;
    WORD port_;
    char* host_;
    char* response_ = nullptr;
    int32_t responseLength_ = 0;
};
