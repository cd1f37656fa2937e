// The UPnP controller driven through a real listener on a running engine, against in-process
// stand-ins for the NAT object, its mapping collection and the device finder: the texts the
// port's UPnP column walks through, the mapping made and removed, the gateway check's timing,
// and stops that arrive while the controller is busy. No packet leaves the process.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "ControllerHarness.h"
#include "UPnPThread.h"
#include "UPnPInterfaces.h"

namespace {

struct FakeMapping : FakeDispatch<IStaticPortMapping> {
    HRESULT STDMETHODCALLTYPE get_ExternalIPAddress(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ExternalPort(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_InternalPort(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Protocol(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_InternalClient(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EditInternalClient(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Enable(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EditDescription(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EditInternalPort(long) override { return E_NOTIMPL; }
};

struct Added {
    long external;
    std::wstring protocol;
    long internal;
    std::wstring client;
    VARIANT_BOOL enabled;
    std::wstring description;
};

// The gateway's table as the collection shows it. Calls come from the mapping thread; the
// test reads the records once that thread waits or has ended.
struct FakeMappings : FakeDispatch<IStaticPortMappingCollection> {
    HRESULT addResult = S_OK;
    bool addGivesMapping = true;
    DWORD removeDelayMs = 0;
    FakeMapping mapping;
    std::vector<Added> added;
    std::vector<std::pair<long, std::wstring>> removed;

    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Item(long, BSTR, IStaticPortMapping**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Count(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Remove(long port, BSTR protocol) override {
        Sleep(removeDelayMs);
        removed.emplace_back(port, protocol);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(long external, BSTR protocol, long internal, BSTR client, VARIANT_BOOL enabled,
                                  BSTR description, IStaticPortMapping** out) override {
        added.push_back({external, protocol, internal, client, enabled, description});
        *out = nullptr;
        if (SUCCEEDED(addResult) && addGivesMapping)
            *out = mapping.handOut();
        return addResult;
    }
};

struct FakeNat : FakeDispatch<IUPnPNAT> {
    FakeMappings mappings;
    HRESULT pollResult = S_OK;
    LONG answerAfterPolls = 0;   // the collection comes with the poll after this many; -1 never
    DWORD pollDelayMs = 0;       // Wine blocks about 2 s in each poll without a gateway
    volatile LONG polls = 0;

    HRESULT STDMETHODCALLTYPE get_StaticPortMappingCollection(IStaticPortMappingCollection** out) override {
        LONG poll = InterlockedIncrement(&polls);
        Sleep(pollDelayMs);
        *out = nullptr;
        if (FAILED(pollResult))
            return pollResult;
        if (answerAfterPolls >= 0 && poll > answerAfterPolls)
            *out = mappings.handOut();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_DynamicPortMappingCollection(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NATEventManager(IUnknown**) override { return E_NOTIMPL; }
};

struct FakeDevices : FakeDispatch<IUPnPDevices> {
    long count = 0;
    HRESULT STDMETHODCALLTYPE get_Count(long* out) override {
        *out = count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Item(BSTR, IDispatch**) override { return E_NOTIMPL; }
};

struct FakeFinder : FakeDispatch<IUPnPDeviceFinder> {
    FakeDevices devices;
    DWORD searchMs = 0;
    volatile LONG searches = 0;
    std::wstring type;

    HRESULT STDMETHODCALLTYPE FindByType(BSTR typeUri, DWORD, IUPnPDevices** out) override {
        InterlockedIncrement(&searches);
        type = typeUri;
        Sleep(searchMs);
        *out = static_cast<IUPnPDevices*>(devices.handOut());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateAsyncFind(BSTR, DWORD, IUnknown*, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartAsyncFind(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelAsyncFind(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindByUDN(BSTR, IDispatch**) override { return E_NOTIMPL; }
};

// What the creator hands out. The firewall manager is absent: its column settles at once.
struct Rig {
    FakeNat nat;
    FakeFinder finder;
    bool natAvailable = true;
    bool finderAvailable = true;
    // When set, creating the NAT object signals `natEntered` and waits for `natGate`.
    HANDLE natEntered = nullptr;
    HANDLE natGate = nullptr;

    ~Rig() {
        if (natEntered)
            CloseHandle(natEntered);
        if (natGate)
            CloseHandle(natGate);
    }
    void holdNatCreation() {
        natEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        natGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    bool allReleased() const {
        return nat.held() == 0 && nat.mappings.held() == 0 && nat.mappings.mapping.held() == 0 &&
               finder.held() == 0 && finder.devices.held() == 0;
    }
};

Rig* g_rig = nullptr;

HRESULT STDAPICALLTYPE createFake(REFCLSID clsid, IUnknown*, DWORD, REFIID, LPVOID* out) {
    *out = nullptr;
    if (IsEqualGUID(clsid, kClsidUPnPNAT)) {
        if (g_rig->natGate) {
            SetEvent(g_rig->natEntered);
            WaitForSingleObject(g_rig->natGate, INFINITE);
        }
        if (!g_rig->natAvailable)
            return REGDB_E_CLASSNOTREG;
        *out = static_cast<IUPnPNAT*>(g_rig->nat.handOut());
        return S_OK;
    }
    if (IsEqualGUID(clsid, kClsidUPnPDeviceFinder) && g_rig->finderAvailable) {
        *out = static_cast<IUPnPDeviceFinder*>(g_rig->finder.handOut());
        return S_OK;
    }
    return REGDB_E_CLASSNOTREG;
}

// One listener with UPnP on against the rig; ends it and checks that it let go of everything.
struct Run {
    Winsock winsock;
    ControllerSettings settings{true};
    EngineFixture engine;
    StatusWindow window;
    Rig rig;
    WORD port = unusedPort();
    HTTPListener* listener = nullptr;

    Run() { g_rig = &rig; }
    ~Run() { g_rig = nullptr; }

    void start() {
        listener = startListener(engine, window, port, createFake);
        REQUIRE(listener);
    }
    // Until the UPnP column shows text, or the controller has finished with a result.
    bool waitForText(const wchar_t* text, int ms = 10000) {
        return window.waitFor(
            [&] {
                const ColumnStatus* s = window.last(PortStatus::UPnP);
                return s && s->text == text;
            },
            ms);
    }
    // Terminates the listener; the milliseconds until it was released, or -1.
    int terminate(int ms = 10000) {
        DWORD begin = GetTickCount();
        REQUIRE(engine.server()->terminateObject(listener->id()));
        if (!window.waitFor([&] { return window.ended; }, ms))
            return -1;
        return static_cast<int>(GetTickCount() - begin);
    }
    void finish() {
        if (!window.ended)
            CHECK(terminate() >= 0);
        CHECK(rig.allReleased());
        CHECK(engine.stop());
    }
};

const std::vector<std::wstring> kUntilCollection = {L"Initiating...", L"Requesting NAT...",
                                                     L"Requesting Port Mappings..."};

std::vector<std::wstring> then(std::vector<std::wstring> head, std::initializer_list<const wchar_t*> tail) {
    for (const wchar_t* t : tail)
        head.push_back(t);
    return head;
}

std::string joined(const std::vector<std::wstring>& texts) {
    std::string out;
    for (const std::wstring& t : texts) {
        out += out.empty() ? "" : " | ";
        for (wchar_t c : t)
            out += static_cast<char>(c);
    }
    return out;
}

// The column walks through the texts in order and ends on the last one. The workers may hand
// the listener two close notices in either order; the older one is then not shown, so a step
// may be missing, but none comes back after a later one.
std::string walk(const std::vector<std::wstring>& seen, const std::vector<std::wstring>& expected) {
    size_t next = 0;
    for (const std::wstring& t : seen) {
        while (next < expected.size() && expected[next] != t)
            ++next;
        if (next == expected.size())
            return "out of order: " + joined(seen);
        ++next;
    }
    if (seen.empty() || seen.back() != expected.back())
        return "ends elsewhere: " + joined(seen);
    return "ok";
}

}  // namespace

TEST_CASE("a listening port is mapped, remapped when UPnP is switched off and on, and unmapped at the end") {
    Run run;
    run.rig.nat.mappings.removeDelayMs = 300;
    run.start();
    REQUIRE(run.waitForText(L"Ready (10.0.0.5)"));
    CHECK(walk(run.window.texts(PortStatus::UPnP),
               then(kUntilCollection, {L"Initiating Communications Port...", L"Ready (10.0.0.5)"})) == "ok");
    CHECK(run.window.last(PortStatus::UPnP)->state == PortStatus::Settled);
    REQUIRE(run.rig.nat.mappings.added.size() == 1);
    const Added& added = run.rig.nat.mappings.added[0];
    CHECK(added.external == run.port);
    CHECK(added.internal == run.port);
    CHECK(added.protocol == L"TCP");
    CHECK(added.client == L"10.0.0.5");
    CHECK(added.enabled == VARIANT_TRUE);
    CHECK(added.description == L"Wexa-Share Port");

    // Off, and on again while the old mapping is still being removed: the new controller
    // follows the old one's end.
    setLocalAddress(L"10.0.0.9");
    REQUIRE(run.engine.server()->messageObject(run.listener->id(), HTTPListener::MsgStopUPnP));
    REQUIRE(run.waitForText(L"Closing Port"));
    REQUIRE(run.engine.server()->messageObject(run.listener->id(), HTTPListener::MsgStartUPnP));
    REQUIRE(run.waitForText(L"Ready (10.0.0.9)"));
    CHECK(walk(run.window.texts(PortStatus::UPnP),
               then(kUntilCollection, {L"Initiating Communications Port...", L"Ready (10.0.0.5)", L"Closing Port",
                                       L"", L"Initiating...", L"Requesting NAT...", L"Requesting Port Mappings...",
                                       L"Initiating Communications Port...", L"Ready (10.0.0.9)"})) == "ok");
    REQUIRE(run.rig.nat.mappings.removed.size() == 1);
    CHECK(run.rig.nat.mappings.removed[0] == std::make_pair(static_cast<long>(run.port), std::wstring(L"TCP")));
    REQUIRE(run.rig.nat.mappings.added.size() == 2);
    CHECK(run.rig.nat.mappings.added[1].client == L"10.0.0.9");

    // The listener's end removes the mapping before the listener goes.
    CHECK(run.terminate() >= 0);
    CHECK(run.rig.nat.mappings.removed.size() == 2);
    const ColumnStatus* last = run.window.last(PortStatus::UPnP);
    CHECK(last->text == L"");
    CHECK(last->lastUPnP == UPnPController::Removed);
    run.finish();
}

TEST_CASE("a stop and a start handled the other way round still make the mapping again") {
    // The Network tab posts "stop, start" for a new local address; two workers may handle them
    // in either order.
    Run run;
    run.start();
    REQUIRE(run.waitForText(L"Ready (10.0.0.5)"));
    setLocalAddress(L"10.0.0.7");
    REQUIRE(run.engine.server()->messageObject(run.listener->id(), HTTPListener::MsgStartUPnP));
    Sleep(100);
    REQUIRE(run.engine.server()->messageObject(run.listener->id(), HTTPListener::MsgStopUPnP));
    CHECK(run.waitForText(L"Ready (10.0.0.7)"));
    CHECK(run.rig.nat.mappings.removed.size() == 1);
    CHECK(run.rig.nat.mappings.added.size() == 2);

    // Switched off for good: a pending restart finds EnableUPnP off and starts nothing.
    setEnableUPnP(false);
    REQUIRE(run.engine.server()->messageObject(run.listener->id(), HTTPListener::MsgStartUPnP));
    Sleep(100);
    REQUIRE(run.engine.server()->messageObject(run.listener->id(), HTTPListener::MsgStopUPnP));
    REQUIRE(run.waitForText(L""));
    Sleep(500);
    CHECK(run.rig.nat.mappings.added.size() == 2);
    CHECK(run.window.last(PortStatus::UPnP)->text == L"");
    run.finish();
}

TEST_CASE("each way a mapping can fail ends with its own text, failed, and nothing left mapped") {
    const struct {
        const char* name;
        void (*setUp)(Rig&);
        std::vector<std::wstring> texts;
        DWORD result;
    } cases[] = {
        {"no NAT object", [](Rig& r) { r.natAvailable = false; },
         {L"Initiating...", L"Requesting NAT...", L"UPnP Unreachable"}, UPnPController::NatUnavailable},
        {"reading the collection fails", [](Rig& r) { r.nat.pollResult = E_UNEXPECTED; },
         then(kUntilCollection, {L"Error"}), UPnPController::ComError},
        {"port held by another client", [](Rig& r) { r.nat.mappings.addResult = UPnPController::kPortInUse; },
         then(kUntilCollection, {L"Initiating Communications Port...", L"Port Already In Use"}),
         UPnPController::PortInUse},
        {"gateway refuses", [](Rig& r) { r.nat.mappings.addResult = E_FAIL; },
         then(kUntilCollection, {L"Initiating Communications Port...", L"Failed to Forward Port"}),
         UPnPController::AddFailed},
        {"success without a mapping", [](Rig& r) { r.nat.mappings.addGivesMapping = false; },
         then(kUntilCollection, {L"Initiating Communications Port...", L"Failed to Forward Port"}),
         UPnPController::AddFailed},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Run run;
        c.setUp(run.rig);
        run.start();
        REQUIRE(run.waitForText(c.texts.back().c_str()));
        CHECK(walk(run.window.texts(PortStatus::UPnP), c.texts) == "ok");
        const ColumnStatus* last = run.window.last(PortStatus::UPnP);
        CHECK(last->state == PortStatus::Failed);
        CHECK(last->lastUPnP == c.result);
        // Finished on its own: the end of the listener has nothing left to remove or show.
        CHECK(run.rig.nat.mappings.removed.empty());
        size_t shown = run.window.count(PortStatus::UPnP);
        CHECK(run.terminate() >= 0);
        CHECK(run.window.count(PortStatus::UPnP) == shown);
        run.finish();
    }
}

TEST_CASE("without a gateway the controller gives up after the device search, and a slow gateway is waited for") {
    SUBCASE("the device search finds nothing") {
        Run run;
        run.rig.nat.answerAfterPolls = -1;
        run.start();
        DWORD begin = GetTickCount();
        REQUIRE(run.waitForText(L"Router/Modem Unreachable"));
        DWORD took = GetTickCount() - begin;
        // Five polls before the search, eight after it reported: about 2.6 s in all.
        CHECK(took >= 2200);
        CHECK(took < 4500);
        CHECK(walk(run.window.texts(PortStatus::UPnP), then(kUntilCollection, {L"Router/Modem Unreachable"})) ==
              "ok");
        CHECK(run.window.last(PortStatus::UPnP)->lastUPnP == UPnPController::NoGateway);
        CHECK(run.rig.finder.searches == 1);
        CHECK(run.rig.finder.type == L"urn:schemas-upnp-org:device:InternetGatewayDevice:1");
        run.finish();
    }
    SUBCASE("no device finder on the system counts as no gateway") {
        Run run;
        run.rig.nat.answerAfterPolls = -1;
        run.rig.finderAvailable = false;
        run.start();
        REQUIRE(run.waitForText(L"Router/Modem Unreachable"));
        run.finish();
    }
    SUBCASE("a gateway that is found keeps the polls going until the collection comes") {
        Run run;
        run.rig.nat.answerAfterPolls = 14;
        run.rig.finder.devices.count = 1;
        run.start();
        REQUIRE(run.waitForText(L"Ready (10.0.0.5)"));
        CHECK(run.rig.nat.polls == 15);
        CHECK(run.rig.finder.searches == 1);
        CHECK(run.rig.nat.mappings.added.size() == 1);
        run.finish();
    }
    SUBCASE("a fast collection never starts the device search") {
        Run run;
        run.start();
        REQUIRE(run.waitForText(L"Ready (10.0.0.5)"));
        CHECK(run.terminate() >= 0);
        CHECK(run.rig.finder.searches == 0);
        run.finish();
    }
}

TEST_CASE("a stop while the controller is busy ends both threads promptly and decides nothing") {
    SUBCASE("during slow polls and during the device search, again and again") {
        for (int round = 0; round < 6; ++round) {
            CAPTURE(round);
            Run run;
            run.rig.nat.answerAfterPolls = -1;
            run.rig.nat.pollDelayMs = 300;
            run.rig.finder.devices.count = 1;
            run.rig.finder.searchMs = 800;
            run.start();
            REQUIRE(run.waitForText(L"Requesting Port Mappings..."));
            if (round % 2)
                REQUIRE(run.window.waitFor([&] { return run.rig.finder.searches == 1; }));
            else
                Sleep(500 + 150 * round);
            int took = run.terminate();
            // At most one poll and its pause, or what is left of the search.
            CHECK(took >= 0);
            CHECK(took < 1500);
            const ColumnStatus* last = run.window.last(PortStatus::UPnP);
            CHECK(last->text == L"");
            CHECK(last->lastUPnP == UPnPController::Undecided);
            CHECK(run.rig.nat.mappings.added.empty());
            run.finish();
        }
    }
    SUBCASE("while the NAT object is being created") {
        Run run;
        run.rig.holdNatCreation();
        run.start();
        REQUIRE(WaitForSingleObject(run.rig.natEntered, 10000) == WAIT_OBJECT_0);
        REQUIRE(run.engine.server()->terminateObject(run.listener->id()));
        Sleep(100);
        SetEvent(run.rig.natGate);
        REQUIRE(run.window.waitFor([&] { return run.window.ended; }));
        CHECK(walk(run.window.texts(PortStatus::UPnP), then(kUntilCollection, {L""})) == "ok");
        CHECK(run.rig.nat.polls == 0);
        run.finish();
    }
}
