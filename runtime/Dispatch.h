#pragma once

// The dispatch machinery both creatable classes share: the object behind a
// dual interface, IUnknown, the property accessors, the member tables that
// GetIDsOfNames and Invoke read, and the turning of what a C++ member throws
// into an HRESULT chosen from the failure's category.

#include "runtime/Runtime.h"

#include "tallyquill/error.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

namespace tallyquill::runtime {

bool same(REFIID a, const GUID& b);

// The failure of the last call that answered DISP_E_EXCEPTION, for Invoke's
// EXCEPINFO.
struct LastError {
    SCODE scode = 0;
    std::string source;
    std::string description;
};

// Held per thread, not per object: two threads failing on one object must
// each read back their own reason.
LastError& callError();

// A COM object: the interface pointer is the address of lpVtbl, so the
// object is reached back from it by a cast; its ISupportErrorInfo is the
// address of lpSupportVtbl.
template <class Vtbl, class Impl>
struct Object {
    const Vtbl* lpVtbl;
    const ISupportErrorInfoVtbl* lpSupportVtbl;
    std::atomic<ULONG> refs{1};
    Impl* impl;
    const char* progId;
    const GUID* iid;

    Object(const Vtbl* v, const ISupportErrorInfoVtbl* support, const char* id, const GUID* itf)
        : lpVtbl(v), lpSupportVtbl(support), impl(new Impl), progId(id), iid(itf)
    {
        ObjectCreated();
    }
    ~Object()
    {
        delete impl;
        ObjectDestroyed();
    }
};

template <class Obj, class Itf>
Obj& self(Itf* This)
{
    static_assert(std::is_standard_layout_v<Obj>);
    return *reinterpret_cast<Obj*>(This);
}

template <class Obj>
Obj& selfOfSupport(ISupportErrorInfo* This)
{
    static_assert(std::is_standard_layout_v<Obj>);
    return *reinterpret_cast<Obj*>(reinterpret_cast<char*>(This) - offsetof(Obj, lpSupportVtbl));
}

// The HRESULT of a failure, from its category; a database's failure keeps its
// native number in the interface's own range.
SCODE ScodeOf(const std::exception& e);
// The description a host reads; a database's failure names its SQLSTATE and
// native number.
std::string DescriptionOf(const std::exception& e);

// Runs a member of the C++ class and turns what it throws into an HRESULT,
// with the reason kept for Invoke's EXCEPINFO and for GetErrorInfo.
template <class Obj, class F>
HRESULT guarded(Obj& obj, F&& f)
{
    ClearThreadError();
    try {
        try {
            return f();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (const std::exception& e) {
            callError() = {ScodeOf(e), obj.progId, DescriptionOf(e)};
        } catch (...) {
            return E_UNEXPECTED;
        }
        SetThreadError(*obj.iid, callError().source, callError().description);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return DISP_E_EXCEPTION;
}

// --- IUnknown and the IDispatch members that need no member table ------------

template <class Obj, class Itf>
HRESULT QueryInterfaceImpl(Itf* This, REFIID riid, void** ppv, const GUID& own)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!riid)
        return E_INVALIDARG;
    Obj& obj = self<Obj>(This);
    if (same(riid, IID_ISupportErrorInfo)) {
        ++obj.refs;
        *ppv = &obj.lpSupportVtbl;
        return S_OK;
    }
    if (!same(riid, IID_IUnknown) && !same(riid, IID_IDispatch) && !same(riid, own))
        return E_NOINTERFACE;
    ++obj.refs;
    *ppv = This;
    return S_OK;
}

// ISupportErrorInfo shares the object's count and identity.
template <class Obj, class Itf>
inline const ISupportErrorInfoVtbl kSupportVtbl = {
    [](ISupportErrorInfo* This, REFIID riid, void** ppv) {
        Obj& obj = selfOfSupport<Obj>(This);
        return obj.lpVtbl->QueryInterface(reinterpret_cast<Itf*>(&obj), riid, ppv);
    },
    [](ISupportErrorInfo* This) -> ULONG { return ++selfOfSupport<Obj>(This).refs; },
    [](ISupportErrorInfo* This) {
        Obj& obj = selfOfSupport<Obj>(This);
        return obj.lpVtbl->Release(reinterpret_cast<Itf*>(&obj));
    },
    [](ISupportErrorInfo* This, REFIID riid) -> HRESULT {
        return riid && same(riid, *selfOfSupport<Obj>(This).iid) ? S_OK : S_FALSE;
    },
};

template <class Obj, class Itf>
ULONG AddRefImpl(Itf* This)
{
    return ++self<Obj>(This).refs;
}

template <class Obj, class Itf>
ULONG ReleaseImpl(Itf* This)
{
    Obj& obj = self<Obj>(This);
    const ULONG left = --obj.refs;
    if (left == 0)
        delete &obj;
    return left;
}

template <class Itf>
HRESULT GetTypeInfoCountImpl(Itf*, UINT* pctinfo)
{
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;  // no type information is handed out
    return S_OK;
}

template <class Itf>
HRESULT GetTypeInfoImpl(Itf*, UINT, LCID, ITypeInfo** ppTInfo)
{
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
}

// --- Property accessors shared by both classes -------------------------------

template <class Obj, class Itf, std::string (std::remove_pointer_t<decltype(Obj::impl)>::*Get)() const>
HRESULT GetText(Itf* This, BSTR* value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    Obj& obj = self<Obj>(This);
    return guarded(obj, [&] {
        *value = ToBstr((obj.impl->*Get)());
        return *value ? S_OK : E_OUTOFMEMORY;
    });
}

template <class Obj, class Itf, void (std::remove_pointer_t<decltype(Obj::impl)>::*Put)(const std::string&)>
HRESULT PutText(Itf* This, BSTR value)
{
    Obj& obj = self<Obj>(This);
    return guarded(obj, [&] {
        (obj.impl->*Put)(FromBstr(value));
        return S_OK;
    });
}

template <class Obj, class Itf, int16_t (std::remove_pointer_t<decltype(Obj::impl)>::*Get)() const>
HRESULT GetShort(Itf* This, int16_t* value)
{
    ClearThreadError();
    if (!value)
        return E_POINTER;
    *value = (self<Obj>(This).impl->*Get)();
    return S_OK;
}

template <class Obj, class Itf, void (std::remove_pointer_t<decltype(Obj::impl)>::*Put)(int16_t)>
HRESULT PutShort(Itf* This, int16_t value)
{
    ClearThreadError();
    (self<Obj>(This).impl->*Put)(value);
    return S_OK;
}

// --- Dispatch ------------------------------------------------------------------

enum class ParamType { Text, Short, ShortByRef };

// One argument after conversion; text is borrowed from the caller's VARIANT.
struct Arg {
    BSTR text = nullptr;
    int16_t value = 0;
    int16_t* ref = nullptr;
};

bool sameName(const OLECHAR* given, const char* name);
HRESULT convert(const VARIANT& v, ParamType type, Arg& out);
void fillException(const LastError& e, EXCEPINFO* info);

template <class Itf>
struct Member {
    const char* name;
    DISPID id;
    HRESULT (*getText)(Itf*, BSTR*) = nullptr;
    HRESULT (*putText)(Itf*, BSTR) = nullptr;
    HRESULT (*getShort)(Itf*, int16_t*) = nullptr;
    HRESULT (*putShort)(Itf*, int16_t) = nullptr;
    HRESULT (*method)(Itf*, Arg*, VARIANT*) = nullptr;  // result may be null
    size_t paramCount = 0;
    std::array<const char*, 3> paramNames = {};
    std::array<ParamType, 3> paramTypes = {};

