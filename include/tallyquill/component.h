/* Host header for the Tallyquill component: the binary conventions of the
 * component object model (LP64 layouts, vtable order, HRESULT values), the
 * fixed identifiers of the library and its classes, and CreateObject, which
 * finds a class by ProgID in the per-user registry file, loads the library
 * and answers an IDispatch.
 *
 * Usable from C (C11) and C++. A host may link libtallyquill directly or load
 * it with dlopen; the TQ_PFN_* types name the exports for dlsym.
 *
 * Texts are UTF-16 (OLECHAR is char16_t) in BSTRs made by the library's
 * SysAllocString family; free what the library hands out with SysFreeString or
 * VariantClear.
 */
#ifndef TALLYQUILL_COMPONENT_H
#define TALLYQUILL_COMPONENT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
#  include <cstdint>
#else
#  include <uchar.h>
#endif

#include <dlfcn.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- Basic types ----------------------------------------------------------- */

typedef int32_t HRESULT;
typedef int32_t SCODE;
typedef int32_t DISPID;
typedef uint32_t LCID;
typedef uint32_t UINT;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef OLECHAR* LPOLESTR;

typedef struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID* REFIID;
typedef const GUID* REFCLSID;

#define TQ_HR(x) ((HRESULT)(uint32_t)(x))
#define S_OK                      TQ_HR(0x00000000u)
#define S_FALSE                   TQ_HR(0x00000001u)
#define E_NOTIMPL                 TQ_HR(0x80004001u)
#define E_NOINTERFACE             TQ_HR(0x80004002u)
#define E_POINTER                 TQ_HR(0x80004003u)
#define E_FAIL                    TQ_HR(0x80004005u)
#define E_UNEXPECTED              TQ_HR(0x8000FFFFu)
#define E_OUTOFMEMORY             TQ_HR(0x8007000Eu)
#define E_INVALIDARG              TQ_HR(0x80070057u)
#define CLASS_E_NOAGGREGATION     TQ_HR(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE TQ_HR(0x80040111u)
#define REGDB_E_CLASSNOTREG       TQ_HR(0x80040154u)
#define CO_E_CLASSSTRING          TQ_HR(0x800401F3u)
#define CO_E_DLLNOTFOUND          TQ_HR(0x800401F8u)
#define SELFREG_E_TYPELIB         TQ_HR(0x80040200u)
#define SELFREG_E_CLASS           TQ_HR(0x80040201u)
#define DISP_E_UNKNOWNINTERFACE   TQ_HR(0x80020001u)
#define DISP_E_MEMBERNOTFOUND     TQ_HR(0x80020003u)
#define DISP_E_PARAMNOTFOUND      TQ_HR(0x80020004u)
#define DISP_E_TYPEMISMATCH       TQ_HR(0x80020005u)
#define DISP_E_UNKNOWNNAME        TQ_HR(0x80020006u)
#define DISP_E_NONAMEDARGS        TQ_HR(0x80020007u)
#define DISP_E_BADVARTYPE         TQ_HR(0x80020008u)
#define DISP_E_EXCEPTION          TQ_HR(0x80020009u)
#define DISP_E_OVERFLOW           TQ_HR(0x8002000Au)
#define DISP_E_BADINDEX           TQ_HR(0x8002000Bu)
#define DISP_E_BADPARAMCOUNT      TQ_HR(0x8002000Eu)
#define DISP_E_PARAMNOTOPTIONAL   TQ_HR(0x8002000Fu)
#define SUCCEEDED(hr) ((HRESULT)(hr) >= 0)
#define FAILED(hr) ((HRESULT)(hr) < 0)
#ifndef MAKE_HRESULT
#  define SEVERITY_ERROR 1
#  define FACILITY_ITF 4
#  define MAKE_HRESULT(sev, fac, code) \
      ((HRESULT)(((uint32_t)(sev) << 31) | ((uint32_t)(fac) << 16) | (uint32_t)(code)))
#endif
/* The scode of a statement the database refused: TQ_E_DATABASE plus the
 * database's native error number when that lies in 1..0xFDFF, TQ_E_DATABASE
 * itself otherwise. Always a failure code; the description ends with
 * "(SQLSTATE xxxxx, native error n)" whatever the number. */
