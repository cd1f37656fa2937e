// The status bar's network status line fed by a running listener's own notifications, as the
// Network tab feeds it: each controller notice moves the line to the rule its table gives.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "ControllerNotice.h"
#include "EngineFixture.h"
#include "HSMainSettings.h"
#include "HSMainStatusRules.h"
#include "HTTPListener.h"
#include "LoopbackPeer.h"
#include "NetStatus.h"

namespace {

// The Network tab's part for the current listener: its status notifications update the status.
struct StatusWindow : PumpedWindow {
    NetStatusInput status = {1, false, 0, 0, 1, 0};   // one active port; the start values
    size_t notifications = 0;
    bool ready = false, ended = false;

    ~StatusWindow() override { pump(); }
    void onMessage(const MSG& msg) override {
        if (msg.message == WM_LISTENER_STATUS) {
            PortStatus* s = reinterpret_cast<PortStatus*>(msg.lParam);
            if (s->column == PortStatus::UPnP) {
                status.upnpState = s->upnpState;
                status.upnpResult = s->lastUPnPResult;
            } else {
                status.firewallState = s->firewallState;
                status.firewallResult = s->lastFirewallResult;
            }
            ++notifications;
            delete s;
        } else if (msg.message == WM_LISTENER_READY) {
            ready = true;
        } else if (msg.message == WM_LISTENER_ENDED) {
            ended = true;
        }
    }
    std::u16string line(bool* error) {
        status.testSucceeded = getTestSucceeded();
        return statusLineText(status, error);
    }
};

}  // namespace

TEST_CASE("status line follows the listener's UPnP and firewall notices through its rules") {
    Winsock winsock;
    initSettingsLock();
    setDefaultSettings();
    {
        EngineFixture engine;
        REQUIRE(engine.server());
        StatusWindow window;
        HTTPListener* listener = new HTTPListener(engine.server(), window.handle, programServerSettings(), nullptr, nullptr,
                                                  htonl(INADDR_LOOPBACK), 0, nullptr);
        // Every finished UPnP run asks for a test: nobody listens there, so it ends at once.
        listener->setTestService("127.0.0.1", unusedPort());
        listener->setNetworkControllers(false, nullptr);   // the test posts their notices
        REQUIRE(engine.server()->addObject(listener));
        REQUIRE(window.waitFor([&] { return window.ready; }));
        setTestSucceeded(false);

        bool error = true;
        CHECK(window.line(&error) == u"Status: Waiting for Firewall");
        CHECK_FALSE(error);

        const struct {
            DWORD code;
            DWORD result;
            bool testSucceeded;
            const char16_t* line;
            bool error;
        } steps[] = {
            {NoticeUPnPStarted, 0, false, u"Status: Setting up", false},
            // No exceptions mode while UPnP is still pending: the firewall error comes first.
            {NoticeFirewallInterim, 7, false, u"Status: Firewall Error", true},
            {NoticeUPnPFinished, 7, false, u"Status: UPnP/Firewall Error", true},
            {NoticeFirewallFinal, 4, false, u"Status: UPnP Port Unavailable", true},
            {NoticeUPnPStarted, 0, false, u"Status: Waiting for UPnP", false},
            {NoticeUPnPFinished, 5, false, u"Status: UPnP Error", true},
            {NoticeUPnPFinished, 4, false, u"Status: Active", false},
            // A succeeded test outlives a later UPnP failure.
            {NoticeUPnPFinished, 3, true, u"Status: Active", false},
        };
        for (const auto& step : steps) {
            CAPTURE(step.code);
            CAPTURE(step.result);
            if (step.testSucceeded)
                setTestSucceeded(true);
            size_t before = window.notifications;
            REQUIRE(listener->postToSelf(new ControllerNotice(listener->id(), step.code, step.result)));
            REQUIRE(window.waitFor([&] { return window.notifications > before; }));
            CHECK(window.line(&error) == step.line);
            CHECK(error == step.error);
        }
        setTestSucceeded(false);

        REQUIRE(engine.server()->terminateObject(listener->id()));
        REQUIRE(window.waitFor([&] { return window.ended; }));
        CHECK(engine.stop());
    }
    delete[] g_settings.uploadsDirectory;
    g_settings.uploadsDirectory = nullptr;
    deleteSettingsLock();
}
