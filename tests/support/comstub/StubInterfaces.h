// The UPnP interfaces the stand-in implements or wraps. MinGW-w64 ships neither natupnp.h nor
// upnp.h; these follow the published layouts and IIDs (vtable order matters, names do not).
#pragma once

#include <oaidl.h>

struct IStaticPortMapping : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ExternalIPAddress(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExternalPort(long* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InternalPort(long* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Protocol(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InternalClient(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE EditInternalClient(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Enable(VARIANT_BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE EditDescription(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE EditInternalPort(long value) = 0;
};

struct IStaticPortMappingCollection : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(long externalPort, BSTR protocol, IStaticPortMapping** mapping) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(long* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Remove(long externalPort, BSTR protocol) = 0;
    virtual HRESULT STDMETHODCALLTYPE Add(long externalPort, BSTR protocol, long internalPort, BSTR internalClient,
                                          VARIANT_BOOL enabled, BSTR description, IStaticPortMapping** mapping) = 0;
};

struct IUPnPNAT : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_StaticPortMappingCollection(IStaticPortMappingCollection** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DynamicPortMappingCollection(IUnknown** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NATEventManager(IUnknown** value) = 0;
};

struct IUPnPDevice;

struct IUPnPDevices : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Count(long* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(BSTR udn, IUPnPDevice** device) = 0;
};

struct IUPnPDeviceFinder : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE FindByType(BSTR typeUri, DWORD flags, IUPnPDevices** devices) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAsyncFind(BSTR typeUri, DWORD flags, IUnknown* callback, LONG* find) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartAsyncFind(LONG find) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelAsyncFind(LONG find) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindByUDN(BSTR udn, IUPnPDevice** device) = 0;
};

__CRT_UUID_DECL(IStaticPortMapping, 0x6f10711f, 0x729b, 0x41e5, 0x93, 0xb8, 0xf2, 0x1d, 0x0f, 0x81, 0x8d, 0xf1)
__CRT_UUID_DECL(IStaticPortMappingCollection, 0xcd1f3e77, 0x66d6, 0x4664, 0x82, 0xc7, 0x36, 0xdb, 0xb6, 0x41, 0xd0,
                0xf1)
__CRT_UUID_DECL(IUPnPNAT, 0xb171c812, 0xcc76, 0x485a, 0x94, 0xd8, 0xb6, 0xb3, 0xa2, 0x79, 0x4e, 0x99)
__CRT_UUID_DECL(IUPnPDevices, 0xfdbc0c73, 0xbda3, 0x4c66, 0xac, 0x4f, 0xf2, 0xd9, 0x6f, 0xda, 0xd6, 0x8c)
__CRT_UUID_DECL(IUPnPDeviceFinder, 0xadda3d55, 0x6f72, 0x4319, 0xbf, 0xf9, 0x18, 0x60, 0x0a, 0x53, 0x9b, 0x10)

// Class ids the stand-in serves (the test registers the ones it wants, in its own prefix only).
extern const CLSID kClsidUPnPNAT;
extern const CLSID kClsidUPnPDeviceFinder;
extern const CLSID kClsidNetFwMgr;
extern const CLSID kClsidNetFwAuthorizedApplication;
