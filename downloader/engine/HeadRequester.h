// One "HEAD" request with "Range: bytes=0-" for a download: connects, sends, collects the
// reply up to its blank line and hands the raw head to the downloads window (WM_USER+10).
// Its end is always announced with WM_USER+13. A secure request talks TLS on the same socket;
// a refused certificate is handed over instead of a head.
#pragma once
#include <cstdint>
#include <string>

#include "DownloadMessages.h"
#include "OutboundObject.h"

class TlsChannel;

class HeadRequester : public OutboundObject {
public:
    // address in network order, port in host order; path already percent-encoded. Texts
    // are copied; credentials (Base64) may be null. secure: TLS to the server named host.
    HeadRequester(Server* server, HWND notifyWindow, DWORD entryId, DWORD address, WORD port, const char* path,
                  const char* host, const char* credentials, bool secure = false);
    ~HeadRequester() override;

    bool initObject() override { return true; }
    bool deleteObject() override { return true; }
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;
    void describe(std::string* out) override { out->append("HeadRequester"); }

    static const DWORD kBufferBytes = 4096;
    static const DWORD kReceiveBytes = 4000;
    // A head that has not ended after this many bytes is not an HTTP head.
    static const int32_t kMaxHeadBytes = 65536;

private:
    bool postConnect(DWORD address, WORD port) { return startConnect(address, port); }
    bool postRecv(char* buffer, DWORD length) { return startRecv(buffer, length); }
    bool postSend(WSABUF* buffers, DWORD count) { return startSend(buffers, count); }
    int onConnected();
    bool sendRequest(const WSABUF* before);
    // False when the exchange is over (head delivered or failed).
    bool handleData(const char* bytes, DWORD count);
    // Hands the received bytes to the window, the head being their first headLength bytes.
    void deliver(int32_t headLength);
    // The TLS side of a receive: handshake replies, or records opened and their plain text
    // handed to handleData. False when the exchange is over.
    bool handleSecure(const char* bytes, DWORD count);
    void postSecureFailure(TlsFailure why);

    DWORD entryId_;
    UINT headMessage_;
    DWORD address_;
    WORD port_;
    char* path_ = nullptr;
    char* host_ = nullptr;
    char* received_ = nullptr;
    int32_t receivedLength_ = 0;
    char* credentials_ = nullptr;
    HWND window_;
    TlsChannel* tls_ = nullptr;   // null for plain HTTP; touched by the receive path only
    std::string sealed_;          // received records not yet opened
};
