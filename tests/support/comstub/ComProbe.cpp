// WexaTestComProbe.exe: drives the stand-in the way the share program would, so the fixture's
// self-test can check it without the program. Prints one "name value" line per answer.
//   find TYPE            -> "devices N" (or "find 0x...")
//   firewall PORT PATH   -> the profile's switches, the open port and the application entry
//   add PATH             -> adds an application entry the way the program does
//   nat-add PORT CLIENT  -> "add 0x..." through the registered UPnPNAT
#include "StubInterfaces.h"

#include <windows.h>
#include <netfw.h>

#include <cstdio>
#include <cwchar>

namespace {

int find(const wchar_t* type) {
    IUPnPDeviceFinder* finder = nullptr;
    HRESULT hr = CoCreateInstance(kClsidUPnPDeviceFinder, nullptr, CLSCTX_ALL, __uuidof(IUPnPDeviceFinder),
                                  reinterpret_cast<void**>(&finder));
    if (FAILED(hr)) {
        wprintf(L"create 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    BSTR text = SysAllocString(type);
    IUPnPDevices* devices = nullptr;
    hr = finder->FindByType(text, 0, &devices);
    long count = -1;
    if (SUCCEEDED(hr) && devices)
        devices->get_Count(&count);
    wprintf(SUCCEEDED(hr) ? L"devices %ld\n" : L"find 0x%08lx\n",
            SUCCEEDED(hr) ? count : static_cast<long>(hr));
    if (devices)
        devices->Release();
    SysFreeString(text);
    finder->Release();
    return 0;
}

INetFwProfile* profile() {
    INetFwMgr* manager = nullptr;
    HRESULT hr = CoCreateInstance(kClsidNetFwMgr, nullptr, CLSCTX_ALL, __uuidof(INetFwMgr),
                                  reinterpret_cast<void**>(&manager));
    if (FAILED(hr)) {
        wprintf(L"manager 0x%08lx\n", static_cast<unsigned long>(hr));
        return nullptr;
    }
    INetFwPolicy* policy = nullptr;
    INetFwProfile* current = nullptr;
    if (SUCCEEDED(manager->get_LocalPolicy(&policy)) && policy) {
        policy->get_CurrentProfile(&current);
        policy->Release();
    }
    manager->Release();
    return current;
}

int firewall(long port, const wchar_t* path) {
    INetFwProfile* current = profile();
    if (!current)
        return 1;
    VARIANT_BOOL flag = VARIANT_FALSE;
    current->get_FirewallEnabled(&flag);
    wprintf(L"enabled %d\n", flag ? 1 : 0);
    current->get_ExceptionsNotAllowed(&flag);
    wprintf(L"no_exceptions %d\n", flag ? 1 : 0);
    INetFwOpenPorts* ports = nullptr;
    if (SUCCEEDED(current->get_GloballyOpenPorts(&ports)) && ports) {
        INetFwOpenPort* entry = nullptr;
        if (SUCCEEDED(ports->Item(port, NET_FW_IP_PROTOCOL_TCP, &entry)) && entry) {
            entry->get_Enabled(&flag);
            wprintf(L"port %d\n", flag ? 1 : 0);
            entry->Release();
        } else {
            wprintf(L"port none\n");
        }
        ports->Release();
    }
    INetFwAuthorizedApplications* apps = nullptr;
    if (SUCCEEDED(current->get_AuthorizedApplications(&apps)) && apps) {
        BSTR text = SysAllocString(path);
        INetFwAuthorizedApplication* app = nullptr;
        if (SUCCEEDED(apps->Item(text, &app)) && app) {
            app->get_Enabled(&flag);
            wprintf(L"app %d\n", flag ? 1 : 0);
            app->Release();
        } else {
            wprintf(L"app none\n");
        }
        SysFreeString(text);
        apps->Release();
    }
    current->Release();
    return 0;
}

int add(const wchar_t* path) {
    INetFwProfile* current = profile();
    if (!current)
        return 1;
    INetFwAuthorizedApplications* apps = nullptr;
    INetFwAuthorizedApplication* app = nullptr;
    current->get_AuthorizedApplications(&apps);
    HRESULT hr = CoCreateInstance(kClsidNetFwAuthorizedApplication, nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(INetFwAuthorizedApplication), reinterpret_cast<void**>(&app));
    if (SUCCEEDED(hr) && apps) {
        BSTR text = SysAllocString(path);
        app->put_ProcessImageFileName(text);
        hr = apps->Add(app);
        SysFreeString(text);
    }
    wprintf(L"add 0x%08lx\n", static_cast<unsigned long>(hr));
    if (app)
        app->Release();
    if (apps)
        apps->Release();
    current->Release();
    return 0;
}

int natAdd(long port, const wchar_t* client) {
    IUPnPNAT* nat = nullptr;
    HRESULT hr = CoCreateInstance(kClsidUPnPNAT, nullptr, CLSCTX_ALL, __uuidof(IUPnPNAT),
                                  reinterpret_cast<void**>(&nat));
    IStaticPortMappingCollection* mappings = nullptr;
    for (int poll = 0; SUCCEEDED(hr) && !mappings && poll < 30; ++poll) {
        hr = nat->get_StaticPortMappingCollection(&mappings);
        if (!mappings)
            Sleep(200);
    }
    if (mappings) {
        BSTR tcp = SysAllocString(L"TCP");
        BSTR address = SysAllocString(client);
        BSTR description = SysAllocString(L"Probe");
        IStaticPortMapping* mapping = nullptr;
        hr = mappings->Add(port, tcp, port, address, VARIANT_TRUE, description, &mapping);
        if (mapping)
            mapping->Release();
        SysFreeString(tcp);
        SysFreeString(address);
        SysFreeString(description);
        mappings->Release();
    } else if (SUCCEEDED(hr)) {
        hr = S_FALSE;
    }
    wprintf(L"add 0x%08lx\n", static_cast<unsigned long>(hr));
    if (nat)
        nat->Release();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    int code = 2;
    if (!wcscmp(argv[1], L"find") && argc >= 3)
        code = find(argv[2]);
    else if (!wcscmp(argv[1], L"firewall") && argc >= 4)
        code = firewall(_wtol(argv[2]), argv[3]);
    else if (!wcscmp(argv[1], L"add") && argc >= 3)
        code = add(argv[2]);
    else if (!wcscmp(argv[1], L"nat-add") && argc >= 4)
        code = natAdd(_wtol(argv[2]), argv[3]);
    fflush(stdout);
    CoUninitialize();
    return code;
}
