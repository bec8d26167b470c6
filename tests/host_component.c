/* A C host of the component: loads the library by path only, registers it,
 * drives both classes through IDispatch and checks the HRESULTs of misuse.
 *
 *   host_component <library> <dsn> <appid>
 *
 * The registry file is $TALLYQUILL_REGISTRY. The database's description of a
 * rejected insert is printed as "rejected: <description>". Exit status: the
 * number of failed checks (0 = all passed). */

#include "tallyquill/component.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

_Static_assert(sizeof(VARIANT) == 24, "VARIANT is 24 bytes on LP64");
_Static_assert(sizeof(DISPPARAMS) == 24, "DISPPARAMS layout");
_Static_assert(sizeof(EXCEPINFO) == 64, "EXCEPINFO layout");
_Static_assert(offsetof(EXCEPINFO, scode) == 56, "EXCEPINFO layout");

static int failures;

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)
#define CHECK_HR(expr, want)                                                \
    do {                                                                    \
        HRESULT got_ = (expr);                                              \
        if (got_ != (want)) {                                               \
            fprintf(stderr, "%s:%d: %s answered 0x%08X, expected 0x%08X\n", __FILE__, __LINE__, #expr, \
                    (unsigned)got_, (unsigned)(want));                      \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static struct {
    TQ_PFN_DllGetClassObject DllGetClassObject;
    TQ_PFN_DllCanUnloadNow DllCanUnloadNow;
    TQ_PFN_DllRegisterServer DllRegisterServer;
    TQ_PFN_DllUnregisterServer DllUnregisterServer;
    TQ_PFN_SysAllocString SysAllocString;
    TQ_PFN_SysAllocStringLen SysAllocStringLen;
    TQ_PFN_SysFreeString SysFreeString;
    TQ_PFN_SysStringLen SysStringLen;
    TQ_PFN_VariantInit VariantInit;
    TQ_PFN_VariantClear VariantClear;
} api;

static void need(void* lib, const char* name, void* fnAddress)
{
    if (!TqLoadSymbol(lib, name, fnAddress)) {
        fprintf(stderr, "missing export %s\n", name);
        exit(100);
    }
}

static size_t len16(const char16_t* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

static int sameText(BSTR got, const char16_t* want)
{
    size_t n = len16(want);
    return api.SysStringLen(got) == n && memcmp(got, want, n * sizeof(char16_t)) == 0;
}

static DISPID idOf(IDispatch* obj, const char16_t* name)
{
    LPOLESTR names[1] = {(LPOLESTR)name};
    DISPID id = 0;
    HRESULT hr = obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    CHECK(hr == S_OK);
    return id;
}

static HRESULT invoke(IDispatch* obj, const char16_t* name, WORD flags, VARIANT* args, UINT nargs, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr)
{
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {args, NULL, nargs, 0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    return obj->lpVtbl->Invoke(obj, idOf(obj, name), &IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, excep,
                               argErr);
}

static HRESULT putText(IDispatch* obj, const char16_t* name, const char16_t* value)
{
    VARIANT v;
    api.VariantInit(&v);
    v.vt = VT_BSTR;
    v.u.bstrVal = api.SysAllocString(value);
    HRESULT hr = invoke(obj, name, DISPATCH_PROPERTYPUT, &v, 1, NULL, NULL, NULL);
    api.VariantClear(&v);
    return hr;
}

static void expectText(IDispatch* obj, const char16_t* name, const char16_t* want, int line)
{
    VARIANT r;
    api.VariantInit(&r);
    HRESULT hr = invoke(obj, name, DISPATCH_PROPERTYGET, NULL, 0, &r, NULL, NULL);
    if (hr != S_OK || r.vt != VT_BSTR || !sameText(r.u.bstrVal, want)) {
        fprintf(stderr, "%s:%d: property read gave hr 0x%08X vt %u\n", __FILE__, line, (unsigned)hr, r.vt);
        ++failures;
    }
    api.VariantClear(&r);
}

static void roundTrip(IDispatch* obj, const char16_t* name, const char16_t* value, const char16_t* want, int line)
{
    HRESULT hr = putText(obj, name, value);
    if (hr != S_OK) {
        fprintf(stderr, "%s:%d: property write gave 0x%08X\n", __FILE__, line, (unsigned)hr);
        ++failures;
    }
    expectText(obj, name, want, line);
}

static int16_t getShort(IDispatch* obj, const char16_t* name)
{
    VARIANT r;
    api.VariantInit(&r);
    CHECK_HR(invoke(obj, name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, NULL, 0, &r, NULL, NULL), S_OK);
    CHECK(r.vt == VT_I2);
    return r.u.iVal;
}

/* WriteLog(UserName, EventType, LogData): arguments last one first. */
static HRESULT writeLog(IDispatch* obj, const char16_t* user, const char16_t* event, const char16_t* data,
                        int16_t* answer, EXCEPINFO* excep)
{
    VARIANT args[3], r;
    const char16_t* texts[3] = {data, event, user};
    for (int i = 0; i < 3; ++i) {
        api.VariantInit(&args[i]);
        args[i].vt = VT_BSTR;
        args[i].u.bstrVal = api.SysAllocString(texts[i]);
    }
    api.VariantInit(&r);
    HRESULT hr = invoke(obj, u"WriteLog", DISPATCH_METHOD, args, 3, &r, excep, NULL);
    if (hr == S_OK) {
        CHECK(r.vt == VT_I2);
        *answer = r.u.iVal;
    }
    for (int i = 0; i < 3; ++i)
        api.VariantClear(&args[i]);
    api.VariantClear(&r);
    return hr;
}

static char16_t* widen(const char* s)
{
    size_t n = strlen(s);
    char16_t* w = calloc(n + 1, sizeof(char16_t));
    for (size_t i = 0; i < n; ++i)
        w[i] = (unsigned char)s[i];
    return w;
}

static void oleHelpers(void)
{
    BSTR b = api.SysAllocString(u"h\u00e9llo");
    CHECK(api.SysStringLen(b) == 5);
    CHECK(((uint32_t*)b)[-1] == 10 && b[5] == 0);
    api.SysFreeString(b);
    b = api.SysAllocStringLen(NULL, 3);
    CHECK(api.SysStringLen(b) == 3 && b[3] == 0);
    api.SysFreeString(b);
    CHECK(api.SysStringLen(NULL) == 0);
    CHECK(api.SysAllocString(NULL) == NULL);
    api.SysFreeString(NULL);
    CHECK_HR(api.VariantClear(NULL), E_INVALIDARG);
}

static void factoryMisuse(void)
{
    static const GUID unknown = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    void* out = (void*)&out;
    IClassFactory* f = NULL;
    IUnknown outer = {NULL};

    CHECK_HR(api.DllGetClassObject(&unknown, &IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    CHECK(out == NULL);
    CHECK_HR(api.DllGetClassObject(&IID_IMsgLogger, &IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    CHECK_HR(api.DllGetClassObject(&CLSID_MsgLogger, &IID_IClassFactory, NULL), E_POINTER);
    CHECK_HR(api.DllGetClassObject(NULL, &IID_IClassFactory, &out), E_INVALIDARG);
    CHECK_HR(api.DllGetClassObject(&CLSID_MsgLogger, &IID_IDispatch, &out), E_NOINTERFACE);
    CHECK(out == NULL);

    CHECK_HR(api.DllGetClassObject(&CLSID_LogViewer, &IID_IClassFactory, (void**)&f), S_OK);
    if (!f)
        return;
    CHECK_HR(f->lpVtbl->CreateInstance(f, &outer, &IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    CHECK(out == NULL);
    CHECK_HR(f->lpVtbl->CreateInstance(f, NULL, &IID_IClassFactory, &out), E_NOINTERFACE);
    CHECK_HR(f->lpVtbl->CreateInstance(f, NULL, &IID_IDispatch, NULL), E_POINTER);
    CHECK_HR(f->lpVtbl->QueryInterface(f, &IID_IDispatch, &out), E_NOINTERFACE);
    CHECK_HR(f->lpVtbl->LockServer(f, 1), S_OK);
    f->lpVtbl->Release(f);
    CHECK_HR(api.DllCanUnloadNow(), S_FALSE);  /* the lock keeps it */
    CHECK_HR(api.DllGetClassObject(&CLSID_LogViewer, &IID_IUnknown, (void**)&f), S_OK);
    CHECK_HR(f->lpVtbl->LockServer(f, 0), S_OK);
    f->lpVtbl->Release(f);
    CHECK_HR(api.DllCanUnloadNow(), S_OK);
}

static void dispatchMisuse(IDispatch* obj)
{
    VARIANT v, r;
    UINT argErr = 99;
    DISPID id = 0, ids[2];
    LPOLESTR names[2] = {(LPOLESTR)u"NoSuchMember", NULL};
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS none = {NULL, NULL, 0, 0};
    UINT count = 7;
    void* out = (void*)&out;

    CHECK_HR(obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
    CHECK(id == DISPID_UNKNOWN);
    CHECK_HR(obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, NULL, 1, 0, &id), E_POINTER);
    CHECK_HR(obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, names, 1, 0, NULL), E_POINTER);
    CHECK_HR(obj->lpVtbl->GetIDsOfNames(obj, &IID_IDispatch, names, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
    /* Names without regard to case; further names are parameters. */
    names[0] = (LPOLESTR)u"wRITElOG";
    names[1] = (LPOLESTR)u"logdata";
    CHECK_HR(obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, names, 2, 0, ids), S_OK);
    CHECK(ids[0] == DISPID_MSGLOGGER_WRITELOG && ids[1] == 2);
    names[1] = (LPOLESTR)u"Nope";
    CHECK_HR(obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    CHECK(ids[0] == DISPID_MSGLOGGER_WRITELOG && ids[1] == DISPID_UNKNOWN);

    api.VariantInit(&r);
    CHECK_HR(obj->lpVtbl->Invoke(obj, 0x12345, &IID_NULL, 0, DISPATCH_METHOD, &none, &r, NULL, NULL),
             DISP_E_MEMBERNOTFOUND);
    CHECK_HR(obj->lpVtbl->Invoke(obj, DISPID_MSGLOGGER_APPID, &IID_NULL, 0, DISPATCH_PROPERTYGET, NULL, &r, NULL,
                                 NULL), E_INVALIDARG);
    CHECK_HR(obj->lpVtbl->Invoke(obj, DISPID_MSGLOGGER_APPID, &IID_NULL, 0, DISPATCH_PROPERTYGET, &none, NULL, NULL,
                                 NULL), E_POINTER);
    CHECK_HR(obj->lpVtbl->Invoke(obj, DISPID_MSGLOGGER_APPID, &IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, &r,
                                 NULL, NULL), DISP_E_UNKNOWNINTERFACE);
    CHECK_HR(obj->lpVtbl->Invoke(obj, DISPID_MSGLOGGER_CREATETABLE, &IID_NULL, 0, DISPATCH_PROPERTYPUT, &none, &r,
                                 NULL, NULL), DISP_E_MEMBERNOTFOUND);

    /* A number where text belongs; a write without its named argument. */
    api.VariantInit(&v);
    v.vt = VT_I2;
    v.u.iVal = 5;
    CHECK_HR(invoke(obj, u"AppID", DISPATCH_PROPERTYPUT, &v, 1, NULL, NULL, &argErr), DISP_E_TYPEMISMATCH);
    CHECK(argErr == 0);
    DISPPARAMS unnamed = {&v, NULL, 1, 0};
    CHECK_HR(obj->lpVtbl->Invoke(obj, DISPID_MSGLOGGER_APPID, &IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, NULL,
                                 NULL, NULL), DISP_E_PARAMNOTFOUND);
    DISPPARAMS two = {&v, &put, 2, 1};
    VARIANT pair[2] = {v, v};
    two.rgvarg = pair;
    CHECK_HR(obj->lpVtbl->Invoke(obj, DISPID_MSGLOGGER_APPID, &IID_NULL, 0, DISPATCH_PROPERTYPUT, &two, NULL, NULL,
                                 NULL), DISP_E_BADPARAMCOUNT);
    CHECK_HR(invoke(obj, u"AppID", DISPATCH_PROPERTYGET, &v, 1, &r, NULL, NULL), DISP_E_BADPARAMCOUNT);

    /* WriteLog with too few arguments, and with a number as its first. */
    VARIANT args[3];
    for (int i = 0; i < 3; ++i) {
        api.VariantInit(&args[i]);
        args[i].vt = VT_BSTR;
        args[i].u.bstrVal = NULL;  /* a null BSTR is the empty text */
    }
    CHECK_HR(invoke(obj, u"WriteLog", DISPATCH_METHOD, args, 2, &r, NULL, NULL), DISP_E_BADPARAMCOUNT);
    args[2].vt = VT_I4;
    argErr = 99;
    CHECK_HR(invoke(obj, u"WriteLog", DISPATCH_METHOD, args, 3, &r, NULL, &argErr), DISP_E_TYPEMISMATCH);
    CHECK(argErr == 2);
    CHECK(r.vt == VT_EMPTY);

    /* The vtable side: QueryInterface and direct members with null pointers. */
    IMsgLogger* direct = NULL;
    CHECK_HR(obj->lpVtbl->QueryInterface(obj, &IID_IClassFactory, &out), E_NOINTERFACE);
    CHECK(out == NULL);
    CHECK_HR(obj->lpVtbl->QueryInterface(obj, &IID_IMsgLogger, NULL), E_POINTER);
    CHECK_HR(obj->lpVtbl->GetTypeInfoCount(obj, &count), S_OK);
    CHECK(count == 0);
    CHECK_HR(obj->lpVtbl->GetTypeInfoCount(obj, NULL), E_POINTER);
    CHECK_HR(obj->lpVtbl->QueryInterface(obj, &IID_IMsgLogger, (void**)&direct), S_OK);
    if (direct) {
        BSTR s = NULL;
        CHECK_HR(direct->lpVtbl->get_AppID(direct, NULL), E_POINTER);
        CHECK_HR(direct->lpVtbl->WriteLog(direct, NULL, NULL, NULL, NULL), E_POINTER);
        CHECK_HR(direct->lpVtbl->put_WorkstationID(direct, NULL), S_OK);
        CHECK_HR(direct->lpVtbl->get_WorkstationID(direct, &s), S_OK);
        CHECK(s != NULL && api.SysStringLen(s) == 0);
        api.SysFreeString(s);
        direct->lpVtbl->Release(direct);
    }
}

static void msgLogger(IDispatch* obj, const char* dsn, const char* app)
{
    char16_t* wdsn = widen(dsn);
    char16_t* wapp = widen(app);
    int16_t answer = -7;
    EXCEPINFO excep;

    roundTrip(obj, u"AppID", u"orders", u"ORDERS", __LINE__);
    roundTrip(obj, u"appid", u"caf\u00e9", u"CAF\u00c9", __LINE__);
    roundTrip(obj, u"WorkstationID", u"ws01", u"WS01", __LINE__);
    roundTrip(obj, u"DSN", u"Some DSN", u"Some DSN", __LINE__);
    roundTrip(obj, u"LoginID", u"ann", u"ann", __LINE__);
    roundTrip(obj, u"Password", u"p\u00e4ss \U0001F511", u"p\u00e4ss \U0001F511", __LINE__);

    /* Into the database: table created by the first write. */
    CHECK_HR(putText(obj, u"LoginID", u""), S_OK);
    CHECK_HR(putText(obj, u"Password", u""), S_OK);
    CHECK_HR(putText(obj, u"DSN", wdsn), S_OK);
    CHECK_HR(putText(obj, u"AppID", wapp), S_OK);
    CHECK_HR(writeLog(obj, u"john", u"login", u"Signed on", &answer, NULL), S_OK);
    CHECK(answer == 0);
    answer = -7;
    CHECK_HR(writeLog(obj, u"", u"", u"\u767b\u5f55 'quoted'", &answer, NULL), S_OK);
    CHECK(answer == 0);

    /* A user name too long for its column: refused, as every database does. */
    memset(&excep, 0, sizeof excep);
    CHECK_HR(writeLog(obj, u"a_user_name_far_too_long", u"e", u"lost", &answer, &excep), DISP_E_EXCEPTION);
    CHECK(excep.scode != 0);
    CHECK(sameText(excep.bstrSource, u"Tallyquill.MsgLogger"));
    CHECK(api.SysStringLen(excep.bstrDescription) > 0);
    if (excep.bstrDescription) {
        printf("rejected: ");
        for (UINT i = 0; i < api.SysStringLen(excep.bstrDescription); ++i)
            putchar(excep.bstrDescription[i] < 128 ? (char)excep.bstrDescription[i] : '?');
        printf("\n");
        fflush(stdout);
    }
    api.SysFreeString(excep.bstrSource);
    api.SysFreeString(excep.bstrDescription);
    api.SysFreeString(excep.bstrHelpFile);
    /* The object stays usable. */
    CHECK_HR(writeLog(obj, u"john", u"logout", u"Signed off", &answer, NULL), S_OK);
    CHECK(answer == 0);
    free(wdsn);
    free(wapp);
}

static void msgLoggerWithoutDsn(IDispatch* obj, const char* app)
{
    char16_t* wapp = widen(app);
    int16_t answer = -7;
    CHECK_HR(putText(obj, u"AppID", wapp), S_OK);
    CHECK_HR(writeLog(obj, u"u", u"e", u"nothing", &answer, NULL), S_OK);
    CHECK(answer == 1);
    free(wapp);
}

static void logViewer(IDispatch* obj)
{
    VARIANT v;
    UINT argErr = 99;
    expectText(obj, u"Caption", u"Log Viewer", __LINE__);
    expectText(obj, u"UserProgDesc", u"User", __LINE__);
    expectText(obj, u"EventDesc", u"Event Type", __LINE__);
    expectText(obj, u"ActivityDesc", u"Activity", __LINE__);
    CHECK(getShort(obj, u"AppIDVisible") == 0);

    roundTrip(obj, u"Caption", u"Orders log", u"Orders log", __LINE__);
    roundTrip(obj, u"AppID", u"orders", u"orders", __LINE__);
    roundTrip(obj, u"WorkstationID", u"ws01", u"ws01", __LINE__);
    roundTrip(obj, u"UserProgDesc", u"Clerk", u"Clerk", __LINE__);
    roundTrip(obj, u"EventDesc", u"Action", u"Action", __LINE__);
    roundTrip(obj, u"ActivityDesc", u"\u6d3b\u52a8", u"\u6d3b\u52a8", __LINE__);
    roundTrip(obj, u"DSN", u"dsn", u"dsn", __LINE__);
    roundTrip(obj, u"LoginID", u"Ann", u"Ann", __LINE__);
    roundTrip(obj, u"Password", u"Secret", u"Secret", __LINE__);

    /* Hide flags take VT_I2, VT_I4 within range and VT_BYREF|VT_I2. */
    static const char16_t* const flags[] = {u"AppIDVisible", u"WorkstationIDVisible", u"UserProgVisible",
                                            u"EventVisible"};
    int16_t byref = 3;
    for (int i = 0; i < 4; ++i) {
        api.VariantInit(&v);
        if (i == 0) {
            v.vt = VT_I2;
            v.u.iVal = -1;
        } else if (i == 1) {
            v.vt = VT_I4;
            v.u.lVal = 1;
        } else if (i == 2) {
            v.vt = VT_BYREF | VT_I2;
            v.u.piVal = &byref;
        } else {
            v.vt = VT_I4;
            v.u.lVal = -32768;
        }
        CHECK_HR(invoke(obj, flags[i], DISPATCH_PROPERTYPUT, &v, 1, NULL, NULL, NULL), S_OK);
    }
    CHECK(getShort(obj, u"AppIDVisible") == -1);
    CHECK(getShort(obj, u"WorkstationIDVisible") == 1);
    CHECK(getShort(obj, u"UserProgVisible") == 3);
    CHECK(getShort(obj, u"EventVisible") == -32768);
    v.vt = VT_I4;
    v.u.lVal = 70000;
    CHECK_HR(invoke(obj, u"EventVisible", DISPATCH_PROPERTYPUT, &v, 1, NULL, NULL, &argErr), DISP_E_OVERFLOW);
    v.vt = VT_BSTR;
    v.u.bstrVal = NULL;
    CHECK_HR(invoke(obj, u"EventVisible", DISPATCH_PROPERTYPUT, &v, 1, NULL, NULL, &argErr), DISP_E_TYPEMISMATCH);
    CHECK(getShort(obj, u"EventVisible") == -32768);

    /* ShowLog's argument is checked before any screen opens. */
    VARIANT r;
    api.VariantInit(&r);
    CHECK_HR(invoke(obj, u"ShowLog", DISPATCH_METHOD, NULL, 0, &r, NULL, NULL), DISP_E_BADPARAMCOUNT);
    CHECK_HR(invoke(obj, u"ShowLog", DISPATCH_METHOD, &v, 1, &r, NULL, &argErr), DISP_E_TYPEMISMATCH);
    ILogViewer* direct = NULL;
    CHECK_HR(obj->lpVtbl->QueryInterface(obj, &IID_ILogViewer, (void**)&direct), S_OK);
    if (direct) {
        CHECK_HR(direct->lpVtbl->ShowLog(direct, NULL), E_POINTER);
        CHECK_HR(direct->lpVtbl->get_EventVisible(direct, NULL), E_POINTER);
        direct->lpVtbl->Release(direct);
    }
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: host_component <library> <dsn> <appid>\n");
        return 100;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 100;
    }
    need(lib, "DllGetClassObject", &api.DllGetClassObject);
    need(lib, "DllCanUnloadNow", &api.DllCanUnloadNow);
    need(lib, "DllRegisterServer", &api.DllRegisterServer);
    need(lib, "DllUnregisterServer", &api.DllUnregisterServer);
    need(lib, "SysAllocString", &api.SysAllocString);
    need(lib, "SysAllocStringLen", &api.SysAllocStringLen);
    need(lib, "SysFreeString", &api.SysFreeString);
    need(lib, "SysStringLen", &api.SysStringLen);
    need(lib, "VariantInit", &api.VariantInit);
    need(lib, "VariantClear", &api.VariantClear);

    oleHelpers();
    CHECK_HR(api.DllCanUnloadNow(), S_OK);
    CHECK_HR(api.DllRegisterServer(), S_OK);
    CHECK_HR(api.DllRegisterServer(), S_OK);

    IDispatch* none = (IDispatch*)&none;
    CHECK_HR(TqCreateObject("Tallyquill.NoSuchClass", &none), CO_E_CLASSSTRING);
    CHECK(none == NULL);
    IDispatch* logger = CreateObject("Tallyquill.MsgLogger");
    IDispatch* viewer = CreateObject("Tallyquill.LogViewer");
    IDispatch* headless = CreateObject("Tallyquill.MsgLogger");
    CHECK(logger && viewer && headless);
    if (!logger || !viewer || !headless)
        return 100;
    CHECK_HR(api.DllCanUnloadNow(), S_FALSE);

    msgLogger(logger, argv[2], argv[3]);
    msgLoggerWithoutDsn(headless, argv[3]);
    dispatchMisuse(logger);
    logViewer(viewer);

    CHECK(logger->lpVtbl->Release(logger) == 0);
    CHECK(headless->lpVtbl->Release(headless) == 0);
    CHECK_HR(api.DllCanUnloadNow(), S_FALSE);
    CHECK(viewer->lpVtbl->Release(viewer) == 0);
    CHECK_HR(api.DllCanUnloadNow(), S_OK);
    factoryMisuse();

    CHECK_HR(api.DllUnregisterServer(), S_OK);
    CHECK_HR(TqCreateObject("Tallyquill.MsgLogger", &none), CO_E_CLASSSTRING);
    CHECK_HR(api.DllUnregisterServer(), S_OK);
    CHECK_HR(api.DllCanUnloadNow(), S_OK);

    if (failures)
        fprintf(stderr, "%d check(s) failed\n", failures);
    return failures > 99 ? 99 : failures;
}
