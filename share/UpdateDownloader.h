// The installer download: one "GET /update.php" to the web service. The installer is held in
// memory until it is complete; only when its signature verifies against the program's public
// key does it go to the "Update" group (WM_UPDATE_FILE). The end always comes as
// WM_UPDATE_DOWNLOAD_ENDED.
#pragma once
#include <cstdint>

#include "OutboundObject.h"
#include "UpdateMessages.h"

class InstallerReceiver;
class TrafficCounters;

class UpdateDownloader : public OutboundObject {
public:
    // publicKey: 64 bytes (X then Y) that outlive the object.
    UpdateDownloader(Server* server, HWND notifyWindow, TrafficCounters* counters, const uint8_t* publicKey);
    // Asks host:port instead of the web service (tests). host is copied.
    UpdateDownloader(Server* server, HWND notifyWindow, TrafficCounters* counters, const uint8_t* publicKey,
                     const char* host, WORD port);
    ~UpdateDownloader() override;

    bool initObject() override;
    bool deleteObject() override;
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

private:
    bool postConnect(DWORD address, WORD port) { return startConnect(address, port); }
    bool postRecv(char* buffer, DWORD length) { return startRecv(buffer, length); }
    bool postSend(WSABUF* buffers, DWORD count) { return startSend(buffers, count); }
    int onConnected();
    int onReceived(BOOL ok, DWORD bytes);
    // The bytes just received into the receiver's window; false ends the download.
    bool handleData(DWORD bytes);
    void handOver();

    TrafficCounters* counters_;
    const uint8_t* publicKey_;
    UINT dataMessage_ = WM_UPDATE_FILE;
    HWND window_;
    DWORD address_ = 0;
    WORD port_;
    char* host_;
    // Touched only by the receive path, which has one receive outstanding at a time.
    InstallerReceiver* receiver_ = nullptr;
};
