// How the network controllers make their COM objects: a function with CoCreateInstance's
// signature, so that tests can hand them in-process objects of their own. Kept apart from the
// COM headers so that the units which only pass one along stay light.
#pragma once
#include <windows.h>

struct IUnknown;

typedef HRESULT(STDAPICALLTYPE* ComCreator)(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                             LPVOID* object);
