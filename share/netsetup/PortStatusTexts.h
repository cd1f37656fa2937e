// What a port's UPnP and firewall columns show for what the controllers report: the text and
// whether it counts as settled, pending or failed. Pure tables (no system calls).
#pragma once
#include <cstddef>
#include <cstdint>

struct ColumnText {
    enum State : uint32_t { Settled = 0, Pending = 1, Failed = 2 };
    const char16_t* text;
    uint32_t state;
};

// A UPnP progress notice (10, 12, 13, 15, 17); false for any other code. Code 16 shows the
// local address: formatUPnPReady.
bool upnpProgressText(uint32_t code, ColumnText* out);
// "Ready (<address>)" into out, cut to capacity units with its terminator; returns the length.
size_t formatUPnPReady(const char16_t* address, char16_t* out, size_t capacity);
// The UPnP controller's final result (0..7); false for any other value: nothing is shown.
bool upnpResultText(uint32_t result, ColumnText* out);
// The firewall controller's result; a value it never reports reads "Unknown", failed.
ColumnText firewallResultText(uint32_t result);
