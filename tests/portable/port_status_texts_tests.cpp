// The UPnP and firewall columns' texts and states for every value the controllers report, the
// values they never report, and the "Ready (...)" text cut to the record's size.
#include <doctest.h>

#include <string>

#include "PortStatusTexts.h"

TEST_CASE("UPnP results: settled only when mapped, removed or undecided; nothing shown for unknown values") {
    const struct {
        uint32_t result;
        const char16_t* text;
        uint32_t state;
    } cases[] = {
        {0, u"", ColumnText::Settled},
        {1, u"UPnP Unreachable", ColumnText::Failed},
        {2, u"Router/Modem Unreachable", ColumnText::Failed},
        {3, u"Error", ColumnText::Failed},
        {4, u"Ready", ColumnText::Settled},
        {5, u"Failed to Forward Port", ColumnText::Failed},
        {6, u"", ColumnText::Settled},
        {7, u"Port Already In Use", ColumnText::Failed},
    };
    for (const auto& c : cases) {
        CAPTURE(c.result);
        ColumnText shown = {};
        REQUIRE(upnpResultText(c.result, &shown));
        CHECK(std::u16string(shown.text) == c.text);
        CHECK(shown.state == c.state);
    }
    ColumnText untouched = {u"kept", 9};
    for (uint32_t result : {8u, 11u, 0xFFFFFFFFu})
        CHECK_FALSE(upnpResultText(result, &untouched));
    CHECK(untouched.state == 9);
}

TEST_CASE("UPnP progress: every step pending; the ready and final codes are not progress") {
    const struct {
        uint32_t code;
        const char16_t* text;
    } steps[] = {
        {10, u"Initiating..."},
        {12, u"Requesting NAT..."},
        {13, u"Requesting Port Mappings..."},
        {15, u"Initiating Communications Port..."},
        {17, u"Closing Port"},
    };
    for (const auto& s : steps) {
        CAPTURE(s.code);
        ColumnText shown = {};
        REQUIRE(upnpProgressText(s.code, &shown));
        CHECK(std::u16string(shown.text) == s.text);
        CHECK(shown.state == ColumnText::Pending);
    }
    ColumnText shown = {};
    for (uint32_t code : {11u, 14u, 16u, 20u, 21u, 22u})
        CHECK_FALSE(upnpProgressText(code, &shown));
}

TEST_CASE("the ready text carries the local address and stays within the record") {
    char16_t out[32];
    CHECK(formatUPnPReady(u"192.168.1.20", out, 32) == 20);
    CHECK(std::u16string(out) == u"Ready (192.168.1.20)");
    CHECK(formatUPnPReady(nullptr, out, 32) == 8);
    CHECK(std::u16string(out) == u"Ready ()");
    // A long address is cut, the record stays terminated.
    char16_t small[12];
    std::u16string longAddress(100, u'9');
    CHECK(formatUPnPReady(longAddress.c_str(), small, 12) == 11);
    CHECK(small[11] == 0);
    CHECK(std::u16string(small) == u"Ready (9999");
}

TEST_CASE("firewall results: an error while checking is settled, an unknown value is failed") {
    const struct {
        uint32_t result;
        const char16_t* text;
        uint32_t state;
    } cases[] = {
        {0, u"Unknown", ColumnText::Failed},
        {1, u"Disabled", ColumnText::Settled},
        {2, u"Error Checking Firewall Status", ColumnText::Settled},
        {3, u"Disabled", ColumnText::Settled},
        {4, u"Authorized", ColumnText::Settled},
        {5, u"Authorized", ColumnText::Settled},
        {6, u"Blocked", ColumnText::Failed},
        {7, u"No Exceptions Mode", ColumnText::Failed},
        {8, u"Unknown", ColumnText::Failed},
    };
    for (const auto& c : cases) {
        CAPTURE(c.result);
        ColumnText shown = firewallResultText(c.result);
        CHECK(std::u16string(shown.text) == c.text);
        CHECK(shown.state == c.state);
    }
}
