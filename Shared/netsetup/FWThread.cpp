// FWController: the firewall thread (manager, policy, current profile, a check every 20 s or
// every second while blocked) and the check of one port: globally open, or the program's own
// authorized-application entry, added and enabled where needed. Nothing else is ever changed.
#include "FWThread.h"

#include "Log.h"

static const wchar_t kLogUnit[] = L"FWThread";
static const ThreadController::Names kNames = {kLogUnit, L"FWController::start", L"FWController::stop",
                                               L"FWController::deleteThis", L"FWController::notifyObject"};

namespace {

const DWORD kPathUnits = 40010;
const DWORD kPathLimit = 40000;

template <class T>
void release(T** object) {
    if (*object)
        (*object)->Release();
    *object = nullptr;
}

}  // namespace

constexpr wchar_t FWController::kAppName[];

FWController::FWController(Log* log, WORD port, Server* server, ServerObject* owner, ComCreator create)
    : ThreadController(kNames, log, server, owner), port_(port), create_(create) {}

bool FWController::start() {
    if (!createStopSemaphore())
        return false;
    thread_ = startThread(threadEntry, this);
    if (!thread_) {
        closeHandle(&stopSemaphore_, L"FWController::start");
        return false;
    }
    return true;
}

void FWController::deleteThis() {
    waitForThread(&thread_);
    delete this;
}

DWORD WINAPI FWController::threadEntry(void* param) {
    static_cast<FWController*>(param)->threadProc();
    return 0;
}

void FWController::threadProc() {
    static const wchar_t kFunction[] = L"FWController::threadProc";
    notifyObject(NoticeFirewallStarted);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        LOG_ERROR(log_, kFunction, L"CoInitializeEx", static_cast<DWORD>(hr));
        setResult(CheckError);
        notifyObject(NoticeFirewallFinal);
        return;
    }
    INetFwMgr* manager = nullptr;
    hr = create_(kClsidNetFwMgr, nullptr, kClsctxAll, kIidNetFwMgr, reinterpret_cast<void**>(&manager));
    if (FAILED(hr) || !manager) {
        LOG_ERROR(log_, kFunction, L"CoCreateInstane", static_cast<DWORD>(hr));
        manager = nullptr;
        setResult(ManagerUnavailable);
    } else {
        INetFwPolicy* policy = nullptr;
        INetFwProfile* profile = nullptr;
        hr = manager->get_LocalPolicy(&policy);
        if (FAILED(hr) || !policy) {
            LOG_ERROR(log_, kFunction, L"get_LocalPolicy", static_cast<DWORD>(hr));
            policy = nullptr;
            setResult(CheckError);
        } else {
            hr = policy->get_CurrentProfile(&profile);
            if (FAILED(hr) || !profile) {
                LOG_ERROR(log_, kFunction, L"get_CurrentProfile", static_cast<DWORD>(hr));
                profile = nullptr;
                setResult(CheckError);
            }
        }
        // The profile is kept for the whole watch: a change of the settings shows at the next check.
        if (profile)
            watch(profile);
        release(&profile);
        release(&policy);
        release(&manager);
    }
    CoUninitialize();
    notifyObject(NoticeFirewallFinal);
}

void FWController::watch(INetFwProfile* profile) {
    static const wchar_t kFunction[] = L"FWController::threadProc";
    while (!stopRequested() && result() != CheckError) {
        VARIANT_BOOL enabled = VARIANT_FALSE;
        HRESULT hr = profile->get_FirewallEnabled(&enabled);
        if (FAILED(hr)) {
            LOG_ERROR(log_, kFunction, L"get_FirewallEnabled", static_cast<DWORD>(hr));
            setResult(CheckError);
        } else if (!enabled) {
            setResult(FirewallOff);
        } else {
            VARIANT_BOOL noExceptions = VARIANT_FALSE;
            hr = profile->get_ExceptionsNotAllowed(&noExceptions);
            if (FAILED(hr)) {
                LOG_ERROR(log_, kFunction, L"get_ExceptionsNotAllowed", static_cast<DWORD>(hr));
                setResult(CheckError);
            } else if (noExceptions) {
                setResult(NoExceptions);
            } else {
                checkAppPort(profile);
            }
        }
        notifyObject(NoticeFirewallInterim);
        // An error is reported, then paused on like any other result, and ends the watch.
        if (!pause())
            break;
    }
}

bool FWController::pause() {
    DWORD current = result();
    bool blocked = current == Blocked || current == NoExceptions;
    DWORD steps = blocked ? kShortPauseSteps : kLongPauseSteps;
    DWORD stepMs = blocked ? kShortStepMs : kLongStepMs;
    for (DWORD i = 0; i < steps; ++i) {
        // The semaphore wakes the wait at once; the flag decides.
        DWORD waited = WaitForSingleObject(stopSemaphore_, stepMs);
        if (waited == WAIT_FAILED) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"FWController::threadProc", L"WaitForSingleObject", error);
            Sleep(stepMs);
        }
        if (stopRequested())
            return false;
    }
    return true;
}

