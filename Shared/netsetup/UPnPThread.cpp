// UPnPController: the mapping thread (NAT object, polls for the mapping collection, Add, wait
// for the stop, Remove) and the gateway check (synchronous device search once polling is slow).
#include "UPnPThread.h"

#include "Log.h"

static const wchar_t kLogUnit[] = L"UPnPThread";
static const ThreadController::Names kNames = {kLogUnit, L"UPnPController::start", L"UPnPController::stop",
                                               L"UPnPController::deleteThis", L"UPnPController::notifyObject"};

namespace {

// Polls after which the collection counts as slow and the gateway check starts.
const int kSlowPolls = 4;
// Polls after the first one that saw "no gateway" before the mapping thread gives up.
const int kNoGatewayPolls = 7;
const wchar_t kGatewayType[] = L"urn:schemas-upnp-org:device:InternetGatewayDevice:1";
const wchar_t kDescription[] = L"Wexa-Share Port";

}  // namespace

UPnPController::UPnPController(Log* log, WORD port, Server* server, ServerObject* owner,
                               AddressReader readAddress, const void* addressContext, ComCreator create)
    : ThreadController(kNames, log, server, owner),
      port_(port),
      readAddress_(readAddress),
      addressContext_(addressContext),
      create_(create) {}

bool UPnPController::start() {
    if (!createStopSemaphore())
        return false;
    // The check first: it posts nothing and ends by itself once the stop flag is set, so a
    // mapping thread that cannot be created leaves nothing running that could touch us later.
    checkThread_ = startThread(checkEntry, this);
    if (!checkThread_) {
        closeHandle(&stopSemaphore_, L"UPnPController::start");
        return false;
    }
    mappingThread_ = startThread(mappingEntry, this);
    if (!mappingThread_) {
        requestStop();
        waitForThread(&checkThread_);
        closeHandle(&stopSemaphore_, L"UPnPController::start");
        return false;
    }
    return true;
}

void UPnPController::deleteThis() {
    waitForThread(&mappingThread_);
    waitForThread(&checkThread_);
    delete this;
}

void UPnPController::waitForStopCommand() {
    logWait(L"UPnPController::waitForStopCommand", WaitForSingleObject(stopSemaphore_, INFINITE));
}

DWORD WINAPI UPnPController::mappingEntry(void* param) {
    static_cast<UPnPController*>(param)->threadProc();
    return 0;
}

DWORD WINAPI UPnPController::checkEntry(void* param) {
    static_cast<UPnPController*>(param)->checkProc();
    return 0;
}

void UPnPController::threadProc() {
    static const wchar_t kFunction[] = L"UPnPController::threadProc";
    notifyObject(NoticeUPnPStarted);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        LOG_ERROR(log_, kFunction, L"CoInitializeEx", static_cast<DWORD>(hr));
        setResult(ComError);
    } else {
        if (!stopRequested()) {
            notifyObject(NoticeUPnPRequestingNat);
            IUPnPNAT* nat = nullptr;
            hr = create_(kClsidUPnPNAT, nullptr, kClsctxAll, kIidUPnPNAT, reinterpret_cast<void**>(&nat));
            if (FAILED(hr) || !nat) {
                LOG_ERROR(log_, kFunction, L"CoCreateInstance UPnPNAT", static_cast<DWORD>(hr));
                setResult(NatUnavailable);
            } else {
                notifyObject(NoticeUPnPRequestingMappings);
                IStaticPortMappingCollection* mappings = pollForMappings(nat);
                if (mappings) {
                    if (!stopRequested())
                        mapUntilStopped(mappings);
                    mappings->Release();
                }
                nat->Release();
            }
        }
        CoUninitialize();
    }
    notifyObject(NoticeUPnPFinished);
    // Also ends the gateway check, which may still be waiting for the slow flag.
    requestStop();
}

IStaticPortMappingCollection* UPnPController::pollForMappings(IUPnPNAT* nat) {
    int poll = 0;
    int firstNoGateway = -1;
    // No limit of its own while a gateway may still answer: only a stop or "no gateway" ends it.
    while (!stopRequested()) {
        IStaticPortMappingCollection* mappings = nullptr;
        HRESULT hr = nat->get_StaticPortMappingCollection(&mappings);
        if (FAILED(hr)) {
            LOG_ERROR(log_, L"UPnPController::threadProc", L"get_StaticPortMappingCollection",
                      static_cast<DWORD>(hr));
            setResult(ComError);
            return nullptr;
        }
        if (mappings)
            return mappings;
        EnterCriticalSection(&lock_);
        bool noGateway = noGateway_;
        if (noGateway)
            result_ = NoGateway;
        LeaveCriticalSection(&lock_);
        if (noGateway) {
            if (firstNoGateway < 0)
                firstNoGateway = poll;
            else if (poll - firstNoGateway > kNoGatewayPolls)
                return nullptr;
        }
        Sleep(kPollMs);
        ++poll;
        if (poll > kSlowPolls) {
            EnterCriticalSection(&lock_);
            slow_ = true;
            LeaveCriticalSection(&lock_);
        }
    }
    return nullptr;
}

