// What the network status dialog shows for a network status: its title, explanation and test
// texts, which buttons it offers, the text a connectivity test that got no answer leaves, and
// the service path that asks for the test. Pure rules (no system calls).
#pragma once
#include <cstddef>
#include <cstdint>

// The network status as the shell gathers it from the listeners and the connectivity test.
struct NetStatusInput {
    size_t activePortCount;
    bool testSucceeded;
    uint32_t upnpState;       // 0 settled, 1 pending, 2 failed
    uint32_t upnpResult;
    uint32_t firewallState;
    uint32_t firewallResult;
};

constexpr size_t kNetStatusTextUnits = 600;

struct NetStatusView {
    const char16_t* title;
    char16_t explanation[kNetStatusTextUnits];   // port filled in
    const char16_t* testText;
    bool changePortShown;
    bool runTestEnabled;
};

// The dialog's texts and buttons; port is the configured share port.
void describeNetStatus(const NetStatusInput& status, uint32_t port, NetStatusView* view);

// The test text after 14 seconds without a "testcon" request, and whether "Change Port
// Number..." is to be shown as well.
void describeTestTimeout(const NetStatusInput& status, bool upnpEnabled, uint32_t port, char16_t* text,
                         size_t capacity, bool* showChangePort);

// "/testcon.php?port=<port>"; returns the length written.
size_t formatTestPath(uint32_t port, char* out, size_t capacity);
