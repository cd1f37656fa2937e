// Resolves one host name on a short-lived thread of its own (look-ups block, workers must
// not) and hands the IPv4 address, or -1, to the downloads window as WM_USER+9.
#pragma once
#include "ServerObject.h"

class AddressResolver : public ServerObject {
public:
    // host: 8-bit text (OEM code page); null or empty leaves the resolver idle.
    AddressResolver(Server* server, HWND notifyWindow, DWORD entryId, const char* host);
    ~AddressResolver() override;

    bool initObject() override { return true; }
    bool deleteObject() override { return true; }
    int readyObject() override;
    void terminateObject() override {}
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;
    void describe(std::string* out) override { out->append("AddressResolver"); }

private:
    static DWORD WINAPI resolveThreadProc(void* param);
    void resolve();

    HWND window_;
    UINT resultMessage_;
    DWORD entryId_;
    char* host_ = nullptr;
};
