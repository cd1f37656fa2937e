// The firewall controller driven through a real listener against an in-process firewall whose
// state each test sets: every result with its column text, the program's own entry enabled or
// added only where it has to be, the one-second retry while blocked, and a record of every
// call proving that nothing else is ever changed.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ControllerHarness.h"
#include "FWThread.h"
#include "UPnPInterfaces.h"

namespace {

// Calls arrive on the controller's thread while the test reads: everything under one lock.
struct Firewall {
    CRITICAL_SECTION lock;
    bool enabled = true;
    bool enabledFails = false;
    bool noExceptions = false;
    bool portListed = false;
    bool portEnabled = false;
    bool appListed = false;
    bool appEnabled = false;
    bool addRefused = false;
    bool enableRefused = false;
    std::wstring appName;
    std::wstring appPath;
    std::vector<std::string> calls;
    LONG checks = 0;

    Firewall() { InitializeCriticalSection(&lock); }
    ~Firewall() { DeleteCriticalSection(&lock); }
    void record(const std::string& call) {
        EnterCriticalSection(&lock);
        calls.push_back(call);
        LeaveCriticalSection(&lock);
    }
    template <class F>
    auto with(F f) {
        EnterCriticalSection(&lock);
        auto value = f();
        LeaveCriticalSection(&lock);
        return value;
    }
    int count(const std::string& prefix) {
        return with([&] {
            int n = 0;
            for (const std::string& c : calls)
                n += c.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
            return n;
        });
    }
};

Firewall* g_firewall = nullptr;

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

#define FORBIDDEN(name) \
    { g_firewall->record("FORBIDDEN " name); return E_NOTIMPL; }

// The program's entry: the listed one, or the one the controller creates and adds.
struct FakeApp : FakeDispatch<INetFwAuthorizedApplication> {
    bool created = false;   // made by the creator, not yet added

    HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override {
        g_firewall->record("app.put_Name " + narrow(name));
        g_firewall->with([&] { return g_firewall->appName = name; });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ProcessImageFileName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR path) override {
        g_firewall->record("app.put_ProcessImageFileName");
        if (!created)
            FORBIDDEN("app.put_ProcessImageFileName on the listed entry");
        g_firewall->with([&] { return g_firewall->appPath = path; });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override FORBIDDEN("app.put_IpVersion")
    HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override FORBIDDEN("app.put_Scope")
    HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override FORBIDDEN("app.put_RemoteAddresses")
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override {
        *enabled = g_firewall->with([] { return g_firewall->appEnabled; }) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) override {
        g_firewall->record(enabled ? "app.put_Enabled true" : "app.put_Enabled false");
        return g_firewall->with([&] {
            if (g_firewall->enableRefused)
                return E_ACCESSDENIED;
            g_firewall->appEnabled = enabled != VARIANT_FALSE;
            return S_OK;
        });
    }
};

struct FakeApps : FakeDispatch<INetFwAuthorizedApplications> {
    FakeApp* app = nullptr;

    HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* added) override {
        g_firewall->record("apps.Add");
        if (added != app)
            FORBIDDEN("apps.Add of a foreign entry");
        return g_firewall->with([&] {
            if (g_firewall->addRefused)
                return E_ACCESSDENIED;
            g_firewall->appListed = true;
            app->created = false;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Remove(BSTR) override FORBIDDEN("apps.Remove")
    HRESULT STDMETHODCALLTYPE Item(BSTR path, INetFwAuthorizedApplication** out) override {
        g_firewall->record("apps.Item " + narrow(path));
        *out = nullptr;
        if (!g_firewall->with([] { return g_firewall->appListed; }))
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        *out = app->handOut();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
};

struct FakeOpenPort : FakeDispatch<INetFwOpenPort> {
    HRESULT STDMETHODCALLTYPE get_Name(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR) override FORBIDDEN("port.put_Name")
    HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override FORBIDDEN("port.put_IpVersion")
    HRESULT STDMETHODCALLTYPE get_Protocol(NET_FW_IP_PROTOCOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Protocol(NET_FW_IP_PROTOCOL) override FORBIDDEN("port.put_Protocol")
    HRESULT STDMETHODCALLTYPE get_Port(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Port(LONG) override FORBIDDEN("port.put_Port")
    HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override FORBIDDEN("port.put_Scope")
    HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override FORBIDDEN("port.put_RemoteAddresses")
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override {
        *enabled = g_firewall->with([] { return g_firewall->portEnabled; }) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override FORBIDDEN("port.put_Enabled")
    HRESULT STDMETHODCALLTYPE get_BuiltIn(VARIANT_BOOL*) override { return E_NOTIMPL; }
};

struct FakeOpenPorts : FakeDispatch<INetFwOpenPorts> {
    FakeOpenPort port;

    HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Add(INetFwOpenPort*) override FORBIDDEN("ports.Add")
    HRESULT STDMETHODCALLTYPE Remove(LONG, NET_FW_IP_PROTOCOL) override FORBIDDEN("ports.Remove")
    HRESULT STDMETHODCALLTYPE Item(LONG number, NET_FW_IP_PROTOCOL protocol, INetFwOpenPort** out) override {
        g_firewall->record("ports.Item " + std::to_string(number) + " " + std::to_string(protocol));
        *out = nullptr;
        if (!g_firewall->with([] { return g_firewall->portListed; }))
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        *out = port.handOut();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
};

struct FakeProfile : FakeDispatch<INetFwProfile> {
    FakeOpenPorts ports;
    FakeApps apps;

    HRESULT STDMETHODCALLTYPE get_Type(NET_FW_PROFILE_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_FirewallEnabled(VARIANT_BOOL* enabled) override {
        return g_firewall->with([&] {
            ++g_firewall->checks;
            *enabled = g_firewall->enabled ? VARIANT_TRUE : VARIANT_FALSE;
            return g_firewall->enabledFails ? E_FAIL : S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE put_FirewallEnabled(VARIANT_BOOL) override FORBIDDEN("profile.put_FirewallEnabled")
    HRESULT STDMETHODCALLTYPE get_ExceptionsNotAllowed(VARIANT_BOOL* on) override {
        *on = g_firewall->with([] { return g_firewall->noExceptions; }) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_ExceptionsNotAllowed(VARIANT_BOOL) override
        FORBIDDEN("profile.put_ExceptionsNotAllowed")
    HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(VARIANT_BOOL) override
        FORBIDDEN("profile.put_NotificationsDisabled")
    HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL) override
        FORBIDDEN("profile.put_UnicastResponses")
    HRESULT STDMETHODCALLTYPE get_RemoteAdminSettings(INetFwRemoteAdminSettings**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_IcmpSettings(INetFwIcmpSettings**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_GloballyOpenPorts(INetFwOpenPorts** out) override {
        *out = ports.handOut();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Services(INetFwServices**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(INetFwAuthorizedApplications** out) override {
        *out = apps.handOut();
        return S_OK;
    }
};

struct FakePolicy : FakeDispatch<INetFwPolicy> {
    FakeProfile profile;
    HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** out) override {
        *out = profile.handOut();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE, INetFwProfile**) override { return E_NOTIMPL; }
};

struct FakeManager : FakeDispatch<INetFwMgr> {
    FakePolicy policy;
    HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** out) override {
        *out = policy.handOut();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentProfileType(NET_FW_PROFILE_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RestoreDefaults() override FORBIDDEN("manager.RestoreDefaults")
    HRESULT STDMETHODCALLTYPE IsPortAllowed(BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL, VARIANT*,
                                            VARIANT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsIcmpTypeAllowed(NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*) override {
        return E_NOTIMPL;
    }
};

struct Rig {
    Firewall state;
    FakeManager manager;
    FakeApp app;
    bool managerAvailable = true;

    Rig() { manager.policy.profile.apps.app = &app; }
    bool allReleased() const {
        const FakeProfile& p = manager.policy.profile;
        return manager.held() == 0 && manager.policy.held() == 0 && p.held() == 0 && p.ports.held() == 0 &&
               p.ports.port.held() == 0 && p.apps.held() == 0 && app.held() == 0;
    }
};

Rig* g_rigFw = nullptr;

HRESULT STDAPICALLTYPE createFake(REFCLSID clsid, IUnknown*, DWORD context, REFIID, LPVOID* out) {
    *out = nullptr;
    if (IsEqualGUID(clsid, kClsidNetFwMgr) && g_rigFw->managerAvailable) {
        *out = static_cast<INetFwMgr*>(g_rigFw->manager.handOut());
        return S_OK;
    }
    if (IsEqualGUID(clsid, kClsidNetFwAuthorizedApplication) && context == CLSCTX_INPROC_SERVER) {
        g_rigFw->state.record("create app");
        g_rigFw->app.created = true;
        *out = static_cast<INetFwAuthorizedApplication*>(g_rigFw->app.handOut());
        return S_OK;
    }
    // No UPnP here: the listener runs with it off.
    return REGDB_E_CLASSNOTREG;
}

struct Run {
    Winsock winsock;
    ControllerSettings settings{false};
    EngineFixture engine;
    StatusWindow window;
    Rig rig;
    WORD port = unusedPort();
    HTTPListener* listener = nullptr;
    std::wstring ownPath;

    Run() {
        g_rigFw = &rig;
        g_firewall = &rig.state;
        wchar_t path[MAX_PATH];
        ownPath.assign(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    }
    ~Run() {
        g_rigFw = nullptr;
        g_firewall = nullptr;
    }
    void start() {
        listener = startListener(engine, window, port, createFake);
        REQUIRE(listener);
    }
    bool waitForText(const wchar_t* text, int ms = 5000) {
        return window.waitFor(
            [&] {
                const ColumnStatus* s = window.last(PortStatus::Firewall);
                return s && s->text == text;
            },
            ms);
    }
    int terminate() {
        DWORD begin = GetTickCount();
        REQUIRE(engine.server()->terminateObject(listener->id()));
        if (!window.waitFor([&] { return window.ended; }))
            return -1;
        return static_cast<int>(GetTickCount() - begin);
    }
    void finish() {
        if (!window.ended)
            CHECK(terminate() >= 0);
        CHECK(rig.state.count("FORBIDDEN") == 0);
        CHECK(rig.allReleased());
        CHECK(engine.stop());
    }
};

}  // namespace

TEST_CASE("each firewall state gives its result and column text, changing only the program's own entry") {
    const struct {
        const char* name;
        void (*setUp)(Firewall&);
        const wchar_t* text;
        DWORD result;
        DWORD state;
        int itemLookups;   // of the program's entry (apps.Item)
        int adds;
        int enables;
    } cases[] = {
        {"firewall off", [](Firewall& f) { f.enabled = false; }, L"Disabled", FWController::FirewallOff,
         PortStatus::Settled, 0, 0, 0},
        {"port globally open", [](Firewall& f) { f.portListed = f.portEnabled = true; }, L"Authorized",
         FWController::PortOpen, PortStatus::Settled, 0, 0, 0},
        {"program listed and enabled", [](Firewall& f) { f.portListed = f.appListed = f.appEnabled = true; },
         L"Authorized", FWController::AppAuthorized, PortStatus::Settled, 1, 0, 0},
        {"program listed but disabled", [](Firewall& f) { f.appListed = true; }, L"Authorized",
         FWController::AppAuthorized, PortStatus::Settled, 1, 0, 1},
        {"enabling refused", [](Firewall& f) { f.appListed = f.enableRefused = true; }, L"Blocked",
         FWController::Blocked, PortStatus::Failed, 1, 0, 1},
        {"program not listed", [](Firewall&) {}, L"Authorized", FWController::AppAuthorized, PortStatus::Settled, 1,
         1, 1},
        {"no exceptions", [](Firewall& f) { f.noExceptions = true; }, L"No Exceptions Mode",
         FWController::NoExceptions, PortStatus::Failed, 0, 0, 0},
        {"reading the firewall fails", [](Firewall& f) { f.enabledFails = true; }, L"Error Checking Firewall Status",
         FWController::CheckError, PortStatus::Settled, 0, 0, 0},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Run run;
        c.setUp(run.rig.state);
        run.start();
        REQUIRE(run.waitForText(c.text));
        // The first check is done; stop before a retry can add to the record.
        CHECK(run.terminate() >= 0);
        const ColumnStatus* last = run.window.last(PortStatus::Firewall);
        CHECK(last->text == c.text);
        CHECK(last->state == c.state);
        CHECK(last->lastFirewall == c.result);
        CHECK(run.rig.state.count("apps.Item") == c.itemLookups);
        CHECK(run.rig.state.count("apps.Add") == c.adds);
        CHECK(run.rig.state.count("app.put_Enabled true") == c.enables);
        if (c.itemLookups)
            CHECK(run.rig.state.count("apps.Item " + narrow(run.ownPath.c_str())) == c.itemLookups);
        if (c.enables) {
            CHECK(run.rig.state.count("app.put_Name Wexa-Share File Sharing") == 1);
            CHECK(run.rig.state.appName == L"Wexa-Share File Sharing");
        }
        if (c.adds)
            CHECK(run.rig.state.appPath == run.ownPath);
        if (c.result != FWController::FirewallOff && c.result != FWController::NoExceptions &&
            c.result != FWController::CheckError)
            CHECK(run.rig.state.count("ports.Item " + std::to_string(run.port) + " 6") == 1);
        run.finish();
    }
}

TEST_CASE("a firewall manager that cannot be created ends the check at once with \"Disabled\"") {
    Run run;
    run.rig.managerAvailable = false;
    run.start();
    REQUIRE(run.waitForText(L"Disabled"));
    const ColumnStatus* last = run.window.last(PortStatus::Firewall);
    CHECK(last->lastFirewall == FWController::ManagerUnavailable);
    CHECK(last->state == PortStatus::Settled);
    // Ended by itself: the listener's end posts nothing more to the column.
    size_t shown = run.window.count(PortStatus::Firewall);
    CHECK(run.terminate() >= 0);
    CHECK(run.window.count(PortStatus::Firewall) == shown);
    run.finish();
}

TEST_CASE("a blocked program tries again every second, and a settled one waits") {
    SUBCASE("adding refused: another attempt a second later, then success once allowed") {
        Run run;
        run.rig.state.addRefused = true;
        run.start();
        REQUIRE(run.waitForText(L"Blocked"));
        REQUIRE(run.window.waitFor([&] { return run.rig.state.count("apps.Add") >= 3; }, 4000));
        run.rig.state.with([&] { return run.rig.state.addRefused = false; });
        REQUIRE(run.waitForText(L"Authorized", 2500));
        CHECK(run.window.last(PortStatus::Firewall)->lastFirewall == FWController::AppAuthorized);
        run.finish();
    }
    SUBCASE("no-exceptions mode switched off: the next check authorizes the program") {
        Run run;
        run.rig.state.noExceptions = true;
        run.start();
        REQUIRE(run.waitForText(L"No Exceptions Mode"));
        run.rig.state.with([&] { return run.rig.state.noExceptions = false; });
        REQUIRE(run.waitForText(L"Authorized", 2500));
        CHECK(run.rig.state.count("apps.Add") == 1);
        run.finish();
    }
    SUBCASE("authorized: no second check within seconds, and a stop ends the long pause at once") {
        Run run;
        run.rig.state.appListed = run.rig.state.appEnabled = true;
        run.start();
        REQUIRE(run.waitForText(L"Authorized"));
        Sleep(2500);
        CHECK(run.rig.state.with([&] { return run.rig.state.checks; }) == 1);
        int took = run.terminate();
        CHECK(took >= 0);
        CHECK(took < 1000);
        CHECK(run.window.last(PortStatus::Firewall)->lastFirewall == FWController::AppAuthorized);
        run.finish();
    }
}
