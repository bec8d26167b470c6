// The LogViewer object: its dual interface over the public C++ class.

#include "runtime/Dispatch.h"

#include "tallyquill/log_viewer.h"

namespace tallyquill::runtime {

namespace {

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

} // namespace

HRESULT CreateLogViewer(REFIID riid, void** ppv)
{
    return createAs<ViewerObj, ILogViewer>(&kViewerVtbl, "Tallyquill.LogViewer", IID_ILogViewer, riid, ppv);
}

} // namespace tallyquill::runtime
