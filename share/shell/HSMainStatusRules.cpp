// Status line and speed rules of the main window (no system calls).
#include "HSMainStatusRules.h"

const char16_t* statusLineText(const NetStatusInput& s, bool* isError) {
    const bool upnpFailed = s.upnpState == 2, firewallFailed = s.firewallState == 2;
    const bool upnpPending = s.upnpState == 1, firewallPending = s.firewallState == 1;
    *isError = true;
    if (!s.activePortCount)
        return u"Status: Port Unavailable";
    if (!s.testSucceeded) {
        if (upnpFailed && firewallFailed)
            return u"Status: UPnP/Firewall Error";
        if (upnpFailed && s.upnpResult == 7)
            return u"Status: UPnP Port Unavailable";
        if (upnpFailed)
            return u"Status: UPnP Error";
        if (firewallFailed)
            return u"Status: Firewall Error";
    }
    *isError = false;
    if (s.testSucceeded)
        return u"Status: Active";
    if (upnpPending && firewallPending)
        return u"Status: Setting up";
    if (upnpPending)
        return u"Status: Waiting for UPnP";
    if (firewallPending)
        return u"Status: Waiting for Firewall";
    return u"Status: Active";
}

int64_t speedFromHistory(const int64_t* history, size_t count, int64_t now) {
    if (!count || now < history[0])
        return 0;
    return (now - history[0]) / 8;
}

int64_t connectionSpeed(const int64_t* history, size_t count) {
    int64_t sum = 0, steps = 0;
    for (size_t i = 1; i < count; ++i) {
        if (history[i] == 0)
            continue;
        sum += history[i] - history[i - 1];
        ++steps;
    }
    return steps ? sum / steps : 0;
}
