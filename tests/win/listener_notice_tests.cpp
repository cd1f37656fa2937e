// The listener's handling of its controllers' notices on a running engine: each notice gives
// its status record, and plain messages, which carry no result, are never read as notices.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "ControllerNotice.h"
#include "EngineFixture.h"
#include "HSMainSettings.h"
#include "HTTPListener.h"
#include "LoopbackPeer.h"

namespace {

// A plain message placed flush against a no-access page: reading a field it does not have
// faults at once instead of quietly reading a neighbour's bytes.
struct EdgeMessage : ServerMessage {
    EdgeMessage(DWORD id, DWORD messageCode) : ServerMessage(id, messageCode) {}

    static DWORD pageSize() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
    }
    static void* operator new(size_t size) {
        DWORD page = pageSize();
        char* base = static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        REQUIRE(base);
        DWORD old = 0;
        REQUIRE(VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
        // sizeof is a multiple of the alignment, so the object stays aligned.
        return base + page - size;
    }
    static void operator delete(void* p) {
        uintptr_t base = reinterpret_cast<uintptr_t>(p) & ~static_cast<uintptr_t>(pageSize() - 1);
        VirtualFree(reinterpret_cast<void*>(base), 0, MEM_RELEASE);
    }
};

struct Status {
    DWORD column;
    std::wstring text;
    DWORD state;
    DWORD lastUPnP;
    DWORD lastFirewall;
};

// The Network tab's part: receives the listener's window messages and frees its records.
struct PortWindow : PumpedWindow {
    std::vector<Status> statuses;
    bool ready = false;
    bool ended = false;

    ~PortWindow() override { pump(); }
    void onMessage(const MSG& msg) override {
        if (msg.message == WM_LISTENER_STATUS) {
            PortStatus* s = reinterpret_cast<PortStatus*>(msg.lParam);
            statuses.push_back({s->column, s->upnpText, s->upnpState, s->lastUPnPResult, s->lastFirewallResult});
            delete s;
        } else if (msg.message == WM_LISTENER_READY) {
            ready = true;
        } else if (msg.message == WM_LISTENER_ENDED) {
            ended = true;
        }
    }
};

struct SettingsFixture {
    SettingsFixture() {
        initSettingsLock();
        setDefaultSettings();
        setLocalAddress(L"10.0.0.5");
    }
    ~SettingsFixture() {
        delete[] g_settings.uploadsDirectory;
        g_settings.uploadsDirectory = nullptr;
        deleteSettingsLock();
    }
};

}  // namespace

TEST_CASE("controller_notices_post_their_status_and_plain_messages_are_never_read_as_notices") {
    Winsock winsock;
    SettingsFixture settings;
    EngineFixture engine;
    REQUIRE(engine.server());
    PortWindow window;
    HTTPListener* listener = new HTTPListener(engine.server(), window.handle, programServerSettings(), nullptr, nullptr,
                                              htonl(INADDR_LOOPBACK), 0, nullptr);
    listener->setNetworkControllers(false, nullptr);   // the test posts their notices
    REQUIRE(engine.server()->addObject(listener));
    REQUIRE(window.waitFor([&] { return window.ready; }));

    const struct {
        DWORD code;
        DWORD result;
        const wchar_t* text;
        DWORD column;
        DWORD state;
    } notices[] = {
        {NoticeUPnPStarted, 0, L"Initiating...", PortStatus::UPnP, PortStatus::Pending},
        {NoticeUPnPRequestingNat, 0, L"Requesting NAT...", PortStatus::UPnP, PortStatus::Pending},
        {NoticeUPnPRequestingMappings, 0, L"Requesting Port Mappings...", PortStatus::UPnP, PortStatus::Pending},
        {NoticeUPnPAddingMapping, 0, L"Initiating Communications Port...", PortStatus::UPnP, PortStatus::Pending},
        {NoticeUPnPMapped, 4, L"Ready (10.0.0.5)", PortStatus::UPnP, PortStatus::Settled},
        {NoticeUPnPClosing, 4, L"Closing Port", PortStatus::UPnP, PortStatus::Pending},
        {NoticeUPnPFinished, 7, L"Port Already In Use", PortStatus::UPnP, PortStatus::Failed},
        {NoticeFirewallStarted, 0, L"FW Initiating", PortStatus::Firewall, PortStatus::Pending},
        {NoticeFirewallInterim, 6, L"Blocked", PortStatus::Firewall, PortStatus::Failed},
        {NoticeFirewallFinal, 4, L"Authorized", PortStatus::Firewall, PortStatus::Settled},
    };
    // One at a time: the workers may handle messages in any order.
    for (const auto& n : notices) {
        CAPTURE(n.code);
        size_t before = window.statuses.size();
        REQUIRE(listener->postToSelf(new ControllerNotice(listener->id(), n.code, n.result)));
        REQUIRE(window.waitFor([&] { return window.statuses.size() > before; }));
        const Status& s = window.statuses.back();
        CHECK(s.text == n.text);
        CHECK(s.column == n.column);
        CHECK(s.state == n.state);
    }
    CHECK(window.statuses.back().lastUPnP == 7);
    CHECK(window.statuses.back().lastFirewall == 4);

    // Plain messages with the controllers' codes and with codes nobody uses: nothing is read
    // past their end (that would fault here) and nothing is posted.
    const size_t settled = window.statuses.size();
    for (DWORD code = 10; code <= 30; ++code)
        REQUIRE(listener->postToSelf(new EdgeMessage(listener->id(), code)));
    REQUIRE(listener->postToSelf(new EdgeMessage(listener->id(), 0xFFFFFFFF)));
    // A plain stop with no controller running clears the column.
    REQUIRE(engine.server()->messageObject(listener->id(), HTTPListener::MsgStopUPnP));
    REQUIRE(window.waitFor([&] { return window.statuses.size() > settled; }));
    CHECK(window.statuses.back().text == L"");
    CHECK(window.statuses.back().column == PortStatus::UPnP);
    CHECK(window.statuses.back().state == PortStatus::Settled);

    // Two notices handed over out of order (as two workers may): the older one, made first,
    // arrives last and shows nothing, so the column keeps the newer status.
    ControllerNotice* older = new ControllerNotice(listener->id(), NoticeUPnPRequestingNat, 0);
    ControllerNotice* newer = new ControllerNotice(listener->id(), NoticeUPnPFinished, 5);
    const size_t beforeNewer = window.statuses.size();
    REQUIRE(listener->postToSelf(newer));
    REQUIRE(window.waitFor([&] { return window.statuses.size() > beforeNewer; }));
    CHECK(window.statuses.back().text == L"Failed to Forward Port");
    REQUIRE(listener->postToSelf(older));
    const size_t afterNewer = window.statuses.size();

    // The listener is released only after every message posted to it was handled.
    REQUIRE(engine.server()->terminateObject(listener->id()));
    REQUIRE(window.waitFor([&] { return window.ended; }));
    CHECK(window.statuses.size() == afterNewer);
    CHECK(window.statuses.back().text == L"Failed to Forward Port");
    CHECK(engine.stop());
}
