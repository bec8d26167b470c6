#include "runtime/Dispatch.h"

#include <cstring>

namespace tallyquill::runtime {

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

} // namespace

void ObjectCreated() { ++g_objects; }
void ObjectDestroyed() { --g_objects; }
void LockServer(bool lock) { lock ? ++g_locks : --g_locks; }
bool CanUnload() { return g_objects.load() == 0 && g_locks.load() <= 0; }

bool same(REFIID a, const GUID& b) { return TqIsEqualGUID(a, &b); }

LastError& callError()
{
    thread_local LastError e;
    return e;
}

namespace {

// The database's native number cannot be the scode itself: 1 (SQLite's "no
// such table") or 0 would read as success. It is kept in the interface's own
// range where it fits, and in the description always.
SCODE DatabaseScode(int32_t native)
{
    return native > 0 && native <= 0xFDFF ? SCODE(TQ_E_DATABASE + native) : TQ_E_DATABASE;
}

std::string DatabaseDescription(const DatabaseError& e)
{
    return e.description() + " (SQLSTATE " + (e.sqlstate().empty() ? std::string("none") : e.sqlstate())
           + ", native error " + std::to_string(e.number()) + ")";
}

} // namespace

SCODE ScodeOf(const std::exception& e)
{
    const auto* db = dynamic_cast<const DatabaseError*>(&e);
    switch (Error::categoryOf(e)) {
    case ErrorCategory::Usage:
    case ErrorCategory::InvalidInput:
        return E_INVALIDARG;
    case ErrorCategory::Unavailable:
    case ErrorCategory::Refused:
    case ErrorCategory::OutcomeUnknown:
        return db ? DatabaseScode(db->number()) : E_FAIL;
    case ErrorCategory::InputOutput:
    case ErrorCategory::CannotCreate:
    case ErrorCategory::CorruptFile:
    case ErrorCategory::Internal:
        break;
    }
    return E_FAIL;
}

std::string DescriptionOf(const std::exception& e)
{
    if (const auto* db = dynamic_cast<const DatabaseError*>(&e))
        return DatabaseDescription(*db);
    return e.what();
}

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

void fillException(const LastError& e, EXCEPINFO* info)
{
    if (!info)
        return;
    std::memset(info, 0, sizeof *info);
    info->bstrSource = ToBstr(e.source);
    info->bstrDescription = ToBstr(e.description);
    info->scode = e.scode;
}

} // namespace tallyquill::runtime
