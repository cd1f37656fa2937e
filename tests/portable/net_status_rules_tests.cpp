// The network status dialog's texts and buttons, the text a test without an answer leaves,
// and the path that asks the service for the test.
#include <doctest.h>

#include <string>

#include "NetStatusRules.h"

namespace {

// activePortCount, testSucceeded, upnpState, upnpResult, firewallState, firewallResult
NetStatusInput status(size_t ports, bool succeeded, uint32_t upnp, uint32_t upnpResult, uint32_t firewall,
                      uint32_t firewallResult) {
    return NetStatusInput{ports, succeeded, upnp, upnpResult, firewall, firewallResult};
}

std::u16string timeout(const NetStatusInput& s, bool upnpEnabled, bool* showChangePort) {
    char16_t text[kNetStatusTextUnits];
    describeTestTimeout(s, upnpEnabled, 8080, text, kNetStatusTextUnits, showChangePort);
    return text;
}

}  // namespace

TEST_CASE("dialog: title, explanation, test text and buttons follow the first rule that holds") {
    struct Case {
        NetStatusInput input;
        const char16_t* title;
        const char16_t* explanationStart;
        bool changePort;
        bool runTest;
    } cases[] = {
        // No active port beats a succeeded test; the port is the configured one.
        {status(0, true, 0, 0, 0, 0), u"Current Network Status: Error, Port Unavailable",
         u"Port 8080, which is the currently chosen port, is not available.\r\n\r\nPlease press", true, false},
        // A succeeded test beats every controller error, and hides the busy port's button.
        {status(1, true, 2, 7, 2, 7), u"Current Network Status: Active", u"Port 8080 is working correctly.", false,
         false},
        {status(1, false, 2, 1, 2, 7), u"Current Network Status: UPnP/Firewall Error",
         u"The Windows Firewall is in No Exceptions mode. In addition, UPnP failed to auto-configure port 8080.",
         false, true},
        {status(1, false, 2, 1, 2, 6), u"Current Network Status: UPnP/Firewall Error",
         u"The Windows Firewall appears to be blocking Wexa-Share from using the network. In addition, UPnP "
         u"failed to auto-configure port 8080\r\n",
         false, true},
        {status(1, false, 2, 7, 0, 4), u"Current Network Status: Error, Port Busy",
         u"Auto-configuration of port 8080 failed, because the router reports that it is already in use.", true,
         true},
        // Both ports of the text are filled in.
        {status(1, false, 2, 5, 1, 0), u"Current Network Status: UPnP Error",
         u"Auto-configuration of port 8080 failed.\r\n\r\nIf the network-test fails, manual forwarding of port "
         u"8080 on the router is necessary.",
         false, true},
        // A firewall failure comes before a pending UPnP.
        {status(1, false, 1, 0, 2, 7), u"Current Network Status: Firewall Error, No Exceptions Mode",
         u"The Windows Firewall is in No Exceptions mode, and therefore blocking", false, true},
        {status(1, false, 0, 0, 2, 0), u"Current Network Status: Firewall Error",
         u"The Windows Firewall appears to be blocking Wexa-Share from using the network.\r\n\r\nFirewall", false,
         true},
        {status(1, false, 1, 0, 1, 0), u"Current Network Status: Setting up", u"Configuration in progress....",
         false, true},
        {status(1, false, 1, 0, 0, 4), u"Current Network Status: Waiting for UPnP",
         u"Port 8080 is currently being auto-configured through UPnP.", false, true},
        {status(1, false, 0, 0, 1, 0), u"Current Network Status: Waiting for Firewall",
         u"Wexa-Share is waiting for a response from the Windows Firewall.", false, true},
        // UPnP off (settled, no result) and the firewall authorized.
        {status(1, false, 0, 0, 0, 4), u"Current Network Status: Active",
         u"Port 8080 is successfully set up.\r\n\r\nRun the network test to determine if a remote connection is "
         u"possible.",
         false, true},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.title, c.title + std::char_traits<char16_t>::length(c.title)).c_str());
        NetStatusView view;
        describeNetStatus(c.input, 8080, &view);
        CHECK(std::u16string(view.title) == c.title);
        CHECK(std::u16string(view.explanation).rfind(c.explanationStart, 0) == 0);
        CHECK(view.changePortShown == c.changePort);
        CHECK(view.runTestEnabled == c.runTest);
        const char16_t* test = c.input.activePortCount == 0 ? u"An active port is needed before the network test can be run."
                               : c.input.testSucceeded     ? u"The internet connectivity test completed successfully!"
                                                           : u"Press the Run Test... button to run the connectivity test.";
        CHECK(std::u16string(view.testText) == test);
    }
}

TEST_CASE("dialog: the longest explanation with a five-digit port is neither cut nor overrun") {
    NetStatusView view;
    describeNetStatus(status(1, false, 2, 1, 2, 6), 65535, &view);
    std::u16string text = view.explanation;
    CHECK(text.find(u"port 65535\r\n") != std::u16string::npos);
    const std::u16string end = u"Make sure that Wexa-Share is on the list of allowed programs.";
    REQUIRE(text.size() > end.size());
    CHECK(text.substr(text.size() - end.size()) == end);
}

TEST_CASE("test without an answer: the text fits the status, and only a busy port offers another") {
    bool change = false;
    CHECK(timeout(status(1, false, 2, 7, 2, 6), true, &change) ==
          u"The network test is not responding. Please choose a different port, as port 8080 seems to be busy.");
    CHECK(change);
    CHECK(timeout(status(1, false, 2, 3, 2, 6), true, &change) ==
          u"The network test is not responding. Check the Windows Firewall settings.");
    CHECK_FALSE(change);
    CHECK(timeout(status(1, false, 0, 0, 0, 4), false, &change) ==
          u"The network test is not responding. Enable UPnP on the Network tab to attempt auto-configuration, or "
          u"manually forward port 8080 on the router.");
    CHECK_FALSE(change);
    CHECK(timeout(status(1, false, 0, 4, 1, 0), true, &change) ==
          u"The network test is not responding. Port 8080 must be manually forwarded on the router.");
    CHECK_FALSE(change);
    // A small buffer is cut and terminated, never overrun.
    char16_t small[10];
    small[9] = u'x';
    describeTestTimeout(status(1, false, 0, 0, 0, 0), true, 8080, small, 10, &change);
    CHECK(std::u16string(small) == u"The netwo");
}

TEST_CASE("test path: the port in decimal after the service's script") {
    char path[250];
    CHECK(formatTestPath(80, path, sizeof path) == 20);
    CHECK(std::string(path) == "/testcon.php?port=80");
    formatTestPath(65535, path, sizeof path);
    CHECK(std::string(path) == "/testcon.php?port=65535");
}
