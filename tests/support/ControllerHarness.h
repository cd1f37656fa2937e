// Test support for the UPnP and firewall controllers: a base for in-process COM stand-ins
// (counted references, objects owned by the test, so a test can see every reference given
// back), and a listener on a running engine whose column statuses a pumped window collects.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "ComCreator.h"
#include "EngineFixture.h"
#include "HSMainSettings.h"
#include "HTTPListener.h"
#include "LoopbackPeer.h"

template <class Interface>
class FakeDispatch : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // Hands the object out with one reference for the receiver.
    Interface* handOut() {
        AddRef();
        return this;
    }
    // References the code under test still holds.
    LONG held() const { return refs_; }

private:
    volatile LONG refs_ = 0;
};

struct ColumnStatus {
    DWORD column;
    std::wstring text;
    DWORD state;
    DWORD lastUPnP;
    DWORD lastFirewall;
};

// The Network tab's part: keeps every status record the listener posts, and its end.
struct StatusWindow : PumpedWindow {
    std::vector<ColumnStatus> statuses;
    bool ready = false;
    bool ended = false;

    ~StatusWindow() override { pump(); }
    void onMessage(const MSG& msg) override {
        if (msg.message == WM_LISTENER_STATUS) {
            PortStatus* s = reinterpret_cast<PortStatus*>(msg.lParam);
            bool upnp = s->column == PortStatus::UPnP;
            statuses.push_back({s->column, upnp ? s->upnpText : s->firewallText, upnp ? s->upnpState : s->firewallState,
                                s->lastUPnPResult, s->lastFirewallResult});
            delete s;
        } else if (msg.message == WM_LISTENER_READY) {
            ready = true;
        } else if (msg.message == WM_LISTENER_ENDED) {
            ended = true;
        }
    }
    // The texts of one column, in order.
    std::vector<std::wstring> texts(DWORD column) const {
        std::vector<std::wstring> out;
        for (const ColumnStatus& s : statuses)
            if (s.column == column)
                out.push_back(s.text);
        return out;
    }
    const ColumnStatus* last(DWORD column) const {
        for (size_t i = statuses.size(); i-- > 0;)
            if (statuses[i].column == column)
                return &statuses[i];
        return nullptr;
    }
    size_t count(DWORD column) const { return texts(column).size(); }
};

struct ControllerSettings {
    explicit ControllerSettings(bool upnp) {
        initSettingsLock();
        setDefaultSettings();
        setLocalAddress(L"10.0.0.5");
        setEnableUPnP(upnp);
    }
    ~ControllerSettings() {
        delete[] g_settings.uploadsDirectory;
        g_settings.uploadsDirectory = nullptr;
        deleteSettingsLock();
    }
};

// A loopback listener on `port` whose controllers make their objects with `create`; null when
// it did not start listening.
inline HTTPListener* startListener(EngineFixture& engine, StatusWindow& window, WORD port, ComCreator create) {
    HTTPListener* listener =
        new HTTPListener(engine.server(), window.handle, programServerSettings(), nullptr, nullptr, htonl(INADDR_LOOPBACK), port, nullptr);
    // Every finished UPnP run asks for a connectivity test: nobody listens there.
    listener->setTestService("127.0.0.1", unusedPort());
    listener->setNetworkControllers(true, create);
    if (!engine.server()->addObject(listener))
        return nullptr;
    return window.waitFor([&] { return window.ready; }) ? listener : nullptr;
}
