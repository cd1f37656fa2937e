// The few UPnP interfaces the port mapping uses (NAT traversal and the device finder), which
// MinGW's headers lack, declared with their published identifiers, and the class ids of the
// UPnP and firewall objects we create. The firewall interfaces come from <netfw.h>.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <netfw.h>

#include "ComCreator.h"

// CLSCTX_ALL as the published samples pass it.
constexpr DWORD kClsctxAll = 0x17;

constexpr GUID kClsidUPnPNAT = {0xAE1E00AA, 0x3FD5, 0x403C, {0x8A, 0x27, 0x2B, 0xBD, 0xC3, 0x0C, 0xD0, 0xE1}};
constexpr GUID kIidUPnPNAT = {0xB171C812, 0xCC76, 0x485A, {0x94, 0xD8, 0xB6, 0xB3, 0xA2, 0x79, 0x4E, 0x99}};
constexpr GUID kIidStaticPortMappingCollection = {0xCD1F3E77, 0x66D6, 0x4664,
                                                  {0x82, 0xC7, 0x36, 0xDB, 0xB6, 0x41, 0xD0, 0xF1}};
constexpr GUID kIidStaticPortMapping = {0x6F10711F, 0x729B, 0x41E5, {0x93, 0xB8, 0xF2, 0x1D, 0x0F, 0x81, 0x8D, 0xF1}};
constexpr GUID kClsidUPnPDeviceFinder = {0xE2085F28, 0xFEB7, 0x404A,
                                         {0xB8, 0xE7, 0xE6, 0x59, 0xBD, 0xEA, 0xAA, 0x02}};
constexpr GUID kIidUPnPDeviceFinder = {0xADDA3D55, 0x6F72, 0x4319, {0xBF, 0xF9, 0x18, 0x60, 0x0A, 0x53, 0x9B, 0x10}};
constexpr GUID kIidUPnPDevices = {0xFDBC0C73, 0xBDA3, 0x4C66, {0xAC, 0x4F, 0xF2, 0xD9, 0x6F, 0xDA, 0xD6, 0x8C}};

constexpr GUID kClsidNetFwMgr = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
constexpr GUID kIidNetFwMgr = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
constexpr GUID kClsidNetFwAuthorizedApplication = {0xEC9846B3, 0x2762, 0x4A6B,
                                                   {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
constexpr GUID kIidNetFwAuthorizedApplication = {0xB5E64FFA, 0xC2C5, 0x444E,
                                                 {0xA3, 0x01, 0xFB, 0x5E, 0x00, 0x01, 0x80, 0x50}};

// Method order is the vtable order: it has to match the system's objects exactly.
struct IStaticPortMapping : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ExternalIPAddress(BSTR* address) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExternalPort(long* port) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InternalPort(long* port) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Protocol(BSTR* protocol) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InternalClient(BSTR* client) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* description) = 0;
    virtual HRESULT STDMETHODCALLTYPE EditInternalClient(BSTR client) = 0;
    virtual HRESULT STDMETHODCALLTYPE Enable(VARIANT_BOOL enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE EditDescription(BSTR description) = 0;
    virtual HRESULT STDMETHODCALLTYPE EditInternalPort(long port) = 0;
};

struct IStaticPortMappingCollection : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** enumerator) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(long externalPort, BSTR protocol, IStaticPortMapping** mapping) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(long* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Remove(long externalPort, BSTR protocol) = 0;
    virtual HRESULT STDMETHODCALLTYPE Add(long externalPort, BSTR protocol, long internalPort, BSTR internalClient,
                                          VARIANT_BOOL enabled, BSTR description, IStaticPortMapping** mapping) = 0;
};

struct IUPnPNAT : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_StaticPortMappingCollection(IStaticPortMappingCollection** mappings) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DynamicPortMappingCollection(IUnknown** mappings) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NATEventManager(IUnknown** manager) = 0;
};

struct IUPnPDevices : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Count(long* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** enumerator) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(BSTR udn, IDispatch** device) = 0;
};

struct IUPnPDeviceFinder : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE FindByType(BSTR typeUri, DWORD flags, IUPnPDevices** devices) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAsyncFind(BSTR typeUri, DWORD flags, IUnknown* callback,
                                                      LONG* findData) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartAsyncFind(LONG findData) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelAsyncFind(LONG findData) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindByUDN(BSTR udn, IDispatch** device) = 0;
};
