// The string and variant helpers a host needs to talk to the dispatch
// interfaces: a BSTR is UTF-16 with a 32-bit byte-length prefix and a
// terminating zero, handed out as a pointer to its first unit.

#include "runtime/Runtime.h"

#include "tallyquill/error.h"

#include <QString>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);

uint32_t* prefixOf(BSTR s) { return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(s) - kPrefix); }

// An error object holds its texts as UTF-8 and hands out fresh BSTRs. Like a
// BSTR it belongs to the runtime, not to a class: it does not keep the
// library loaded (DllCanUnloadNow), so a host releases it before unloading.
struct ErrorObject {
    const IErrorInfoVtbl* lpVtbl;
    std::atomic<ULONG> refs{1};
    GUID iid;
    std::string source;
    std::string description;
};

ErrorObject& errorObject(IErrorInfo* This) { return *reinterpret_cast<ErrorObject*>(This); }

HRESULT answerText(const std::string& text, BSTR* out)
{
    if (!out)
        return E_POINTER;
    *out = tallyquill::runtime::ToBstr(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

const IErrorInfoVtbl kErrorVtbl = {
    [](IErrorInfo* This, REFIID riid, void** ppv) -> HRESULT {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!riid)
            return E_INVALIDARG;
        if (!TqIsEqualGUID(riid, &IID_IUnknown) && !TqIsEqualGUID(riid, &IID_IErrorInfo))
            return E_NOINTERFACE;
        ++errorObject(This).refs;
        *ppv = This;
        return S_OK;
    },
    [](IErrorInfo* This) -> ULONG { return ++errorObject(This).refs; },
    [](IErrorInfo* This) -> ULONG {
        const ULONG left = --errorObject(This).refs;
        if (left == 0)
            delete &errorObject(This);
        return left;
    },
    [](IErrorInfo* This, GUID* guid) -> HRESULT {
        if (!guid)
            return E_POINTER;
        *guid = errorObject(This).iid;
        return S_OK;
    },
    [](IErrorInfo* This, BSTR* out) { return answerText(errorObject(This).source, out); },
    [](IErrorInfo* This, BSTR* out) { return answerText(errorObject(This).description, out); },
    [](IErrorInfo*, BSTR* out) { return answerText({}, out); },
    [](IErrorInfo*, DWORD* context) -> HRESULT {
        if (!context)
            return E_POINTER;
        *context = 0;
        return S_OK;
    },
};

// Released when the thread ends.
struct ThreadError {
    IErrorInfo* info = nullptr;
    void reset(IErrorInfo* next)
    {
        if (info)
            info->lpVtbl->Release(info);
        info = next;
    }
    ~ThreadError() { reset(nullptr); }
};

thread_local ThreadError t_error;

} // namespace

extern "C" {

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch)
{
    if (cch > (std::numeric_limits<uint32_t>::max() - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR))
        return nullptr;
    const size_t bytes = size_t(cch) * sizeof(OLECHAR);
    auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block)
        return nullptr;
    const uint32_t length = uint32_t(bytes);
    std::memcpy(block, &length, kPrefix);
    auto* text = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (pch)
        std::memcpy(text, pch, bytes);
    else
        std::memset(text, 0, bytes);
    text[cch] = 0;
    return text;
}

BSTR SysAllocString(const OLECHAR* psz)
{
    if (!psz)
        return nullptr;
    UINT n = 0;
    while (psz[n])
        ++n;
    return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR bstr)
{
    if (bstr)
        std::free(prefixOf(bstr));
}

UINT SysStringLen(BSTR bstr) { return bstr ? *prefixOf(bstr) / sizeof(OLECHAR) : 0; }

void VariantInit(VARIANT* pvarg)
{
    if (pvarg)
        std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANT* pvarg)
{
    if (!pvarg)
        return E_INVALIDARG;
    // What is held by reference belongs to the caller; only owned values go.
    switch (pvarg->vt) {
    case VT_BSTR:
        SysFreeString(pvarg->u.bstrVal);
        break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        if (pvarg->u.punkVal)
            pvarg->u.punkVal->lpVtbl->Release(pvarg->u.punkVal);
        break;
    default:
        if (!(pvarg->vt & VT_BYREF) && (pvarg->vt & VT_ARRAY))
            return DISP_E_BADVARTYPE;  // no safe arrays are ever handed out
        break;
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo)
{
    if (!pperrinfo)
        return E_INVALIDARG;
    // The caller takes the thread's reference: the error is fetched once.
    *pperrinfo = t_error.info;
    t_error.info = nullptr;
    return *pperrinfo ? S_OK : S_FALSE;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo)
{
    if (perrinfo)
        perrinfo->lpVtbl->AddRef(perrinfo);
    t_error.reset(perrinfo);
    return S_OK;
}

} // extern "C"

namespace tallyquill::runtime {

std::string FromBstr(BSTR text)
{
    if (!text)
        return {};
    const QString s = QString::fromUtf16(text, qsizetype(SysStringLen(text)));
    // UTF-8 has no form for half a surrogate pair: refuse it rather than
    // pass on a '?' in its place.
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate())
            ++i;
        else if (s[i].isSurrogate())
            throw tallyquill::InvalidTextError("A text holds a lone surrogate (not valid UTF-16)");
    }
    return s.toStdString();
}

BSTR ToBstr(const std::string& text)
{
    const QString s = QString::fromStdString(text);
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.utf16()), UINT(s.size()));
}

void SetThreadError(const GUID& iid, const std::string& source, const std::string& description)
{
    auto* e = new (std::nothrow) ErrorObject;
    if (!e) {
        t_error.reset(nullptr);
        return;
    }
    e->lpVtbl = &kErrorVtbl;
    e->iid = iid;
    try {
        e->source = source;
        e->description = description;
    } catch (const std::bad_alloc&) {
    }
    t_error.reset(reinterpret_cast<IErrorInfo*>(e));
}

void ClearThreadError()
{
    if (t_error.info)
        t_error.reset(nullptr);
}

std::string GuidString(const GUID& g)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

} // namespace tallyquill::runtime
