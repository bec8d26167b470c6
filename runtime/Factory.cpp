// The class factories and the object side of the entry points
// (DllGetClassObject, DllCanUnloadNow).

#include "runtime/Dispatch.h"

namespace tallyquill::runtime {

namespace {

struct Factory {
    const IClassFactoryVtbl* lpVtbl;
    std::atomic<ULONG> refs{1};
    const GUID* clsid;

    Factory(const IClassFactoryVtbl* v, const GUID* c) : lpVtbl(v), clsid(c) { ObjectCreated(); }
    ~Factory() { ObjectDestroyed(); }
};

const IClassFactoryVtbl kFactoryVtbl = {
    [](IClassFactory* This, REFIID riid, void** ppv) -> HRESULT {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!riid)
            return E_INVALIDARG;
        if (!same(riid, IID_IUnknown) && !same(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        ++self<Factory>(This).refs;
        *ppv = This;
        return S_OK;
    },
    [](IClassFactory* This) -> ULONG { return ++self<Factory>(This).refs; },
    [](IClassFactory* This) -> ULONG {
        Factory& f = self<Factory>(This);
        const ULONG left = --f.refs;
        if (left == 0)
            delete &f;
        return left;
    },
    [](IClassFactory* This, IUnknown* outer, REFIID riid, void** ppv) -> HRESULT {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!riid)
            return E_INVALIDARG;
        if (same(self<Factory>(This).clsid, CLSID_MsgLogger))
            return CreateMsgLogger(riid, ppv);
        return CreateLogViewer(riid, ppv);
    },
    [](IClassFactory*, BOOL lock) -> HRESULT {
        LockServer(lock != 0);
        return S_OK;
    },
};

} // namespace
} // namespace tallyquill::runtime

using namespace tallyquill::runtime;

extern "C" HRESULT DllGetClassObject(const GUID* rclsid, const GUID* riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!rclsid || !riid)
        return E_INVALIDARG;
    const GUID* clsid = same(rclsid, CLSID_MsgLogger)   ? &CLSID_MsgLogger
                        : same(rclsid, CLSID_LogViewer) ? &CLSID_LogViewer
                                                        : nullptr;
    if (!clsid)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) Factory(&kFactoryVtbl, clsid);
    if (!factory)
        return E_OUTOFMEMORY;
    auto* itf = reinterpret_cast<IClassFactory*>(factory);
    const HRESULT hr = itf->lpVtbl->QueryInterface(itf, riid, ppv);
    itf->lpVtbl->Release(itf);
    return hr;
}

extern "C" HRESULT DllCanUnloadNow(void) { return CanUnload() ? S_OK : S_FALSE; }
