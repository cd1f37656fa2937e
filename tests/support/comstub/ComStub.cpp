// Entry points of the test-only COM stand-in DLL: the class factory for the four class ids it can
// be registered under, and the helpers its objects share (state folder, call record).
#include "ComStub.h"
#include "StubInterfaces.h"

#include <cstdarg>
#include <cstdio>

volatile LONG g_liveObjects = 0;

namespace {

// Serialises the call record and the state files between the program's threads.
CRITICAL_SECTION g_fileLock;

typedef HRESULT (*Creator)(REFIID, void**);

class Factory : public IClassFactory {
public:
    explicit Factory(Creator creator) : creator_(creator) { InterlockedIncrement(&g_liveObjects); }
    virtual ~Factory() { InterlockedDecrement(&g_liveObjects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return creator_(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&g_liveObjects);
        else
            InterlockedDecrement(&g_liveObjects);
        return S_OK;
    }

private:
    LONG refs_ = 1;
    Creator creator_;
};

}  // namespace

std::string narrow(const wchar_t* text) {
    if (!text)
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string out(size - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::wstring stubFolder() {
    wchar_t folder[1024] = {};
    DWORD size = sizeof folder - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\WexaTestCom", L"Folder", RRF_RT_REG_SZ, nullptr, folder,
                     &size) != ERROR_SUCCESS)
        return std::wstring();
    return folder;
}

std::string readStubFile(const wchar_t* name) {
    std::wstring path = stubFolder() + L"\\" + name;
    EnterCriticalSection(&g_fileLock);
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
            text.append(buffer, got);
        CloseHandle(file);
    }
    LeaveCriticalSection(&g_fileLock);
    return text;
}

bool writeStubFile(const wchar_t* name, const std::string& text) {
    std::wstring path = stubFolder() + L"\\" + name;
    std::wstring temporary = path + L".tmp";
    EnterCriticalSection(&g_fileLock);
    bool ok = false;
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
             written == text.size();
        CloseHandle(file);
        ok = ok && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    LeaveCriticalSection(&g_fileLock);
    return ok;
}

void recordCall(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (length < 0)
        return;
    if (length > static_cast<int>(sizeof line) - 3)
        length = sizeof line - 3;
    line[length++] = '\n';
    std::wstring path = stubFolder() + L"\\calls.txt";
    EnterCriticalSection(&g_fileLock);
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, length, &written, nullptr);
        CloseHandle(file);
    }
    LeaveCriticalSection(&g_fileLock);
}

std::vector<std::string> stubLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        if (!lines.back().empty() && lines.back().back() == '\r')
            lines.back().pop_back();
        at = end + 1;
    }
    return lines;
}

std::string stubSettingText(const std::string& text, const char* key) {
    std::string wanted = std::string(key) + "=";
    for (const std::string& line : stubLines(text)) {
        if (line.compare(0, wanted.size(), wanted) == 0)
            return line.substr(wanted.size());
    }
    return std::string();
}

int stubSetting(const std::string& text, const char* key, int fallback) {
    std::string value = stubSettingText(text, key);
    return value.empty() ? fallback : atoi(value.c_str());
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    Creator creator = nullptr;
    if (IsEqualCLSID(clsid, kClsidNetFwMgr))
        creator = createFirewallManager;
    else if (IsEqualCLSID(clsid, kClsidNetFwAuthorizedApplication))
        creator = createAuthorizedApplication;
    else if (IsEqualCLSID(clsid, kClsidUPnPDeviceFinder))
        creator = createDeviceFinder;
    else if (IsEqualCLSID(clsid, kClsidUPnPNAT))
        creator = createNatWrapper;
    if (!creator)
        return CLASS_E_CLASSNOTAVAILABLE;
    Factory* factory = new Factory(creator);
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_liveObjects == 0 ? S_OK : S_FALSE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&g_fileLock);
    else if (reason == DLL_PROCESS_DETACH)
        DeleteCriticalSection(&g_fileLock);
    return TRUE;
}
