/* Writes one log line through the component: registers the library for this
 * user, creates Tallyquill.MsgLogger by ProgID and calls WriteLog.
 *
 *   component_host [DSN]
 *
 * Without a DSN the logger says "No DSN provided" and answers 1. */

#include <tallyquill/component.h>

#include <stdio.h>

static DISPID dispidOf(IDispatch* obj, const char16_t* name)
{
    LPOLESTR names[1] = {(LPOLESTR)name};
    DISPID id = DISPID_UNKNOWN;
    obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

static HRESULT setText(IDispatch* obj, const char16_t* name, const char* value)
{
    /* ASCII only here; a host with other text converts it to UTF-16 first. */
    char16_t wide[256] = {0};
    for (size_t i = 0; value[i] && i < 255; ++i)
        wide[i] = (unsigned char)value[i];
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.u.bstrVal = SysAllocString(wide);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&arg, &named, 1, 1};
    HRESULT hr = obj->lpVtbl->Invoke(obj, dispidOf(obj, name), &IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT,
                                     &params, NULL, NULL, NULL);
    VariantClear(&arg);
    return hr;
}

int main(int argc, char** argv)
{
    HRESULT hr = DllRegisterServer();
    if (FAILED(hr)) {
        fprintf(stderr, "registration failed: 0x%08X\n", (unsigned)hr);
        return 2;
    }
    IDispatch* logger = CreateObject("Tallyquill.MsgLogger");
    if (!logger) {
        fprintf(stderr, "Tallyquill.MsgLogger is not registered\n");
        return 2;
    }
    setText(logger, u"AppID", "example");
    setText(logger, u"WorkstationID", "ws01");
    setText(logger, u"DSN", argc > 1 ? argv[1] : "");

    /* WriteLog(UserName, EventType, LogData): arguments last one first. */
    VARIANT args[3], result;
    const char16_t* texts[3] = {u"Example host started", u"start", u"example"};
    for (int i = 0; i < 3; ++i) {
        VariantInit(&args[i]);
        args[i].vt = VT_BSTR;
        args[i].u.bstrVal = SysAllocString(texts[i]);
    }
    VariantInit(&result);
    EXCEPINFO excep = {0};
    DISPPARAMS params = {args, NULL, 3, 0};
    hr = logger->lpVtbl->Invoke(logger, dispidOf(logger, u"WriteLog"), &IID_NULL, LOCALE_USER_DEFAULT,
                                DISPATCH_METHOD, &params, &result, &excep, NULL);
    int status;
    if (hr == DISP_E_EXCEPTION) {
        fprintf(stderr, "the line was refused (0x%08X)\n", (unsigned)excep.scode);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        status = 2;
    } else if (FAILED(hr)) {
        fprintf(stderr, "WriteLog failed: 0x%08X\n", (unsigned)hr);
        status = 2;
    } else {
        printf("WriteLog answered %d\n", result.u.iVal);
        status = 0;
    }
    for (int i = 0; i < 3; ++i)
        VariantClear(&args[i]);
    VariantClear(&result);
    logger->lpVtbl->Release(logger);
    return status;
}