#define TQ_E_DATABASE MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x200)

enum {
    VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_CY = 6, VT_DATE = 7,
    VT_BSTR = 8, VT_DISPATCH = 9, VT_ERROR = 10, VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13,
    VT_UI1 = 17, VT_ARRAY = 0x2000, VT_BYREF = 0x4000
};

#define DISPATCH_METHOD         1
#define DISPATCH_PROPERTYGET    2
#define DISPATCH_PROPERTYPUT    4
#define DISPATCH_PROPERTYPUTREF 8
#define DISPID_UNKNOWN     (-1)
#define DISPID_PROPERTYPUT (-3)
#define LOCALE_USER_DEFAULT 0x0400u

typedef struct IUnknown IUnknown;
typedef struct IDispatch IDispatch;
typedef struct IClassFactory IClassFactory;
typedef struct ITypeInfo ITypeInfo; /* opaque: the library hands out no type information */

/* 24 bytes on LP64: vt, three reserved words, then an 8-byte union. */
typedef struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        int64_t llVal;
        int32_t lVal;
        uint8_t bVal;
        int16_t iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        double date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        int16_t* piVal;
        int32_t* plVal;
        BSTR* pbstrVal;
        struct VARIANT* pvarVal;
        void* byref;
        struct {
            void* pvRecord;
            void* pRecInfo;
        } brecVal;
    } u;
} VARIANT;
typedef VARIANT VARIANTARG;

typedef struct DISPPARAMS {
    VARIANTARG* rgvarg;         /* arguments, last one first */
    DISPID* rgdispidNamedArgs;  /* dispatch identifiers of the named arguments */
    UINT cArgs;
    UINT cNamedArgs;
} DISPPARAMS;

typedef struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(struct EXCEPINFO*);
    SCODE scode;
} EXCEPINFO;

/* --- Interfaces ------------------------------------------------------------ */

#define TQ_IUNKNOWN_METHODS(T)                                                  \
    HRESULT (*QueryInterface)(T* This, REFIID riid, void** ppvObject);         \
    ULONG (*AddRef)(T* This);                                                   \
    ULONG (*Release)(T* This);

#define TQ_IDISPATCH_METHODS(T)                                                 \
    TQ_IUNKNOWN_METHODS(T)                                                      \
    HRESULT (*GetTypeInfoCount)(T* This, UINT* pctinfo);                        \
    HRESULT (*GetTypeInfo)(T* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo); \
    HRESULT (*GetIDsOfNames)(T* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, \
                             DISPID* rgDispId);                                 \
    HRESULT (*Invoke)(T* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, \
                      DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, \
                      UINT* puArgErr);

typedef struct IUnknownVtbl { TQ_IUNKNOWN_METHODS(IUnknown) } IUnknownVtbl;
struct IUnknown { const IUnknownVtbl* lpVtbl; };

typedef struct IDispatchVtbl { TQ_IDISPATCH_METHODS(IDispatch) } IDispatchVtbl;
struct IDispatch { const IDispatchVtbl* lpVtbl; };

typedef struct IClassFactoryVtbl {
    TQ_IUNKNOWN_METHODS(IClassFactory)
    HRESULT (*CreateInstance)(IClassFactory* This, IUnknown* pUnkOuter, REFIID riid, void** ppvObject);
    HRESULT (*LockServer)(IClassFactory* This, BOOL fLock);
} IClassFactoryVtbl;
struct IClassFactory { const IClassFactoryVtbl* lpVtbl; };

/* The description of the last failure on this thread (see GetErrorInfo). */
typedef struct IErrorInfo IErrorInfo;
typedef struct IErrorInfoVtbl {
    TQ_IUNKNOWN_METHODS(IErrorInfo)
    HRESULT (*GetGUID)(IErrorInfo* This, GUID* pGUID);       /* the interface that failed */
    HRESULT (*GetSource)(IErrorInfo* This, BSTR* pBstrSource); /* the ProgID */
    HRESULT (*GetDescription)(IErrorInfo* This, BSTR* pBstrDescription);
    HRESULT (*GetHelpFile)(IErrorInfo* This, BSTR* pBstrHelpFile);       /* always empty */
    HRESULT (*GetHelpContext)(IErrorInfo* This, DWORD* pdwHelpContext); /* always 0 */
} IErrorInfoVtbl;
struct IErrorInfo { const IErrorInfoVtbl* lpVtbl; };

