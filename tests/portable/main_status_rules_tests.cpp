// The main window's status line choice and its speed arithmetic.
#include <doctest.h>

#include <string>

#include "HSMainStatusRules.h"

namespace {

std::u16string line(const NetStatusInput& input, bool* error) {
    return statusLineText(input, error);
}

}  // namespace

TEST_CASE("status line: the first rule that holds wins") {
    struct Case {
        NetStatusInput input;
        const char16_t* text;
        bool error;
    } cases[] = {
        // no active port beats everything, even a succeeded test
        {{0, true, 0, 0, 0, 0}, u"Status: Port Unavailable", true},
        // a succeeded test beats every UPnP and firewall error
        {{1, true, 2, 7, 2, 7}, u"Status: Active", false},
        {{1, false, 2, 1, 2, 6}, u"Status: UPnP/Firewall Error", true},
        {{1, false, 2, 7, 0, 1}, u"Status: UPnP Port Unavailable", true},
        {{1, false, 2, 3, 0, 1}, u"Status: UPnP Error", true},
        // a firewall failure comes before a pending UPnP
        {{1, false, 1, 0, 2, 7}, u"Status: Firewall Error", true},
        {{2, false, 1, 0, 1, 0}, u"Status: Setting up", false},
        {{1, false, 1, 0, 0, 1}, u"Status: Waiting for UPnP", false},
        {{1, false, 0, 0, 1, 0}, u"Status: Waiting for Firewall", false},
        // UPnP off (settled, no result) and the firewall authorized
        {{1, false, 0, 0, 0, 1}, u"Status: Active", false},
    };
    for (const Case& c : cases) {
        bool error = !c.error;
        CHECK(line(c.input, &error) == c.text);
        CHECK(error == c.error);
    }
}

TEST_CASE("send and receive speed: the change over eight ticks, divided by eight") {
    int64_t history[8] = {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000};
    CHECK(speedFromHistory(history, 8, 1000) == 0);
    CHECK(speedFromHistory(history, 8, 1000 + 8 * 512) == 512);
    CHECK(speedFromHistory(history, 8, 1007) == 0);   // integer division
    // Counters cleared by the user: never a negative speed.
    CHECK(speedFromHistory(history, 8, 0) == 0);
}

TEST_CASE("connection speed: mean increase over the steps whose later count is set") {
    struct Case {
        int64_t history[10];
        int64_t speed;
    } cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
        // a fresh record: the first non-zero step counts in full
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 3000}, 3000},
        {{0, 0, 0, 0, 0, 0, 0, 0, 1000, 3000}, 1500},
        {{100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}, 100},
        // a stall keeps counting as a step of zero
        {{0, 0, 0, 0, 0, 0, 0, 1000, 1000, 1000}, 333},
    };
    for (const Case& c : cases)
        CHECK(connectionSpeed(c.history, 10) == c.speed);
}