    bool isProperty() const { return !method; }
    ParamType propertyType() const { return getText ? ParamType::Text : ParamType::Short; }
};

template <class Obj, class Itf>
HRESULT GetIDsOfNamesImpl(const std::vector<Member<Itf>>& members, REFIID riid, LPOLESTR* names, UINT count,
                          DISPID* ids)
{
    if (!names || !ids)
        return E_POINTER;
    if (riid && !same(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (count == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    const Member<Itf>* found = nullptr;
    for (const Member<Itf>& m : members)
        if (names[0] && sameName(names[0], m.name)) {
            found = &m;
            break;
        }
    if (!found)
        return DISP_E_UNKNOWNNAME;
    ids[0] = found->id;
    // Further names are the member's parameters, numbered in their order.
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
        for (size_t p = 0; p < found->paramCount; ++p)
            if (names[i] && sameName(names[i], found->paramNames[p]))
                ids[i] = DISPID(p);
        if (ids[i] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

template <class Obj, class Itf>
HRESULT InvokeImpl(const std::vector<Member<Itf>>& members, Itf* This, DISPID id, REFIID riid, WORD flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* argErr)
{
    if (riid && !same(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (!params || (params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs))
        return E_INVALIDARG;
    if (params->cNamedArgs > params->cArgs)
        return DISP_E_BADPARAMCOUNT;
    const Member<Itf>* m = nullptr;
    for (const Member<Itf>& candidate : members)
        if (candidate.id == id)
            m = &candidate;
    if (!m)
        return DISP_E_MEMBERNOTFOUND;
    if (result)
        VariantInit(result);
    const UINT nargs = params->cArgs;
    auto badArg = [&](HRESULT hr, UINT index) {
        if (argErr)
            *argErr = index;
        return hr;
    };

    HRESULT hr;
    if (m->isProperty()) {
        const ParamType type = m->propertyType();
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            if (nargs != 1)
                return DISP_E_BADPARAMCOUNT;
            if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
                return DISP_E_PARAMNOTFOUND;
            Arg a;
            if (HRESULT c = convert(params->rgvarg[0], type, a); FAILED(c))
                return badArg(c, 0);
            hr = type == ParamType::Text ? m->putText(This, a.text) : m->putShort(This, a.value);
        } else if (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) {
            if (params->cNamedArgs)
                return DISP_E_NONAMEDARGS;
            if (nargs != 0)
                return DISP_E_BADPARAMCOUNT;
            if (!result)
                return E_POINTER;
            if (type == ParamType::Text) {
                BSTR s = nullptr;
                hr = m->getText(This, &s);
                if (SUCCEEDED(hr)) {
                    result->vt = VT_BSTR;
                    result->u.bstrVal = s;
                }
            } else {
                int16_t v = 0;
                hr = m->getShort(This, &v);
                if (SUCCEEDED(hr)) {
                    result->vt = VT_I2;
                    result->u.iVal = v;
                }
            }
        } else {
            return DISP_E_MEMBERNOTFOUND;
        }
    } else {
        if (!(flags & DISPATCH_METHOD))
            return DISP_E_MEMBERNOTFOUND;
        const size_t want = m->paramCount;
        if (nargs != want)
            return DISP_E_BADPARAMCOUNT;
        // Declared position of each argument: named ones by their identifier,
        // the positional rest from the end of rgvarg backwards.
        std::vector<Arg> args(want);
        std::vector<int> slot(want, -1);
        for (UINT i = 0; i < params->cNamedArgs; ++i) {
            const DISPID p = params->rgdispidNamedArgs[i];
            if (p < 0 || size_t(p) >= want || slot[size_t(p)] >= 0)
                return badArg(DISP_E_PARAMNOTFOUND, i);
            slot[size_t(p)] = int(i);
        }
        UINT next = nargs;
        for (size_t p = 0; p < want; ++p)
            if (slot[p] < 0)
                slot[p] = int(--next);
        for (size_t p = 0; p < want; ++p)
            if (HRESULT c = convert(params->rgvarg[slot[p]], m->paramTypes[p], args[p]); FAILED(c))
                return badArg(c, UINT(slot[p]));
        hr = m->method(This, args.data(), result);
    }
    if (hr == DISP_E_EXCEPTION)
        fillException(callError(), excep);
    return hr;
}

#define TQ_TEXT(Obj, Itf, Cls, name) \
    GetText<Obj, Itf, &Cls::name>, PutText<Obj, Itf, &Cls::set##name>
#define TQ_SHORT(Obj, Itf, Cls, name) \
    GetShort<Obj, Itf, &Cls::name>, PutShort<Obj, Itf, &Cls::set##name>

// A new object of the class behind `vtbl`, asked for `riid`.
template <class Obj, class Itf, class Vtbl>
HRESULT createAs(const Vtbl* vtbl, const char* progId, const GUID& iid, REFIID riid, void** ppv)
{
    Obj* obj = nullptr;
    try {
        obj = new Obj(vtbl, &kSupportVtbl<Obj, Itf>, progId, &iid);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    // The caller's reference comes from QueryInterface; ours goes, so an
    // unknown interface leaves nothing behind.
    auto* itf = reinterpret_cast<IUnknown*>(obj);
    const HRESULT hr = itf->lpVtbl->QueryInterface(itf, riid, ppv);
    itf->lpVtbl->Release(itf);
    return hr;
}

// The two classes' objects, made by the factory.
HRESULT CreateMsgLogger(REFIID riid, void** ppv);
HRESULT CreateLogViewer(REFIID riid, void** ppv);

} // namespace tallyquill::runtime
