// The MsgLogger object: its dual interface over the public C++ class.

#include "runtime/Dispatch.h"

#include "tallyquill/msg_logger.h"

namespace tallyquill::runtime {

namespace {

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

} // namespace

HRESULT CreateMsgLogger(REFIID riid, void** ppv)
{
    return createAs<LoggerObj, IMsgLogger>(&kLoggerVtbl, "Tallyquill.MsgLogger", IID_IMsgLogger, riid, ppv);
}

} // namespace tallyquill::runtime
