// The column tables of the UPnP and firewall controllers' notices.
#include "PortStatusTexts.h"

#include "TextHelpers.h"

bool upnpProgressText(uint32_t code, ColumnText* out) {
    switch (code) {
    case 10: *out = {u"Initiating...", ColumnText::Pending}; return true;
    case 12: *out = {u"Requesting NAT...", ColumnText::Pending}; return true;
    case 13: *out = {u"Requesting Port Mappings...", ColumnText::Pending}; return true;
    case 15: *out = {u"Initiating Communications Port...", ColumnText::Pending}; return true;
    case 17: *out = {u"Closing Port", ColumnText::Pending}; return true;
    default: return false;
    }
}

size_t formatUPnPReady(const char16_t* address, char16_t* out, size_t capacity) {
    if (!capacity)
        return 0;
    out[0] = 0;
    appendBounded(out, capacity, u"Ready (");
    appendBounded(out, capacity, address ? address : u"");
    return appendBounded(out, capacity, u")");
}

bool upnpResultText(uint32_t result, ColumnText* out) {
    static const ColumnText kResults[] = {
        {u"", ColumnText::Settled},                        // nothing decided (stopped early)
        {u"UPnP Unreachable", ColumnText::Failed},         // no NAT object
        {u"Router/Modem Unreachable", ColumnText::Failed}, // no gateway
        {u"Error", ColumnText::Failed},                    // COM or the collection failed
        {u"Ready", ColumnText::Settled},                   // mapped
        {u"Failed to Forward Port", ColumnText::Failed},   // Add refused
        {u"", ColumnText::Settled},                        // mapping removed after a stop
        {u"Port Already In Use", ColumnText::Failed},      // held by another client
    };
    if (result >= sizeof kResults / sizeof *kResults)
        return false;
    *out = kResults[result];
    return true;
}

ColumnText firewallResultText(uint32_t result) {
    switch (result) {
    case 1: case 3: return {u"Disabled", ColumnText::Settled};
    // An error while checking is no reason to show the port as blocked.
    case 2: return {u"Error Checking Firewall Status", ColumnText::Settled};
    case 4: case 5: return {u"Authorized", ColumnText::Settled};
    case 6: return {u"Blocked", ColumnText::Failed};
    case 7: return {u"No Exceptions Mode", ColumnText::Failed};
    default: return {u"Unknown", ColumnText::Failed};
    }
}