/* Both classes answer it: S_OK for their own interface's IID. */
typedef struct ISupportErrorInfo ISupportErrorInfo;
typedef struct ISupportErrorInfoVtbl {
    TQ_IUNKNOWN_METHODS(ISupportErrorInfo)
    HRESULT (*InterfaceSupportsErrorInfo)(ISupportErrorInfo* This, REFIID riid);
} ISupportErrorInfoVtbl;
struct ISupportErrorInfo { const ISupportErrorInfoVtbl* lpVtbl; };

/* The dual interface _MsgLogger. */
typedef struct IMsgLogger IMsgLogger;
typedef struct IMsgLoggerVtbl {
    TQ_IDISPATCH_METHODS(IMsgLogger)
    HRESULT (*get_AppID)(IMsgLogger* This, BSTR* value);
    HRESULT (*put_AppID)(IMsgLogger* This, BSTR value);
    HRESULT (*get_WorkstationID)(IMsgLogger* This, BSTR* value);
    HRESULT (*put_WorkstationID)(IMsgLogger* This, BSTR value);
    HRESULT (*get_DSN)(IMsgLogger* This, BSTR* value);
    HRESULT (*put_DSN)(IMsgLogger* This, BSTR value);
    HRESULT (*WriteLog)(IMsgLogger* This, BSTR UserName, BSTR EventType, BSTR LogData, int16_t* result);
    HRESULT (*CreateTable)(IMsgLogger* This);
    HRESULT (*get_LoginID)(IMsgLogger* This, BSTR* value);
    HRESULT (*put_LoginID)(IMsgLogger* This, BSTR value);
    HRESULT (*get_Password)(IMsgLogger* This, BSTR* value);
    HRESULT (*put_Password)(IMsgLogger* This, BSTR value);
} IMsgLoggerVtbl;
struct IMsgLogger { const IMsgLoggerVtbl* lpVtbl; };

