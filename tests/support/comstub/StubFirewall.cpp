// The firewall stand-in: manager, policy, profile, globally open ports and authorized
// applications. Its settings come from firewall.txt (re-read at every call, so the test can
// change them while the program runs); the authorized applications live in apps.txt, one
// "enabled<TAB>name<TAB>path" line each. Every call is recorded, so the test can prove what the
// program read and what it changed.
#include "ComStub.h"
#include "StubInterfaces.h"

#include <netfw.h>

namespace {

const HRESULT kServiceAbsent = HRESULT_FROM_WIN32(EPT_S_NOT_REGISTERED);

std::string settings() {
    return readStubFile(L"firewall.txt");
}

struct AppEntry {
    bool enabled;
    std::string name;
    std::string path;
};

std::vector<AppEntry> readApps() {
    std::vector<AppEntry> apps;
    for (const std::string& line : stubLines(readStubFile(L"apps.txt"))) {
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos)
            continue;
        apps.push_back({line[0] == '1', line.substr(tab1 + 1, tab2 - tab1 - 1), line.substr(tab2 + 1)});
    }
    return apps;
}

void writeApps(const std::vector<AppEntry>& apps) {
    std::string text;
    for (const AppEntry& app : apps)
        text += (app.enabled ? "1\t" : "0\t") + app.name + "\t" + app.path + "\n";
    writeStubFile(L"apps.txt", text);
}

int findApp(const std::vector<AppEntry>& apps, const std::string& path) {
    for (size_t i = 0; i < apps.size(); ++i)
        if (CompareStringOrdinal(widen(apps[i].path).c_str(), -1, widen(path).c_str(), -1, TRUE) == CSTR_EQUAL)
            return static_cast<int>(i);
    return -1;
}

// A change the firewall does not allow; subject names what it was about, where there is one.
HRESULT refuse(const char* call, const std::string& subject = std::string()) {
    recordCall("%s%s%s -> refused", call, subject.empty() ? "" : " ", subject.c_str());
    return E_ACCESSDENIED;
}

// One authorized application: detached (made by CoCreateInstance, not yet added) or bound to the
// apps.txt line of its path.
class StubApp : public StubObject<INetFwAuthorizedApplication> {
public:
    StubApp() = default;
    explicit StubApp(const std::string& path) : path_(path), bound_(true) {}

    void bind() { bound_ = true; }
    const std::string& path() const { return path_; }
    const std::string& name() const { return name_; }
    bool enabled() const { return enabled_; }

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* value) override {
        AppEntry entry = current();
        recordCall("App.get_Name %s -> %s", path_.c_str(), entry.name.c_str());
        *value = SysAllocString(widen(entry.name).c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR value) override {
        recordCall("App.put_Name %s = %s", path_.c_str(), narrow(value).c_str());
        return change([&](AppEntry& entry) { entry.name = narrow(value); }, [&] { name_ = narrow(value); });
    }
    HRESULT STDMETHODCALLTYPE get_ProcessImageFileName(BSTR* value) override {
        recordCall("App.get_ProcessImageFileName -> %s", path_.c_str());
        *value = SysAllocString(widen(path_).c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_ProcessImageFileName(BSTR value) override {
        recordCall("App.put_ProcessImageFileName %s%s", narrow(value).c_str(), bound_ ? " (bound)" : "");
        if (bound_)
            return E_ACCESSDENIED;
        path_ = narrow(value);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION* value) override {
        recordCall("App.get_IpVersion %s", path_.c_str());
        *value = NET_FW_IP_VERSION_ANY;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override { return refuse("App.put_IpVersion"); }
    HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE* value) override {
        recordCall("App.get_Scope %s", path_.c_str());
        *value = NET_FW_SCOPE_ALL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override { return refuse("App.put_Scope"); }
    HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR* value) override {
        recordCall("App.get_RemoteAddresses %s", path_.c_str());
        *value = SysAllocString(L"*");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return refuse("App.put_RemoteAddresses"); }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* value) override {
        AppEntry entry = current();
        recordCall("App.get_Enabled %s -> %d", path_.c_str(), entry.enabled ? 1 : 0);
        *value = entry.enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
        recordCall("App.put_Enabled %s = %d", path_.c_str(), value ? 1 : 0);
        // Like a user without the rights: the entry stays as it was.
        if (bound_ && stubSetting(settings(), "refuse_enable", 0))
            return refuse("App.put_Enabled", path_);
        return change([&](AppEntry& entry) { entry.enabled = value != VARIANT_FALSE; },
                      [&] { enabled_ = value != VARIANT_FALSE; });
    }

private:
    AppEntry current() const {
        if (bound_) {
            std::vector<AppEntry> apps = readApps();
            int at = findApp(apps, path_);
            if (at >= 0)
                return apps[at];
        }
        return {enabled_, name_, path_};
    }

    template <class Bound, class Detached>
    HRESULT change(Bound bound, Detached detached) {
        if (!bound_) {
            detached();
            return S_OK;
        }
        std::vector<AppEntry> apps = readApps();
        int at = findApp(apps, path_);
        if (at < 0)
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        bound(apps[at]);
        writeApps(apps);
        return S_OK;
    }

    std::string path_;
    std::string name_;
    bool enabled_ = true;  // a new entry is enabled unless told otherwise
    bool bound_ = false;
};

class StubApps : public StubObject<INetFwAuthorizedApplications> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        *count = static_cast<LONG>(readApps().size());
        recordCall("Apps.get_Count -> %ld", static_cast<long>(*count));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwAuthorizedApplication* app) override {
        // Only objects of this DLL come here: the program makes them through our class id.
        StubApp* ours = static_cast<StubApp*>(app);
        recordCall("Apps.Add %s", ours->path().c_str());
        if (stubSetting(settings(), "refuse_add", 0))
            return refuse("Apps.Add", ours->path());
        if (ours->path().empty())
            return E_INVALIDARG;
        std::vector<AppEntry> apps = readApps();
        int at = findApp(apps, ours->path());
        AppEntry entry = {ours->enabled(), ours->name(), ours->path()};
        if (at >= 0)
            apps[at] = entry;
        else
            apps.push_back(entry);
        writeApps(apps);
        ours->bind();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Remove(BSTR path) override {
        recordCall("Apps.Remove %s", narrow(path).c_str());
        return E_ACCESSDENIED;
    }
    HRESULT STDMETHODCALLTYPE Item(BSTR path, INetFwAuthorizedApplication** app) override {
        std::string wanted = narrow(path);
        bool found = findApp(readApps(), wanted) >= 0;
        recordCall("Apps.Item %s -> %s", wanted.c_str(), found ? "found" : "none");
        *app = nullptr;
        if (!found)
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        *app = new StubApp(wanted);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** value) override {
        recordCall("Apps.get__NewEnum");
        *value = nullptr;
        return E_NOTIMPL;
    }
};

