// Texts and buttons of the network status dialog, chosen by the first rule that holds.
#include "NetStatusRules.h"

#include "TextHelpers.h"

namespace {

struct Flags {
    bool noPort, succeeded, upnpFailed, firewallFailed, upnpPending, firewallPending;
    bool upnpBusy, noExceptions;   // result 7 of a failed controller
};

Flags flagsOf(const NetStatusInput& s) {
    Flags f;
    f.noPort = s.activePortCount == 0;
    f.succeeded = s.testSucceeded;
    f.upnpFailed = s.upnpState == 2;
    f.firewallFailed = s.firewallState == 2;
    f.upnpPending = s.upnpState == 1;
    f.firewallPending = s.firewallState == 1;
    f.upnpBusy = f.upnpFailed && s.upnpResult == 7;
    f.noExceptions = f.firewallFailed && s.firewallResult == 7;
    return f;
}

// Copies pattern, with every "%u" replaced by the port in decimal.
void fillPort(const char16_t* pattern, uint32_t port, char16_t* out, size_t capacity) {
    if (!capacity)
        return;
    char16_t digits[12];
    size_t digitCount = formatDecimal(port, digits, 12);
    size_t n = 0;
    for (const char16_t* p = pattern; *p && n + 1 < capacity; ++p) {
        if (p[0] == u'%' && p[1] == u'u') {
            for (size_t i = 0; i < digitCount && n + 1 < capacity; ++i)
                out[n++] = digits[i];
            ++p;
        } else {
            out[n++] = *p;
        }
    }
    out[n] = 0;
}

const char16_t* titleFor(const Flags& f) {
    if (f.noPort)
        return u"Current Network Status: Error, Port Unavailable";
    if (f.succeeded)
        return u"Current Network Status: Active";
    if (f.upnpFailed && f.firewallFailed)
        return u"Current Network Status: UPnP/Firewall Error";
    if (f.upnpBusy)
        return u"Current Network Status: Error, Port Busy";
    if (f.upnpFailed)
        return u"Current Network Status: UPnP Error";
    if (f.noExceptions)
        return u"Current Network Status: Firewall Error, No Exceptions Mode";
    if (f.firewallFailed)
        return u"Current Network Status: Firewall Error";
    if (f.upnpPending && f.firewallPending)
        return u"Current Network Status: Setting up";
    if (f.upnpPending)
        return u"Current Network Status: Waiting for UPnP";
    if (f.firewallPending)
        return u"Current Network Status: Waiting for Firewall";
    return u"Current Network Status: Active";
}

const char16_t* explanationFor(const Flags& f) {
    if (f.noPort)
        return u"Port %u, which is the currently chosen port, is not available.\r\n\r\n"
               u"Please press the Change Port Number... button to select a new port.";
    if (f.succeeded)
        return u"Port %u is working correctly.";
    if (f.upnpFailed && f.firewallFailed && f.noExceptions)
        return u"The Windows Firewall is in No Exceptions mode. In addition, UPnP failed to auto-configure "
               u"port %u.\r\n\r\nFirewall settings are available from the Windows Firewall control panel. "
               u"No Exceptions mode is sometimes set automatically when on a public network.";
    if (f.upnpFailed && f.firewallFailed)
        return u"The Windows Firewall appears to be blocking Wexa-Share from using the network. In addition, "
               u"UPnP failed to auto-configure port %u\r\n\r\nFirewall settings are available from the "
               u"Windows Firewall control panel. Make sure that Wexa-Share is on the list of allowed programs.";
    if (f.upnpBusy)
        return u"Auto-configuration of port %u failed, because the router reports that it is already in "
               u"use.\r\n\r\nIf the network-test fails, please press the Change Port Number... button to "
               u"select a new port.";
    if (f.upnpFailed)
        return u"Auto-configuration of port %u failed.\r\n\r\nIf the network-test fails, manual forwarding "
               u"of port %u on the router is necessary.";
    if (f.noExceptions)
        return u"The Windows Firewall is in No Exceptions mode, and therefore blocking network access for "
               u"Wexa-Share.\r\n\r\nFirewall settings are available from the Windows Firewall control "
               u"panel. No Exceptions mode is sometimes set automatically when on a public network.";
    if (f.firewallFailed)
        return u"The Windows Firewall appears to be blocking Wexa-Share from using the network.\r\n\r\n"
               u"Firewall settings are available from the Windows Firewall control panel. Make sure that "
               u"Wexa-Share is on the list of allowed programs.";
    if (f.upnpPending && f.firewallPending)
        return u"Configuration in progress....";
    if (f.upnpPending)
        return u"Port %u is currently being auto-configured through UPnP. This is usually completed in less "
               u"than one minute.";
    if (f.firewallPending)
        return u"Wexa-Share is waiting for a response from the Windows Firewall.";
    return u"Port %u is successfully set up.\r\n\r\nRun the network test to determine if a remote connection "
           u"is possible.";
}

}  // namespace

void describeNetStatus(const NetStatusInput& status, uint32_t port, NetStatusView* view) {
    Flags f = flagsOf(status);
    view->title = titleFor(f);
    fillPort(explanationFor(f), port, view->explanation, kNetStatusTextUnits);
    if (f.noPort)
        view->testText = u"An active port is needed before the network test can be run.";
    else if (f.succeeded)
        view->testText = u"The internet connectivity test completed successfully!";
    else
        view->testText = u"Press the Run Test... button to run the connectivity test.";
    view->changePortShown = f.noPort || (!f.succeeded && f.upnpBusy);
    view->runTestEnabled = !f.noPort && !f.succeeded;
}

void describeTestTimeout(const NetStatusInput& status, bool upnpEnabled, uint32_t port, char16_t* text,
                         size_t capacity, bool* showChangePort) {
    Flags f = flagsOf(status);
    *showChangePort = f.upnpBusy;
    const char16_t* pattern;
    if (f.upnpBusy)
        pattern = u"The network test is not responding. Please choose a different port, as port %u seems to be "
                  u"busy.";
    else if (f.firewallFailed)
        pattern = u"The network test is not responding. Check the Windows Firewall settings.";
    else if (!upnpEnabled)
        pattern = u"The network test is not responding. Enable UPnP on the Network tab to attempt "
                  u"auto-configuration, or manually forward port %u on the router.";
    else
        pattern = u"The network test is not responding. Port %u must be manually forwarded on the router.";
    fillPort(pattern, port, text, capacity);
}

size_t formatTestPath(uint32_t port, char* out, size_t capacity) {
    size_t length = copyBounded(out, capacity, "/testcon.php?port=");
    if (length + 1 < capacity)
        length += formatDecimal(port, out + length, capacity - length);
    return length;
}
