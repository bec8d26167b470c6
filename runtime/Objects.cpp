// The two creatable classes behind their dual interfaces, their class
// factories, and the four entry points' object side (DllGetClassObject,
// DllCanUnloadNow). Invoke converts the VARIANT arguments and calls the same
// vtable functions a direct caller uses.

#include "runtime/Runtime.h"

#include "tallyquill/error.h"
#include "tallyquill/log_viewer.h"
#include "tallyquill/msg_logger.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace tallyquill::runtime {

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

} // namespace

void ObjectCreated() { ++g_objects; }
void ObjectDestroyed() { --g_objects; }
void LockServer(bool lock) { lock ? ++g_locks : --g_locks; }
bool CanUnload() { return g_objects.load() == 0 && g_locks.load() <= 0; }

namespace {

bool same(REFIID a, const GUID& b) { return TqIsEqualGUID(a, &b); }

// The failure of the last call that answered DISP_E_EXCEPTION, for Invoke's
// EXCEPINFO.
struct LastError {
    SCODE scode = 0;
    std::string source;
    std::string description;
};

// Held per thread, not per object: two threads failing on one object must
// each read back their own reason.
LastError& callError()
{
    thread_local LastError e;
    return e;
}

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

// The database's native number cannot be the scode itself: 1 (SQLite's "no
// such table") or 0 would read as success. It is kept in the interface's own
// range where it fits, and in the description always.
SCODE DatabaseScode(int32_t native)
{
    return native > 0 && native <= 0xFDFF ? SCODE(TQ_E_DATABASE + native) : TQ_E_DATABASE;
}

std::string DatabaseDescription(const tallyquill::DatabaseError& e)
{
    return e.description() + " (SQLSTATE " + (e.sqlstate().empty() ? std::string("none") : e.sqlstate())
           + ", native error " + std::to_string(e.number()) + ")";
}

// Runs a member of the C++ class and turns what it throws into an HRESULT,
// with the reason kept for Invoke's EXCEPINFO and for GetErrorInfo.
template <class Obj, class F>
HRESULT guarded(Obj& obj, F&& f)
{
    ClearThreadError();
    try {
        try {
            return f();
        } catch (const tallyquill::DatabaseError& e) {
            callError() = {DatabaseScode(e.number()), obj.progId, DatabaseDescription(e)};
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (const tallyquill::Error& e) {
            callError() = {E_INVALIDARG, obj.progId, e.what()};
        } catch (const std::exception& e) {
            callError() = {E_FAIL, obj.progId, e.what()};
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
const ISupportErrorInfoVtbl kSupportVtbl = {
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

bool sameName(const OLECHAR* given, const char* name)
{
    for (; *given && *name; ++given, ++name) {
        OLECHAR c = *given;
        if (c >= u'A' && c <= u'Z')
            c = OLECHAR(c - u'A' + u'a');
        char n = *name;
        if (n >= 'A' && n <= 'Z')
            n = char(n - 'A' + 'a');
        if (c != OLECHAR(static_cast<unsigned char>(n)))
            return false;
    }
    return *given == 0 && *name == 0;
}

HRESULT convert(const VARIANT& v, ParamType type, Arg& out)
{
    switch (type) {
    case ParamType::Text:
        if (v.vt == VT_BSTR) {
            out.text = v.u.bstrVal;
            return S_OK;
        }
        if (v.vt == (VT_BYREF | VT_BSTR) && v.u.pbstrVal) {
            out.text = *v.u.pbstrVal;
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    case ParamType::Short:
    case ParamType::ShortByRef: {
        if (v.vt == (VT_BYREF | VT_I2) && v.u.piVal) {
            out.ref = v.u.piVal;
            out.value = *v.u.piVal;
            return S_OK;
        }
        int32_t wide;
        if (v.vt == VT_I2)
            wide = v.u.iVal;
        else if (v.vt == VT_I4)
            wide = v.u.lVal;
        else if (v.vt == (VT_BYREF | VT_I4) && v.u.plVal)
            wide = *v.u.plVal;
        else
            return DISP_E_TYPEMISMATCH;
        if (wide < INT16_MIN || wide > INT16_MAX)
            return DISP_E_OVERFLOW;
        out.value = int16_t(wide);
        out.ref = &out.value;
        return S_OK;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

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

void fillException(const LastError& e, EXCEPINFO* info)
{
    if (!info)
        return;
    std::memset(info, 0, sizeof *info);
    info->bstrSource = ToBstr(e.source);
    info->bstrDescription = ToBstr(e.description);
    info->scode = e.scode;
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

// --- MsgLogger -------------------------------------------------------------------

using LoggerObj = Object<IMsgLoggerVtbl, tallyquill::MsgLogger>;
using Logger = tallyquill::MsgLogger;

HRESULT LoggerWriteLog(IMsgLogger* This, BSTR user, BSTR event, BSTR data, int16_t* answer)
{
    if (!answer)
        return E_POINTER;
    LoggerObj& obj = self<LoggerObj>(This);
    return guarded(obj, [&] {
        *answer = obj.impl->WriteLog(FromBstr(user), FromBstr(event), FromBstr(data));
        return S_OK;
    });
}

HRESULT LoggerCreateTable(IMsgLogger* This)
{
    LoggerObj& obj = self<LoggerObj>(This);
    return guarded(obj, [&] {
        obj.impl->CreateTable();
        return S_OK;
    });
}

#define TQ_TEXT(Obj, Itf, Cls, name) \
    GetText<Obj, Itf, &Cls::name>, PutText<Obj, Itf, &Cls::set##name>

const std::vector<Member<IMsgLogger>>& loggerMembers()
{
    static const std::vector<Member<IMsgLogger>> members = {
        {"AppID", DISPID_MSGLOGGER_APPID, TQ_TEXT(LoggerObj, IMsgLogger, Logger, AppID)},
        {"WorkstationID", DISPID_MSGLOGGER_WORKSTATIONID, TQ_TEXT(LoggerObj, IMsgLogger, Logger, WorkstationID)},
        {"DSN", DISPID_MSGLOGGER_DSN, TQ_TEXT(LoggerObj, IMsgLogger, Logger, DSN)},
        {"WriteLog", DISPID_MSGLOGGER_WRITELOG, nullptr, nullptr, nullptr, nullptr,
         [](IMsgLogger* This, Arg* a, VARIANT* result) {
             int16_t answer = 0;
             const HRESULT hr = LoggerWriteLog(This, a[0].text, a[1].text, a[2].text, &answer);
             if (SUCCEEDED(hr) && result) {
                 result->vt = VT_I2;
                 result->u.iVal = answer;
             }
             return hr;
         },
         3, {"UserName", "EventType", "LogData"}, {ParamType::Text, ParamType::Text, ParamType::Text}},
        {"CreateTable", DISPID_MSGLOGGER_CREATETABLE, nullptr, nullptr, nullptr, nullptr,
         [](IMsgLogger* This, Arg*, VARIANT*) { return LoggerCreateTable(This); }},
        {"LoginID", DISPID_MSGLOGGER_LOGINID, TQ_TEXT(LoggerObj, IMsgLogger, Logger, LoginID)},
        {"Password", DISPID_MSGLOGGER_PASSWORD, TQ_TEXT(LoggerObj, IMsgLogger, Logger, Password)},
    };
    return members;
}

const IMsgLoggerVtbl kLoggerVtbl = {
    [](IMsgLogger* This, REFIID riid, void** ppv) {
        return QueryInterfaceImpl<LoggerObj>(This, riid, ppv, IID_IMsgLogger);
    },
    AddRefImpl<LoggerObj, IMsgLogger>,
    ReleaseImpl<LoggerObj, IMsgLogger>,
    GetTypeInfoCountImpl<IMsgLogger>,
    GetTypeInfoImpl<IMsgLogger>,
    [](IMsgLogger*, REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
        return GetIDsOfNamesImpl<LoggerObj>(loggerMembers(), riid, names, count, ids);
    },
    [](IMsgLogger* This, DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
       EXCEPINFO* excep, UINT* argErr) {
        return InvokeImpl<LoggerObj>(loggerMembers(), This, id, riid, flags, params, result, excep, argErr);
    },
    TQ_TEXT(LoggerObj, IMsgLogger, Logger, AppID),
    TQ_TEXT(LoggerObj, IMsgLogger, Logger, WorkstationID),
    TQ_TEXT(LoggerObj, IMsgLogger, Logger, DSN),
    LoggerWriteLog,
    LoggerCreateTable,
    TQ_TEXT(LoggerObj, IMsgLogger, Logger, LoginID),
    TQ_TEXT(LoggerObj, IMsgLogger, Logger, Password),
};

// --- LogViewer -------------------------------------------------------------------

using ViewerObj = Object<ILogViewerVtbl, tallyquill::LogViewer>;
using Viewer = tallyquill::LogViewer;

HRESULT ViewerShowLog(ILogViewer* This, int16_t* popupStatus)
{
    if (!popupStatus)
        return E_POINTER;
    ViewerObj& obj = self<ViewerObj>(This);
    return guarded(obj, [&] {
        obj.impl->ShowLog(*popupStatus);
        return S_OK;
    });
}

#define TQ_SHORT(Obj, Itf, Cls, name) \
    GetShort<Obj, Itf, &Cls::name>, PutShort<Obj, Itf, &Cls::set##name>

const std::vector<Member<ILogViewer>>& viewerMembers()
{
    auto text = [](const char* name, DISPID id, HRESULT (*g)(ILogViewer*, BSTR*), HRESULT (*p)(ILogViewer*, BSTR)) {
        return Member<ILogViewer>{name, id, g, p};
    };
    auto flag = [](const char* name, DISPID id, HRESULT (*g)(ILogViewer*, int16_t*),
                   HRESULT (*p)(ILogViewer*, int16_t)) { return Member<ILogViewer>{name, id, nullptr, nullptr, g, p}; };
    static const std::vector<Member<ILogViewer>> members = {
        {"ShowLog", DISPID_LOGVIEWER_SHOWLOG, nullptr, nullptr, nullptr, nullptr,
         [](ILogViewer* This, Arg* a, VARIANT*) { return ViewerShowLog(This, a[0].ref); }, 1, {"PopupStatus"},
         {ParamType::ShortByRef}},
        text("Caption", DISPID_LOGVIEWER_CAPTION, TQ_TEXT(ViewerObj, ILogViewer, Viewer, Caption)),
        text("AppID", DISPID_LOGVIEWER_APPID, TQ_TEXT(ViewerObj, ILogViewer, Viewer, AppID)),
        text("WorkstationID", DISPID_LOGVIEWER_WORKSTATIONID, TQ_TEXT(ViewerObj, ILogViewer, Viewer, WorkstationID)),
        text("UserProgDesc", DISPID_LOGVIEWER_USERPROGDESC, TQ_TEXT(ViewerObj, ILogViewer, Viewer, UserProgDesc)),
        text("EventDesc", DISPID_LOGVIEWER_EVENTDESC, TQ_TEXT(ViewerObj, ILogViewer, Viewer, EventDesc)),
        text("ActivityDesc", DISPID_LOGVIEWER_ACTIVITYDESC, TQ_TEXT(ViewerObj, ILogViewer, Viewer, ActivityDesc)),
        flag("AppIDVisible", DISPID_LOGVIEWER_APPIDVISIBLE, TQ_SHORT(ViewerObj, ILogViewer, Viewer, AppIDVisible)),
        flag("WorkstationIDVisible", DISPID_LOGVIEWER_WORKSTATIONIDVISIBLE,
             TQ_SHORT(ViewerObj, ILogViewer, Viewer, WorkstationIDVisible)),
        flag("UserProgVisible", DISPID_LOGVIEWER_USERPROGVISIBLE,
             TQ_SHORT(ViewerObj, ILogViewer, Viewer, UserProgVisible)),
        flag("EventVisible", DISPID_LOGVIEWER_EVENTVISIBLE, TQ_SHORT(ViewerObj, ILogViewer, Viewer, EventVisible)),
        text("DSN", DISPID_LOGVIEWER_DSN, TQ_TEXT(ViewerObj, ILogViewer, Viewer, DSN)),
        text("LoginID", DISPID_LOGVIEWER_LOGINID, TQ_TEXT(ViewerObj, ILogViewer, Viewer, LoginID)),
        text("Password", DISPID_LOGVIEWER_PASSWORD, TQ_TEXT(ViewerObj, ILogViewer, Viewer, Password)),
    };
    return members;
}

const ILogViewerVtbl kViewerVtbl = {
    [](ILogViewer* This, REFIID riid, void** ppv) {
        return QueryInterfaceImpl<ViewerObj>(This, riid, ppv, IID_ILogViewer);
    },
    AddRefImpl<ViewerObj, ILogViewer>,
    ReleaseImpl<ViewerObj, ILogViewer>,
    GetTypeInfoCountImpl<ILogViewer>,
    GetTypeInfoImpl<ILogViewer>,
    [](ILogViewer*, REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
        return GetIDsOfNamesImpl<ViewerObj>(viewerMembers(), riid, names, count, ids);
    },
    [](ILogViewer* This, DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
       EXCEPINFO* excep, UINT* argErr) {
        return InvokeImpl<ViewerObj>(viewerMembers(), This, id, riid, flags, params, result, excep, argErr);
    },
    ViewerShowLog,
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, Caption),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, AppID),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, WorkstationID),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, UserProgDesc),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, EventDesc),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, ActivityDesc),
    TQ_SHORT(ViewerObj, ILogViewer, Viewer, AppIDVisible),
    TQ_SHORT(ViewerObj, ILogViewer, Viewer, WorkstationIDVisible),
    TQ_SHORT(ViewerObj, ILogViewer, Viewer, UserProgVisible),
    TQ_SHORT(ViewerObj, ILogViewer, Viewer, EventVisible),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, DSN),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, LoginID),
    TQ_TEXT(ViewerObj, ILogViewer, Viewer, Password),
};

// --- Class factories ---------------------------------------------------------------

struct Factory {
    const IClassFactoryVtbl* lpVtbl;
    std::atomic<ULONG> refs{1};
    const GUID* clsid;

    Factory(const IClassFactoryVtbl* v, const GUID* c) : lpVtbl(v), clsid(c) { ObjectCreated(); }
    ~Factory() { ObjectDestroyed(); }
};

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
            return createAs<LoggerObj, IMsgLogger>(&kLoggerVtbl, "Tallyquill.MsgLogger", IID_IMsgLogger, riid, ppv);
        return createAs<ViewerObj, ILogViewer>(&kViewerVtbl, "Tallyquill.LogViewer", IID_ILogViewer, riid, ppv);
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
