// The test-only COM stand-in: a base for its dispatch objects, the folder the test shares with it
// (state it sets, calls it reads back) and the record of every call. Never part of a product.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

// Counts live objects so that DllCanUnloadNow answers truthfully.
extern volatile LONG g_liveObjects;

// The folder named by HKCU\Software\WexaTestCom "Folder" (Windows path, no trailing slash),
// empty when the test set none.
std::wstring stubFolder();

// Whole text file in the folder as UTF-8 bytes ("" when missing); written whole through a
// temporary file so a reader never sees half of it.
std::string readStubFile(const wchar_t* name);
bool writeStubFile(const wchar_t* name, const std::string& text);

// One line appended to calls.txt: what was called, with what, and what it answered.
void recordCall(const char* format, ...);

std::string narrow(const wchar_t* text);
std::wstring widen(const std::string& text);

// The lines of a stub file, without their line ends.
std::vector<std::string> stubLines(const std::string& text);

// Values of "key=value" lines; a missing key reads as fallback.
int stubSetting(const std::string& text, const char* key, int fallback);
std::string stubSettingText(const std::string& text, const char* key);

// IUnknown and an IDispatch that refuses late binding, for one interface I.
template <class I>
class StubObject : public I {
public:
    StubObject() { InterlockedIncrement(&g_liveObjects); }
    virtual ~StubObject() { InterlockedDecrement(&g_liveObjects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, __uuidof(I))) {
            *out = static_cast<I*>(this);
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
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

private:
    LONG refs_ = 1;
};

// Creators the class factory calls, one per class id served.
HRESULT createFirewallManager(REFIID iid, void** out);
HRESULT createAuthorizedApplication(REFIID iid, void** out);
HRESULT createDeviceFinder(REFIID iid, void** out);
HRESULT createNatWrapper(REFIID iid, void** out);