void UPnPController::mapUntilStopped(IStaticPortMappingCollection* mappings) {
    static const wchar_t kFunction[] = L"UPnPController::threadProc";
    wchar_t* local = readAddress_ ? readAddress_(addressContext_) : nullptr;
    BSTR protocol = SysAllocString(L"TCP");
    // An empty address is passed as it is: the gateway's answer decides.
    BSTR client = SysAllocString(local ? local : L"");
    BSTR description = SysAllocString(kDescription);
    delete[] local;
    if (!protocol || !client || !description) {
        LOG_ERROR(log_, kFunction, L"SysAllocString", static_cast<DWORD>(E_OUTOFMEMORY));
        setResult(AddFailed);
    } else {
        notifyObject(NoticeUPnPAddingMapping);
        IStaticPortMapping* mapping = nullptr;
        HRESULT hr = mappings->Add(port_, protocol, port_, client, VARIANT_TRUE, description, &mapping);
        if (FAILED(hr)) {
            LOG_ERROR(log_, kFunction, L"Add", static_cast<DWORD>(hr));
            setResult(hr == kPortInUse ? PortInUse : AddFailed);
        } else if (!mapping) {
            LOG_ERROR(log_, kFunction, L"piMapping == NULL", static_cast<DWORD>(hr));
            setResult(AddFailed);
        } else {
            setResult(Mapped);
            mapping->Release();
            notifyObject(NoticeUPnPMapped);
            // Here the thread sleeps for as long as the port is mapped.
            waitForStopCommand();
            notifyObject(NoticeUPnPClosing);
            hr = mappings->Remove(port_, protocol);
            if (FAILED(hr))
                LOG_ERROR(log_, kFunction, L"Remove", static_cast<DWORD>(hr));
            setResult(Removed);
        }
    }
    SysFreeString(protocol);
    SysFreeString(client);
    SysFreeString(description);
}

void UPnPController::checkProc() {
    static const wchar_t kFunction[] = L"UPnPController::checkProc";
    // Only a slow mapping collection is worth a device search.
    for (;;) {
        EnterCriticalSection(&lock_);
        bool go = slow_ || stop_;
        LeaveCriticalSection(&lock_);
        if (go)
            break;
        Sleep(kPollMs);
    }
    // A search that a stop cut short says nothing about the gateway: only a finished search, or
    // one that failed, decides. Else a stop could leave "unreachable" as the mapping's result.
    bool decided = false;
    bool found = false;
    if (!stopRequested()) {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) {
            LOG_ERROR(log_, kFunction, L"CoInitializeEx", static_cast<DWORD>(hr));
            decided = true;
        } else {
            BSTR type = nullptr;
            IUPnPDeviceFinder* finder = nullptr;
            if (!stopRequested()) {
                hr = create_(kClsidUPnPDeviceFinder, nullptr, kClsctxAll, kIidUPnPDeviceFinder,
                             reinterpret_cast<void**>(&finder));
                if (FAILED(hr) || !finder) {
                    LOG_ERROR(log_, kFunction, L"CoCreateInstance UPnPDeviceFinder", static_cast<DWORD>(hr));
                    finder = nullptr;
                    decided = true;
                }
            }
            if (finder && !stopRequested()) {
                type = SysAllocString(kGatewayType);
                IUPnPDevices* devices = nullptr;
                hr = type ? finder->FindByType(type, 0, &devices) : E_OUTOFMEMORY;
                if (FAILED(hr) || !devices) {
                    LOG_ERROR(log_, kFunction, L"FindByType", static_cast<DWORD>(hr));
                    decided = true;
                } else {
                    if (!stopRequested()) {
                        long count = 0;
                        hr = devices->get_Count(&count);
                        if (FAILED(hr))
                            LOG_ERROR(log_, kFunction, L"get_Count", static_cast<DWORD>(hr));
                        else
                            found = count > 0;
                        decided = true;
                    }
                    devices->Release();
                }
            }
            if (finder)
                finder->Release();
            SysFreeString(type);
            CoUninitialize();
        }
    }
    if (decided && !found) {
        EnterCriticalSection(&lock_);
        noGateway_ = true;
        LeaveCriticalSection(&lock_);
    }
}
