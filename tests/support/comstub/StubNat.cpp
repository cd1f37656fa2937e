// A thin wrapper over the system's own UPnPNAT, registered only where a test needs it: Wine turns a
// gateway's "ConflictInMappingEntry" answer into E_FAIL, where Windows gives ERROR_BUSY. When an
// Add fails with E_FAIL and the gateway lists that port for another client, the wrapper answers
// HRESULT_FROM_WIN32(ERROR_BUSY); everything else passes through unchanged.
#include "ComStub.h"
#include "StubInterfaces.h"

namespace {

const HRESULT kPortBusy = HRESULT_FROM_WIN32(ERROR_BUSY);

class WrappedMappings : public StubObject<IStaticPortMappingCollection> {
public:
    explicit WrappedMappings(IStaticPortMappingCollection* inner) : inner_(inner) {}
    ~WrappedMappings() override { inner_->Release(); }

    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** value) override { return inner_->get__NewEnum(value); }
    HRESULT STDMETHODCALLTYPE get_Item(long port, BSTR protocol, IStaticPortMapping** mapping) override {
        return inner_->get_Item(port, protocol, mapping);
    }
    HRESULT STDMETHODCALLTYPE get_Count(long* value) override { return inner_->get_Count(value); }
    HRESULT STDMETHODCALLTYPE Remove(long port, BSTR protocol) override {
        HRESULT hr = inner_->Remove(port, protocol);
        recordCall("Nat.Remove %ld %s -> 0x%08lx", port, narrow(protocol).c_str(), static_cast<unsigned long>(hr));
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Add(long port, BSTR protocol, long internalPort, BSTR client, VARIANT_BOOL enabled,
                                  BSTR description, IStaticPortMapping** mapping) override {
        HRESULT hr = inner_->Add(port, protocol, internalPort, client, enabled, description, mapping);
        HRESULT answer = hr;
        if (hr == E_FAIL && heldByAnother(port, protocol, client))
            answer = kPortBusy;
        recordCall("Nat.Add %ld %s %s -> 0x%08lx, answered 0x%08lx", port, narrow(protocol).c_str(),
                   narrow(client).c_str(), static_cast<unsigned long>(hr), static_cast<unsigned long>(answer));
        return answer;
    }

private:
    bool heldByAnother(long port, BSTR protocol, BSTR client) {
        IStaticPortMapping* existing = nullptr;
        if (FAILED(inner_->get_Item(port, protocol, &existing)) || !existing)
            return false;
        BSTR holder = nullptr;
        bool another = SUCCEEDED(existing->get_InternalClient(&holder)) && holder &&
                       (!client || wcscmp(holder, client) != 0);
        SysFreeString(holder);
        existing->Release();
        return another;
    }

    IStaticPortMappingCollection* inner_;
};

class WrappedNat : public StubObject<IUPnPNAT> {
public:
    explicit WrappedNat(IUPnPNAT* inner) : inner_(inner) {}
    ~WrappedNat() override { inner_->Release(); }

    HRESULT STDMETHODCALLTYPE get_StaticPortMappingCollection(IStaticPortMappingCollection** value) override {
        IStaticPortMappingCollection* inner = nullptr;
        HRESULT hr = inner_->get_StaticPortMappingCollection(&inner);
        *value = inner ? new WrappedMappings(inner) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_DynamicPortMappingCollection(IUnknown** value) override {
        return inner_->get_DynamicPortMappingCollection(value);
    }
    HRESULT STDMETHODCALLTYPE get_NATEventManager(IUnknown** value) override {
        return inner_->get_NATEventManager(value);
    }

private:
    IUPnPNAT* inner_;
};

typedef HRESULT(STDAPICALLTYPE* GetClassObject)(REFCLSID, REFIID, void**);

}  // namespace

HRESULT createNatWrapper(REFIID iid, void** out) {
    // Our class id now points here, so the system's object is made through its own DLL directly.
    HMODULE system = LoadLibraryW(L"hnetcfg.dll");
    GetClassObject get = system ? reinterpret_cast<GetClassObject>(
                                      reinterpret_cast<void*>(GetProcAddress(system, "DllGetClassObject")))
                                : nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = get ? get(kClsidUPnPNAT, IID_IClassFactory, reinterpret_cast<void**>(&factory))
                     : HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    IUPnPNAT* inner = nullptr;
    if (SUCCEEDED(hr)) {
        hr = factory->CreateInstance(nullptr, __uuidof(IUPnPNAT), reinterpret_cast<void**>(&inner));
        factory->Release();
    }
    recordCall("Nat.create -> 0x%08lx", static_cast<unsigned long>(hr));
    if (FAILED(hr))
        return hr;
    WrappedNat* nat = new WrappedNat(inner);
    hr = nat->QueryInterface(iid, out);
    nat->Release();
    return hr;
}