class StubOpenPort : public StubObject<INetFwOpenPort> {
public:
    StubOpenPort(LONG port, bool enabled) : port_(port), enabled_(enabled) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* value) override {
        *value = SysAllocString(L"Test port");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR) override { return refuse("Port.put_Name"); }
    HRESULT STDMETHODCALLTYPE get_IpVersion(NET_FW_IP_VERSION* value) override {
        *value = NET_FW_IP_VERSION_ANY;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_IpVersion(NET_FW_IP_VERSION) override { return refuse("Port.put_IpVersion"); }
    HRESULT STDMETHODCALLTYPE get_Protocol(NET_FW_IP_PROTOCOL* value) override {
        *value = NET_FW_IP_PROTOCOL_TCP;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Protocol(NET_FW_IP_PROTOCOL) override { return refuse("Port.put_Protocol"); }
    HRESULT STDMETHODCALLTYPE get_Port(LONG* value) override {
        *value = port_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Port(LONG) override { return refuse("Port.put_Port"); }
    HRESULT STDMETHODCALLTYPE get_Scope(NET_FW_SCOPE* value) override {
        *value = NET_FW_SCOPE_ALL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Scope(NET_FW_SCOPE) override { return refuse("Port.put_Scope"); }
    HRESULT STDMETHODCALLTYPE get_RemoteAddresses(BSTR* value) override {
        *value = SysAllocString(L"*");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_RemoteAddresses(BSTR) override { return refuse("Port.put_RemoteAddresses"); }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* value) override {
        recordCall("Port.get_Enabled %ld -> %d", static_cast<long>(port_), enabled_ ? 1 : 0);
        *value = enabled_ ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return refuse("Port.put_Enabled"); }
    HRESULT STDMETHODCALLTYPE get_BuiltIn(VARIANT_BOOL* value) override {
        *value = VARIANT_FALSE;
        return S_OK;
    }

private:
    LONG port_;
    bool enabled_;
};

// "open_ports=8080:1,9000:0" in firewall.txt: TCP ports and whether each entry is enabled.
class StubOpenPorts : public StubObject<INetFwOpenPorts> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        recordCall("Ports.get_Count");
        *count = 0;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Add(INetFwOpenPort*) override { return refuse("Ports.Add"); }
    HRESULT STDMETHODCALLTYPE Remove(LONG port, NET_FW_IP_PROTOCOL) override {
        recordCall("Ports.Remove %ld", static_cast<long>(port));
        return E_ACCESSDENIED;
    }
    HRESULT STDMETHODCALLTYPE Item(LONG port, NET_FW_IP_PROTOCOL protocol, INetFwOpenPort** entry) override {
        *entry = nullptr;
        std::string list = stubSettingText(settings(), "open_ports");
        int state = -1;
        for (size_t at = 0; at < list.size();) {
            size_t end = list.find(',', at);
            if (end == std::string::npos)
                end = list.size();
            std::string item = list.substr(at, end - at);
            at = end + 1;
            size_t colon = item.find(':');
            if (colon != std::string::npos && atol(item.c_str()) == port)
                state = atoi(item.c_str() + colon + 1);
        }
        bool found = state >= 0 && protocol == NET_FW_IP_PROTOCOL_TCP;
        recordCall("Ports.Item %ld %d -> %s", static_cast<long>(port), static_cast<int>(protocol),
                   found ? "found" : "none");
        if (!found)
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        *entry = new StubOpenPort(port, state != 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** value) override {
        *value = nullptr;
        return E_NOTIMPL;
    }
};

class StubProfile : public StubObject<INetFwProfile> {
public:
    HRESULT STDMETHODCALLTYPE get_Type(NET_FW_PROFILE_TYPE* value) override {
        *value = NET_FW_PROFILE_STANDARD;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_FirewallEnabled(VARIANT_BOOL* value) override {
        std::string state = settings();
        // "fail_read=1": the firewall's settings cannot be read, as when its service stops meanwhile.
        if (stubSetting(state, "fail_read", 0)) {
            recordCall("Profile.get_FirewallEnabled -> failed");
            return E_FAIL;
        }
        int enabled = stubSetting(state, "enabled", 1);
        recordCall("Profile.get_FirewallEnabled -> %d", enabled);
        *value = enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_FirewallEnabled(VARIANT_BOOL) override {
        return refuse("Profile.put_FirewallEnabled");
    }
    HRESULT STDMETHODCALLTYPE get_ExceptionsNotAllowed(VARIANT_BOOL* value) override {
        int none = stubSetting(settings(), "no_exceptions", 0);
        recordCall("Profile.get_ExceptionsNotAllowed -> %d", none);
        *value = none ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_ExceptionsNotAllowed(VARIANT_BOOL) override {
        return refuse("Profile.put_ExceptionsNotAllowed");
    }
    HRESULT STDMETHODCALLTYPE get_NotificationsDisabled(VARIANT_BOOL* value) override {
        *value = VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_NotificationsDisabled(VARIANT_BOOL) override {
        return refuse("Profile.put_NotificationsDisabled");
    }
    HRESULT STDMETHODCALLTYPE get_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL* value) override {
        *value = VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_UnicastResponsesToMulticastBroadcastDisabled(VARIANT_BOOL) override {
        return refuse("Profile.put_UnicastResponsesToMulticastBroadcastDisabled");
    }
    HRESULT STDMETHODCALLTYPE get_RemoteAdminSettings(INetFwRemoteAdminSettings** value) override {
        recordCall("Profile.get_RemoteAdminSettings");
        *value = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_IcmpSettings(INetFwIcmpSettings** value) override {
        recordCall("Profile.get_IcmpSettings");
        *value = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_GloballyOpenPorts(INetFwOpenPorts** value) override {
        recordCall("Profile.get_GloballyOpenPorts");
        *value = new StubOpenPorts();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Services(INetFwServices** value) override {
        recordCall("Profile.get_Services");
        *value = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_AuthorizedApplications(INetFwAuthorizedApplications** value) override {
        recordCall("Profile.get_AuthorizedApplications");
        *value = new StubApps();
        return S_OK;
    }
};

class StubPolicy : public StubObject<INetFwPolicy> {
public:
    HRESULT STDMETHODCALLTYPE get_CurrentProfile(INetFwProfile** profile) override {
        recordCall("Policy.get_CurrentProfile");
        *profile = new StubProfile();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProfileByType(NET_FW_PROFILE_TYPE, INetFwProfile** profile) override {
        recordCall("Policy.GetProfileByType");
        *profile = new StubProfile();
        return S_OK;
    }
};

class StubManager : public StubObject<INetFwMgr> {
public:
    HRESULT STDMETHODCALLTYPE get_LocalPolicy(INetFwPolicy** policy) override {
        recordCall("Mgr.get_LocalPolicy");
        *policy = new StubPolicy();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentProfileType(NET_FW_PROFILE_TYPE* value) override {
        recordCall("Mgr.get_CurrentProfileType");
        *value = NET_FW_PROFILE_STANDARD;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RestoreDefaults() override { return refuse("Mgr.RestoreDefaults"); }
    HRESULT STDMETHODCALLTYPE IsPortAllowed(BSTR, NET_FW_IP_VERSION, LONG, BSTR, NET_FW_IP_PROTOCOL, VARIANT*,
                                            VARIANT*) override {
        recordCall("Mgr.IsPortAllowed");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsIcmpTypeAllowed(NET_FW_IP_VERSION, BSTR, BYTE, VARIANT*, VARIANT*) override {
        recordCall("Mgr.IsIcmpTypeAllowed");
        return E_NOTIMPL;
    }
};

template <class T>
HRESULT hand(T* object, REFIID iid, void** out) {
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

}  // namespace

HRESULT createFirewallManager(REFIID iid, void** out) {
    // "manager=0": the firewall service is not there, as on a system where it was removed.
    if (!stubSetting(settings(), "manager", 1)) {
        recordCall("Mgr.create -> absent");
        return kServiceAbsent;
    }
    recordCall("Mgr.create");
    return hand(new StubManager(), iid, out);
}

HRESULT createAuthorizedApplication(REFIID iid, void** out) {
    recordCall("App.create");
    return hand(new StubApp(), iid, out);
}
