// The installer download: one "GET /update.php" to the web service. The installer is held in
// memory until it is complete; only when its version-bound signature verifies against the
// program's public key, for a version above this program's, does it go to the "Update" group
// (WM_UPDATE_FILE). The end always comes as
// WM_UPDATE_DOWNLOAD_ENDED.
#pragma once
#include <cstdint>

#include "ServiceRequest.h"
#include "UpdateMessages.h"

class InstallerReceiver;

class UpdateDownloader : public ServiceRequest {
public:
    // publicKey: 64 bytes (X then Y) that outlive the object.
    UpdateDownloader(Server* server, HWND notifyWindow, TrafficCounters* counters, const uint8_t* publicKey)
        : UpdateDownloader(server, notifyWindow, counters, publicKey, kServiceHost, kServicePort) {}
    // Asks host:port instead of the web service (tests). host is copied.
    UpdateDownloader(Server* server, HWND notifyWindow, TrafficCounters* counters, const uint8_t* publicKey,
                     const char* host, WORD port);
    ~UpdateDownloader() override;

    bool initObject() override;
    bool deleteObject() override;

private:
    // Receives go straight into the receiver's window.
    bool startFirstReceive() override;
    int onReceived(SocketRecord* record, BOOL ok, DWORD bytes) override;
    // The bytes just received into the receiver's window; false ends the download.
    bool handleData(DWORD bytes);
    void handOver();

    const uint8_t* publicKey_;
    UINT dataMessage_ = WM_UPDATE_FILE;
    // Touched only by the receive path, which has one receive outstanding at a time.
    InstallerReceiver* receiver_ = nullptr;
};