void FWController::checkAppPort(INetFwProfile* profile) {
    wchar_t* path = new wchar_t[kPathUnits];
    DWORD length = GetModuleFileNameW(nullptr, path, kPathLimit);
    if (length == 0 || length >= kPathLimit) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FWController::checkAppPort", L"GetModuleFileNameW", error);
        delete[] path;
        path = nullptr;
    }
    checkPath(profile, path);
    delete[] path;
}

void FWController::checkPath(INetFwProfile* profile, const wchar_t* path) {
    static const wchar_t kFunction[] = L"FWController::checkAppPort";
    setResult(Blocked);

    INetFwOpenPorts* ports = nullptr;
    HRESULT hr = profile->get_GloballyOpenPorts(&ports);
    if (FAILED(hr)) {
        LOG_ERROR(log_, kFunction, L"get_GloballyOpenPorts", static_cast<DWORD>(hr));
        ports = nullptr;
    } else if (ports) {
        INetFwOpenPort* open = nullptr;
        // An error here only means the port is not in the list.
        if (SUCCEEDED(ports->Item(port_, NET_FW_IP_PROTOCOL_TCP, &open)) && open) {
            VARIANT_BOOL enabled = VARIANT_FALSE;
            hr = open->get_Enabled(&enabled);
            if (FAILED(hr))
                LOG_ERROR(log_, kFunction, L"Item", static_cast<DWORD>(hr));
            else if (enabled)
                setResult(PortOpen);
        }
        release(&open);
    }
    release(&ports);
    if (result() == PortOpen || !path)
        return;

    INetFwAuthorizedApplications* apps = nullptr;
    hr = profile->get_AuthorizedApplications(&apps);
    if (FAILED(hr) || !apps) {
        LOG_ERROR(log_, kFunction, L"get_AuthorizedApplications", static_cast<DWORD>(hr));
        release(&apps);
        setResult(CheckError);
        return;
    }
    BSTR imagePath = SysAllocString(path);
    if (!imagePath) {
        LOG_ERROR(log_, kFunction, L"SysAllocString", static_cast<DWORD>(E_OUTOFMEMORY));
        setResult(CheckError);
    } else {
        authorize(apps, imagePath);
    }
    SysFreeString(imagePath);
    release(&apps);
}

void FWController::authorize(INetFwAuthorizedApplications* apps, BSTR path) {
    static const wchar_t kFunction[] = L"FWController::checkAppPort";
    INetFwAuthorizedApplication* app = nullptr;
    HRESULT hr = apps->Item(path, &app);
    if (FAILED(hr)) {
        LOG_ERROR(log_, kFunction, L"Item", static_cast<DWORD>(hr));
        release(&app);
    }
    if (app) {
        VARIANT_BOOL enabled = VARIANT_FALSE;
        hr = app->get_Enabled(&enabled);
        if (FAILED(hr)) {
            LOG_ERROR(log_, kFunction, L"get_Enabled", static_cast<DWORD>(hr));
        } else if (enabled) {
            setResult(AppAuthorized);
            release(&app);
            return;
        }
        // Disabled, or unreadable: enabled below.
    } else {
        hr = create_(kClsidNetFwAuthorizedApplication, nullptr, CLSCTX_INPROC_SERVER, kIidNetFwAuthorizedApplication,
                     reinterpret_cast<void**>(&app));
        if (FAILED(hr) || !app) {
            LOG_ERROR(log_, kFunction, L"CoCreateInstance", static_cast<DWORD>(hr));
            app = nullptr;
            setResult(Blocked);
            return;
        }
        hr = app->put_ProcessImageFileName(path);
        if (FAILED(hr)) {
            LOG_ERROR(log_, kFunction, L"put_ProcessImageFileName", static_cast<DWORD>(hr));
            setResult(Blocked);
            release(&app);
            return;
        }
        hr = apps->Add(app);
        if (FAILED(hr)) {
            LOG_ERROR(log_, kFunction, L"Add", static_cast<DWORD>(hr));
            setResult(Blocked);
            release(&app);
            return;
        }
    }
    BSTR name = SysAllocString(kAppName);
    if (!name) {
        LOG_ERROR(log_, kFunction, L"SysAllocString", static_cast<DWORD>(E_OUTOFMEMORY));
    } else {
        hr = app->put_Name(name);
        if (FAILED(hr))
            LOG_ERROR(log_, kFunction, L"put_Name", static_cast<DWORD>(hr));
        SysFreeString(name);
    }
    hr = app->put_Enabled(VARIANT_TRUE);
    if (FAILED(hr))
        LOG_ERROR(log_, kFunction, L"put_Enabled", static_cast<DWORD>(hr));
    VARIANT_BOOL enabled = VARIANT_FALSE;
    hr = app->get_Enabled(&enabled);
    if (FAILED(hr)) {
        LOG_ERROR(log_, kFunction, L"get_Enabled", static_cast<DWORD>(hr));
        setResult(CheckError);
    } else {
        setResult(enabled ? AppAuthorized : Blocked);
    }
    release(&app);
}