/* The dual interface _LogViewer. */
typedef struct ILogViewer ILogViewer;
#define TQ_TEXT_PROPERTY(T, name)                    \
    HRESULT (*get_##name)(T* This, BSTR* value);     \
    HRESULT (*put_##name)(T* This, BSTR value);
#define TQ_SHORT_PROPERTY(T, name)                   \
    HRESULT (*get_##name)(T* This, int16_t* value);  \
    HRESULT (*put_##name)(T* This, int16_t value);
typedef struct ILogViewerVtbl {
    TQ_IDISPATCH_METHODS(ILogViewer)
    HRESULT (*ShowLog)(ILogViewer* This, int16_t* PopupStatus);
    TQ_TEXT_PROPERTY(ILogViewer, Caption)
    TQ_TEXT_PROPERTY(ILogViewer, AppID)
    TQ_TEXT_PROPERTY(ILogViewer, WorkstationID)
    TQ_TEXT_PROPERTY(ILogViewer, UserProgDesc)
    TQ_TEXT_PROPERTY(ILogViewer, EventDesc)
    TQ_TEXT_PROPERTY(ILogViewer, ActivityDesc)
    TQ_SHORT_PROPERTY(ILogViewer, AppIDVisible)
    TQ_SHORT_PROPERTY(ILogViewer, WorkstationIDVisible)
    TQ_SHORT_PROPERTY(ILogViewer, UserProgVisible)
    TQ_SHORT_PROPERTY(ILogViewer, EventVisible)
    TQ_TEXT_PROPERTY(ILogViewer, DSN)
    TQ_TEXT_PROPERTY(ILogViewer, LoginID)
    TQ_TEXT_PROPERTY(ILogViewer, Password)
} ILogViewerVtbl;
struct ILogViewer { const ILogViewerVtbl* lpVtbl; };
#undef TQ_TEXT_PROPERTY
#undef TQ_SHORT_PROPERTY

/* --- Identifiers ----------------------------------------------------------- */

static const GUID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
static const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID IID_IErrorInfo = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
static const GUID IID_ISupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

/* {72621490-EE50-4443-B058-D3ECBE82ADEF} */
static const GUID LIBID_Tallyquill = {0x72621490, 0xEE50, 0x4443, {0xB0, 0x58, 0xD3, 0xEC, 0xBE, 0x82, 0xAD, 0xEF}};
/* {9DF206C8-9FCB-427B-8CE5-D02F44AF6654}, "Tallyquill.MsgLogger" */
static const GUID CLSID_MsgLogger = {0x9DF206C8, 0x9FCB, 0x427B, {0x8C, 0xE5, 0xD0, 0x2F, 0x44, 0xAF, 0x66, 0x54}};
/* {663645FC-1419-4993-9AC2-F5CA5D6EA9C6}, the interface _MsgLogger */
static const GUID IID_IMsgLogger = {0x663645FC, 0x1419, 0x4993, {0x9A, 0xC2, 0xF5, 0xCA, 0x5D, 0x6E, 0xA9, 0xC6}};
/* {FCF80014-721D-4820-870E-70ED3D3D011E}, "Tallyquill.LogViewer" */
static const GUID CLSID_LogViewer = {0xFCF80014, 0x721D, 0x4820, {0x87, 0x0E, 0x70, 0xED, 0x3D, 0x3D, 0x01, 0x1E}};
/* {08F73B45-421C-423C-B96E-2DB1231CA4AB}, the interface _LogViewer */
static const GUID IID_ILogViewer = {0x08F73B45, 0x421C, 0x423C, {0xB9, 0x6E, 0x2D, 0xB1, 0x23, 0x1C, 0xA4, 0xAB}};

/* Dispatch identifiers of _MsgLogger. */
#define DISPID_MSGLOGGER_PASSWORD      0x68030000
#define DISPID_MSGLOGGER_LOGINID       0x68030001
#define DISPID_MSGLOGGER_DSN           0x68030002
#define DISPID_MSGLOGGER_WORKSTATIONID 0x68030003
#define DISPID_MSGLOGGER_APPID         0x68030004
#define DISPID_MSGLOGGER_WRITELOG      0x60030005
#define DISPID_MSGLOGGER_CREATETABLE   0x60030008

/* Dispatch identifiers of _LogViewer. */
#define DISPID_LOGVIEWER_PASSWORD             0x68030000
#define DISPID_LOGVIEWER_LOGINID              0x68030001
#define DISPID_LOGVIEWER_DSN                  0x68030002
#define DISPID_LOGVIEWER_EVENTVISIBLE         0x68030003
#define DISPID_LOGVIEWER_USERPROGVISIBLE      0x68030004
#define DISPID_LOGVIEWER_WORKSTATIONIDVISIBLE 0x68030005
#define DISPID_LOGVIEWER_APPIDVISIBLE         0x68030006
#define DISPID_LOGVIEWER_ACTIVITYDESC         0x68030007
#define DISPID_LOGVIEWER_EVENTDESC            0x68030008
#define DISPID_LOGVIEWER_USERPROGDESC         0x68030009
#define DISPID_LOGVIEWER_WORKSTATIONID        0x6803000a
#define DISPID_LOGVIEWER_APPID                0x6803000b
#define DISPID_LOGVIEWER_CAPTION              0x6803000c
#define DISPID_LOGVIEWER_SHOWLOG              0x6003000d

/* --- Exports of libtallyquill ---------------------------------------------- *
 * Errors. A member that fails inside (a statement the database refused, an
 * AppID that cannot name a table) answers DISP_E_EXCEPTION, through the vtable
 * and through Invoke alike.
 * - Through Invoke, the EXCEPINFO carries the failure: scode is always a
 *   failure code (TQ_E_DATABASE + native number for the database, E_INVALIDARG
 *   for a bad AppID, E_FAIL otherwise), bstrSource the ProgID and
 *   bstrDescription the reason; wCode is 0.
 * - Through the vtable, the same source and description wait in this thread's
 *   error object: call GetErrorInfo(0, &info) right after the failing call
 *   (S_FALSE and NULL when there is none), read it with GetDescription, and
 *   Release it. A member clears what an earlier call left when it starts.
 *   QueryInterface(IID_ISupportErrorInfo) tells which interfaces set it.
 * ShowLog(0) returns at once and leaves the screen to the process's Qt event
 * loop: a host without one of its own calls ShowLog(1) afterwards, which makes
 * the open screen modal and returns when the operator has closed it.
 */
#if defined(__GNUC__)
#  define TQ_COMPONENT_API __attribute__((visibility("default")))
#else
#  define TQ_COMPONENT_API
#endif

TQ_COMPONENT_API HRESULT DllGetClassObject(const GUID* rclsid, const GUID* riid, void** ppv);
TQ_COMPONENT_API HRESULT DllCanUnloadNow(void);
TQ_COMPONENT_API HRESULT DllRegisterServer(void);
TQ_COMPONENT_API HRESULT DllUnregisterServer(void);

TQ_COMPONENT_API BSTR SysAllocString(const OLECHAR* psz);
TQ_COMPONENT_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
TQ_COMPONENT_API void SysFreeString(BSTR bstr);
TQ_COMPONENT_API UINT SysStringLen(BSTR bstr);
TQ_COMPONENT_API void VariantInit(VARIANT* pvarg);
TQ_COMPONENT_API HRESULT VariantClear(VARIANT* pvarg);
TQ_COMPONENT_API HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);
TQ_COMPONENT_API HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);

typedef HRESULT (*TQ_PFN_DllGetClassObject)(const GUID*, const GUID*, void**);
typedef HRESULT (*TQ_PFN_DllCanUnloadNow)(void);
typedef HRESULT (*TQ_PFN_DllRegisterServer)(void);
typedef HRESULT (*TQ_PFN_DllUnregisterServer)(void);
typedef BSTR (*TQ_PFN_SysAllocString)(const OLECHAR*);
typedef BSTR (*TQ_PFN_SysAllocStringLen)(const OLECHAR*, UINT);
typedef void (*TQ_PFN_SysFreeString)(BSTR);
typedef UINT (*TQ_PFN_SysStringLen)(BSTR);
typedef void (*TQ_PFN_VariantInit)(VARIANT*);
typedef HRESULT (*TQ_PFN_VariantClear)(VARIANT*);
typedef HRESULT (*TQ_PFN_GetErrorInfo)(ULONG, IErrorInfo**);
typedef HRESULT (*TQ_PFN_SetErrorInfo)(ULONG, IErrorInfo*);

/* --- Host helpers ---------------------------------------------------------- */

static inline int TqIsEqualGUID(const GUID* a, const GUID* b)
{
    return memcmp(a, b, sizeof(GUID)) == 0;
}

/* Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; answers 1 on success. */
static inline int TqGuidFromString(const char* text, GUID* out)
{
    static const int groups[] = {8, 4, 4, 4, 12};
    uint8_t bytes[16];
    int n = 0;
    const char* p = text;
    if (!p || *p++ != '{')
        return 0;
    for (int g = 0; g < 5; ++g) {
        for (int i = 0; i < groups[g]; i += 2) {
            int v = 0;
            for (int k = 0; k < 2; ++k, ++p) {
                const char c = *p;
                int d = c >= '0' && c <= '9' ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                if (d < 0)
                    return 0;
                v = v * 16 + d;
            }
            bytes[n++] = (uint8_t)v;
        }
        if (*p++ != (g == 4 ? '}' : '-'))
            return 0;
    }
    if (*p != '\0')
        return 0;
    out->Data1 = (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
    out->Data2 = (uint16_t)(bytes[4] << 8 | bytes[5]);
    out->Data3 = (uint16_t)(bytes[6] << 8 | bytes[7]);
    memcpy(out->Data4, bytes + 8, 8);
    return 1;
}

/* The registry file: $TALLYQUILL_REGISTRY, else
 * $XDG_CONFIG_HOME/Tallyquill/registry.ini, else ~/.config/Tallyquill/registry.ini.
 * Answers 0 when the buffer is too small or no location is known. */
static inline int TqRegistryPath(char* buf, size_t size)
{
    const char* explicitPath = getenv("TALLYQUILL_REGISTRY");
    const char* xdg = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    int n;
    if (explicitPath && *explicitPath)
        n = snprintf(buf, size, "%s", explicitPath);
    else if (xdg && *xdg)
        n = snprintf(buf, size, "%s/Tallyquill/registry.ini", xdg);
    else if (home && *home)
        n = snprintf(buf, size, "%s/.config/Tallyquill/registry.ini", home);
    else
        return 0;
    return n > 0 && (size_t)n < size;
}

/* Looks up key in [section] of the registry file; answers 1 when found. */
static inline int TqRegistryValue(const char* section, const char* key, char* out, size_t size)
{
    char path[4096];
    char line[4096];
    int inSection = 0;
    int found = 0;
    FILE* f;
    if (!TqRegistryPath(path, sizeof path) || !(f = fopen(path, "r")))
        return 0;
    while (!found && fgets(line, sizeof line, f)) {
        size_t len = strcspn(line, "\r\n");
        line[len] = '\0';
        if (line[0] == '[') {
            inSection = len >= 2 && line[len - 1] == ']' && strlen(section) == len - 2
                        && strncmp(line + 1, section, len - 2) == 0;
        } else if (inSection) {
            const char* eq = strchr(line, '=');
            if (eq && (size_t)(eq - line) == strlen(key) && strncmp(line, key, strlen(key)) == 0
                && strlen(eq + 1) < size) {
                strcpy(out, eq + 1);
                found = 1;
            }
        }
    }
    fclose(f);
    return found;
}

/* Stores dlsym(lib, name) in the function pointer at fnAddress (copied, as
 * ISO C has no cast between object and function pointers); answers 1 when the
 * symbol exists. */
static inline int TqLoadSymbol(void* lib, const char* name, void* fnAddress)
{
    void* symbol = dlsym(lib, name);
    memcpy(fnAddress, &symbol, sizeof symbol);
    return symbol != NULL;
}

/* Creates the registered class progId and answers its IDispatch in *out.
 * REGDB_E_CLASSNOTREG or CO_E_CLASSSTRING when the registry file does not know
 * it, CO_E_DLLNOTFOUND when its library does not load. The library stays
 * loaded for the rest of the process. */
static inline HRESULT TqCreateObject(const char* progId, IDispatch** out)
{
    char section[512];
    char guid[64];
    char value[4096];
    GUID clsid;
    void* lib;
    TQ_PFN_DllGetClassObject getClassObject;
    IClassFactory* factory = NULL;
    HRESULT hr;
    if (!out)
        return E_POINTER;
    *out = NULL;
    if (!progId || snprintf(section, sizeof section, "ProgID %s", progId) >= (int)sizeof section)
        return CO_E_CLASSSTRING;
    if (!TqRegistryValue(section, "CLSID", guid, sizeof guid))
        return CO_E_CLASSSTRING;
    if (!TqGuidFromString(guid, &clsid))
        return REGDB_E_CLASSNOTREG;
    snprintf(section, sizeof section, "CLSID %s", guid);
    if (!TqRegistryValue(section, "InprocServer", value, sizeof value))
        return REGDB_E_CLASSNOTREG;
    lib = dlopen(value, RTLD_NOW);
    if (!lib)
        return CO_E_DLLNOTFOUND;
    if (!TqLoadSymbol(lib, "DllGetClassObject", &getClassObject))
        return CO_E_DLLNOTFOUND;
    hr = getClassObject(&clsid, &IID_IClassFactory, (void**)&factory);
    if (FAILED(hr))
        return hr;
    hr = factory->lpVtbl->CreateInstance(factory, NULL, &IID_IDispatch, (void**)out);
    factory->lpVtbl->Release(factory);
    return hr;
}

/* The same, answering NULL on any failure. */
static inline IDispatch* CreateObject(const char* progId)
{
    IDispatch* object = NULL;
    return SUCCEEDED(TqCreateObject(progId, &object)) ? object : NULL;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TALLYQUILL_COMPONENT_H */
