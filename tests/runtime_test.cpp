// The component as its callers meet it: the dispatch identifiers of both
// interfaces, the errors a caller can read, and the registry file.

// component.h brings its own ULONG and BOOL, which the ODBC headers (and so
// the shared database fixture) declare differently: SQLite alone here.
#include "msgbox/MessageBox.h"
#include "tallyquill/component.h"
#include "tallyquill/embedded.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

template <class Itf>
struct Ref {
    Itf* p = nullptr;
    ~Ref()
    {
        if (p)
            p->lpVtbl->Release(p);
    }
    Itf* operator->() const { return p; }
};

struct Text {
    BSTR b;
    explicit Text(const std::u16string& s) : b(SysAllocStringLen(s.data(), UINT(s.size()))) {}
    ~Text() { SysFreeString(b); }
};

std::u16string Str(BSTR b) { return b ? std::u16string(b, SysStringLen(b)) : std::u16string(); }
std::string Utf8(BSTR b) { return QString::fromStdU16String(Str(b)).toStdString(); }

Ref<IDispatch> Create(const CLSID& clsid)
{
    Ref<IClassFactory> factory;
    EXPECT_EQ(DllGetClassObject(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&factory.p)), S_OK);
    Ref<IDispatch> object;
    EXPECT_EQ(factory->lpVtbl->CreateInstance(factory.p, nullptr, &IID_IDispatch, reinterpret_cast<void**>(&object.p)),
              S_OK);
    return object;
}

// Invoke with the arguments in their declared order.
HRESULT Call(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
             EXCEPINFO* excep = nullptr)
{
    std::reverse(args.begin(), args.end());
    DISPID put = DISPID_PROPERTYPUT;
    const bool isPut = flags & DISPATCH_PROPERTYPUT;
    DISPPARAMS params{args.data(), isPut ? &put : nullptr, UINT(args.size()), isPut ? 1u : 0u};
    VariantInit(result);
    return d->lpVtbl->Invoke(d, id, &IID_NULL, 0, flags, &params, result, excep, nullptr);
}

VARIANT Var(int16_t v)
{
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I2;
    x.u.iVal = v;
    return x;
}

VARIANT Var(BSTR b)
{
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.u.bstrVal = b;
    return x;
}

TEST(Dispatch, EveryIdentifierOfBothInterfacesAnswersItsMember)
{
    enum Kind { Text_, Short, Method };
    struct Entry {
        const CLSID* clsid;
        const char16_t* name;
        DISPID id;       // as documented
        DISPID header;   // as component.h gives it
        Kind kind;
        UINT params = 0;
    };
    const Entry table[] = {
        {&CLSID_MsgLogger, u"AppID", 0x68030004, DISPID_MSGLOGGER_APPID, Text_},
        {&CLSID_MsgLogger, u"WorkstationID", 0x68030003, DISPID_MSGLOGGER_WORKSTATIONID, Text_},
        {&CLSID_MsgLogger, u"DSN", 0x68030002, DISPID_MSGLOGGER_DSN, Text_},
        {&CLSID_MsgLogger, u"WriteLog", 0x60030005, DISPID_MSGLOGGER_WRITELOG, Method, 3},
        {&CLSID_MsgLogger, u"CreateTable", 0x60030008, DISPID_MSGLOGGER_CREATETABLE, Method, 0},
        {&CLSID_MsgLogger, u"LoginID", 0x68030001, DISPID_MSGLOGGER_LOGINID, Text_},
        {&CLSID_MsgLogger, u"Password", 0x68030000, DISPID_MSGLOGGER_PASSWORD, Text_},
        {&CLSID_LogViewer, u"ShowLog", 0x6003000d, DISPID_LOGVIEWER_SHOWLOG, Method, 1},
        {&CLSID_LogViewer, u"Caption", 0x6803000c, DISPID_LOGVIEWER_CAPTION, Text_},
        {&CLSID_LogViewer, u"AppID", 0x6803000b, DISPID_LOGVIEWER_APPID, Text_},
        {&CLSID_LogViewer, u"WorkstationID", 0x6803000a, DISPID_LOGVIEWER_WORKSTATIONID, Text_},
        {&CLSID_LogViewer, u"UserProgDesc", 0x68030009, DISPID_LOGVIEWER_USERPROGDESC, Text_},
        {&CLSID_LogViewer, u"EventDesc", 0x68030008, DISPID_LOGVIEWER_EVENTDESC, Text_},
        {&CLSID_LogViewer, u"ActivityDesc", 0x68030007, DISPID_LOGVIEWER_ACTIVITYDESC, Text_},
        {&CLSID_LogViewer, u"AppIDVisible", 0x68030006, DISPID_LOGVIEWER_APPIDVISIBLE, Short},
        {&CLSID_LogViewer, u"WorkstationIDVisible", 0x68030005, DISPID_LOGVIEWER_WORKSTATIONIDVISIBLE, Short},
        {&CLSID_LogViewer, u"UserProgVisible", 0x68030004, DISPID_LOGVIEWER_USERPROGVISIBLE, Short},
        {&CLSID_LogViewer, u"EventVisible", 0x68030003, DISPID_LOGVIEWER_EVENTVISIBLE, Short},
        {&CLSID_LogViewer, u"DSN", 0x68030002, DISPID_LOGVIEWER_DSN, Text_},
        {&CLSID_LogViewer, u"LoginID", 0x68030001, DISPID_LOGVIEWER_LOGINID, Text_},
        {&CLSID_LogViewer, u"Password", 0x68030000, DISPID_LOGVIEWER_PASSWORD, Text_},
    };
    Ref<IDispatch> logger = Create(CLSID_MsgLogger), viewer = Create(CLSID_LogViewer);
    for (const Entry& e : table) {
        const std::string name = QString::fromUtf16(e.name).toStdString();
        SCOPED_TRACE(name);
        IDispatch* obj = e.clsid == &CLSID_MsgLogger ? logger.p : viewer.p;
        EXPECT_EQ(e.header, e.id);
        std::u16string n(e.name);
        LPOLESTR names[] = {n.data()};
        DISPID id = 0;
        ASSERT_EQ(obj->lpVtbl->GetIDsOfNames(obj, &IID_NULL, names, 1, 0, &id), S_OK);
        EXPECT_EQ(id, e.id);

        VARIANT got;
        if (e.kind == Method) {
            // A method: no property to read, and its own number of arguments.
            EXPECT_EQ(Call(obj, e.id, DISPATCH_PROPERTYGET, {}, &got), DISP_E_MEMBERNOTFOUND);
            std::vector<VARIANT> tooMany(e.params + 1, Var(int16_t(0)));
            EXPECT_EQ(Call(obj, e.id, DISPATCH_METHOD, tooMany, &got), DISP_E_BADPARAMCOUNT);
            continue;
        }
        Text value(u"X1");
        const VARIANT in = e.kind == Short ? Var(int16_t(5)) : Var(value.b);
        ASSERT_EQ(Call(obj, e.id, DISPATCH_PROPERTYPUT, {in}, &got), S_OK);
        ASSERT_EQ(Call(obj, e.id, DISPATCH_PROPERTYGET, {}, &got), S_OK);
        if (e.kind == Short) {
            EXPECT_EQ(got.vt, VT_I2);
            EXPECT_EQ(got.u.iVal, 5);
        } else {
            EXPECT_EQ(got.vt, VT_BSTR);
            EXPECT_EQ(Str(got.u.bstrVal), u"X1");
        }
        VariantClear(&got);
    }
}

TEST(Dispatch, CreateTableReportsNothingWithoutATableName)
{
    tallyquill::MessageRecorder messages;
    for (const char16_t* appId : {u"", u"x; DROP", u"ORDERS"}) {
        SCOPED_TRACE(QString::fromUtf16(appId).toStdString());
        Ref<IDispatch> logger = Create(CLSID_MsgLogger);
        Text app(appId);
        VARIANT r;
        if (*appId) {
            ASSERT_EQ(Call(logger.p, DISPID_MSGLOGGER_APPID, DISPATCH_PROPERTYPUT, {Var(app.b)}, &r), S_OK);
        }
        EXCEPINFO excep{};
        EXPECT_EQ(Call(logger.p, DISPID_MSGLOGGER_CREATETABLE, DISPATCH_METHOD, {}, &r, &excep), S_OK);
        Ref<IMsgLogger> direct;
        ASSERT_EQ(logger->lpVtbl->QueryInterface(logger.p, &IID_IMsgLogger, reinterpret_cast<void**>(&direct.p)),
                  S_OK);
        EXPECT_EQ(direct->lpVtbl->CreateTable(direct.p), S_OK);
    }
    EXPECT_TRUE(messages.messages().empty());
}

// A failure reaches the caller with a failure code and its reason, through
// Invoke's EXCEPINFO and, for a vtable caller, through GetErrorInfo.
TEST(ComponentErrors, CarryAFailureCodeAndTheirReasonToEitherCaller)
{
    tallyquill::MessageRecorder messages;
    QTemporaryDir dir;
    const std::string dsn = "tqruntime_" + std::to_string(getpid());
    tallyquill::SetupEmbeddedDefault(dsn, (dir.path() + "/log.sqlite").toStdString());
    Ref<IDispatch> logger = Create(CLSID_MsgLogger);
    Ref<IMsgLogger> direct;
    ASSERT_EQ(logger->lpVtbl->QueryInterface(logger.p, &IID_IMsgLogger, reinterpret_cast<void**>(&direct.p)), S_OK);
    const std::u16string app = u"ORDERS";
    Text dsnText(QString::fromStdString(dsn).toStdU16String()), appText(app), ws(u"WS01"), user(u"u"), data(u"d");
    ASSERT_EQ(direct->lpVtbl->put_DSN(direct.p, dsnText.b), S_OK);
    ASSERT_EQ(direct->lpVtbl->put_AppID(direct.p, appText.b), S_OK);
    ASSERT_EQ(direct->lpVtbl->put_WorkstationID(direct.p, ws.b), S_OK);
    int16_t answer = -1;
    ASSERT_EQ(direct->lpVtbl->WriteLog(direct.p, user.b, user.b, data.b, &answer), S_OK);  // creates the table

    struct Failure {
        const char* what;
        std::u16string appId;
        std::u16string user;
        std::function<bool(SCODE)> expectedCode;
        QString reason;
    };
    const Failure failures[] = {
        // Refused as the database refuses a value longer than its column.
        {"over-long user", app, u"U234567890123456",
         [](SCODE s) { return s >= TQ_E_DATABASE && s < TQ_E_DATABASE + 0xFE00; }, QStringLiteral("22001")},
        {"invalid AppID", u"x; DROP", u"u", [](SCODE s) { return s == E_INVALIDARG; }, QStringLiteral("Invalid AppID")},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.what);
        Text appId(f.appId), fuser(f.user);
        ASSERT_EQ(direct->lpVtbl->put_AppID(direct.p, appId.b), S_OK);

        VARIANT r;
        EXCEPINFO excep{};
        ASSERT_EQ(Call(logger.p, DISPID_MSGLOGGER_WRITELOG, DISPATCH_METHOD, {Var(fuser.b), Var(user.b), Var(data.b)},
                       &r, &excep),
                  DISP_E_EXCEPTION);
        EXPECT_TRUE(FAILED(excep.scode)) << std::hex << excep.scode;
        EXPECT_TRUE(f.expectedCode(excep.scode)) << std::hex << excep.scode;
        EXPECT_EQ(excep.wCode, 0);
        const QString described = QString::fromStdString(Utf8(excep.bstrDescription));
        EXPECT_TRUE(described.contains(f.reason, Qt::CaseInsensitive)) << described.toStdString();
        EXPECT_EQ(Utf8(excep.bstrSource), "Tallyquill.MsgLogger");
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);

        ASSERT_EQ(direct->lpVtbl->WriteLog(direct.p, fuser.b, user.b, data.b, &answer), DISP_E_EXCEPTION);
        Ref<IErrorInfo> info;
        ASSERT_EQ(GetErrorInfo(0, &info.p), S_OK);
        BSTR text = nullptr;
        ASSERT_EQ(info->lpVtbl->GetDescription(info.p, &text), S_OK);
        EXPECT_EQ(QString::fromStdString(Utf8(text)), described);
        SysFreeString(text);
        GUID guid{};
        ASSERT_EQ(info->lpVtbl->GetGUID(info.p, &guid), S_OK);
        EXPECT_TRUE(TqIsEqualGUID(&guid, &IID_IMsgLogger));
        IErrorInfo* again = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);  // fetched once

        // A later call that succeeds leaves no stale reason behind.
        ASSERT_EQ(direct->lpVtbl->WriteLog(direct.p, fuser.b, user.b, data.b, &answer), DISP_E_EXCEPTION);
        ASSERT_EQ(direct->lpVtbl->put_AppID(direct.p, appText.b), S_OK);
        EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);
    }
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(logger->lpVtbl->QueryInterface(logger.p, &IID_ISupportErrorInfo, reinterpret_cast<void**>(&support.p)),
              S_OK);
    EXPECT_EQ(support->lpVtbl->InterfaceSupportsErrorInfo(support.p, &IID_IMsgLogger), S_OK);
    EXPECT_EQ(support->lpVtbl->InterfaceSupportsErrorInfo(support.p, &IID_ILogViewer), S_FALSE);
    EXPECT_TRUE(messages.messages().empty());
}

// Threads failing on one object each read back their own reason, and a
// viewer used off the screens' thread fails with why.
TEST(ComponentErrors, ReachEachThreadWithItsOwnReason)
{
    tallyquill::MessageRecorder messages;
    Ref<IDispatch> logger = Create(CLSID_MsgLogger);
    Ref<IMsgLogger> direct;
    ASSERT_EQ(logger->lpVtbl->QueryInterface(logger.p, &IID_IMsgLogger, reinterpret_cast<void**>(&direct.p)), S_OK);
    Text badApp(u"x; DROP"), loneSurrogate(std::u16string(1, char16_t(0xD800))), user(u"u");
    ASSERT_EQ(direct->lpVtbl->put_AppID(direct.p, badApp.b), S_OK);
    QTemporaryDir dir;
    const std::string source = "tqthreads_" + std::to_string(getpid());
    tallyquill::SetupEmbeddedDefault(source, (dir.path() + "/log.sqlite").toStdString());
    Text dsn(QString::fromStdString(source).toStdU16String()), ws(u"WS01");
    ASSERT_EQ(direct->lpVtbl->put_DSN(direct.p, dsn.b), S_OK);
    ASSERT_EQ(direct->lpVtbl->put_WorkstationID(direct.p, ws.b), S_OK);
    Ref<IDispatch> viewerObject = Create(CLSID_LogViewer);
    Ref<ILogViewer> viewer;
    ASSERT_EQ(viewerObject->lpVtbl->QueryInterface(viewerObject.p, &IID_ILogViewer, reinterpret_cast<void**>(&viewer.p)),
              S_OK);

    // Each call answers the reason it was given, or why it gave none.
    auto viaInvoke = [&](DISPID id, WORD flags, std::vector<VARIANT> args) {
        VARIANT r;
        EXCEPINFO excep{};
        if (Call(logger.p, id, flags, std::move(args), &r, &excep) != DISP_E_EXCEPTION)
            return std::string("no failure");
        std::string reason = Utf8(excep.bstrDescription);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        return reason;
    };
    struct Case {
        const char* what;
        std::function<std::string()> call;
        std::string reason;  // empty: as the call answers on the main thread
    };
    Case cases[] = {
        {"bad text", [&] { return viaInvoke(DISPID_MSGLOGGER_DSN, DISPATCH_PROPERTYPUT, {Var(loneSurrogate.b)}); }, {}},
        {"bad AppID",
         [&] { return viaInvoke(DISPID_MSGLOGGER_WRITELOG, DISPATCH_METHOD, {Var(user.b), Var(user.b), Var(user.b)}); },
         {}},
        {"viewer off the screens' thread",
         [&] {
             int16_t modal = 0;
             const HRESULT hr = viewer->lpVtbl->ShowLog(viewer.p, &modal);
             Ref<IErrorInfo> info;
             BSTR text = nullptr;
             if (!FAILED(hr) || GetErrorInfo(0, &info.p) != S_OK || info->lpVtbl->GetDescription(info.p, &text) != S_OK)
                 return std::string("no failure");
             std::string reason = Utf8(text);
             SysFreeString(text);
             return reason;
         },
         "The log viewer must be used on the thread that runs the application's screens"},
    };
    for (Case& c : cases)
        if (c.reason.empty())
            c.reason = c.call();
    ASSERT_NE(cases[1].reason, "no failure");
    ASSERT_NE(cases[0].reason, cases[1].reason);
    std::vector<std::thread> threads;
    std::vector<std::string> wrong(std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 2000 && wrong[i].empty(); ++n)
                if (std::string got = cases[i].call(); got != cases[i].reason)
                    wrong[i] = got;
        });
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(wrong[i], "") << cases[i].what << " expected " << cases[i].reason;
    EXPECT_TRUE(messages.messages().empty()) << messages.texts().join(u'|').toStdString();
}

// Runs a registration, as an unprivileged user when asked and the test runs
// as root, who can read any file.
HRESULT RunAs(HRESULT (*step)(), bool unprivileged)
{
    if (!unprivileged || geteuid() != 0)
        return step();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const HRESULT hr = step();
        _exit(hr == S_OK ? 0 : hr == SELFREG_E_CLASS ? 1 : 2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return code == 0 ? S_OK : code == 1 ? SELFREG_E_CLASS : E_FAIL;
}

QByteArray Read(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void Write(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

mode_t Mode(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(Registry, OtherServersEntriesSurviveEveryWayOfWritingTheFile)
{
    const QByteArray others = "; kept\n[ProgID Other.Thing]\nCLSID={00000000-0000-0000-0000-000000000001}\n";
    struct Case {
        const char* what;
        std::function<void(const QString& dir, const QString& reg)> prepare;
        HRESULT expected;
        std::function<void(const QString& dir, const QString& reg)> check;
        bool unprivileged = false;
    };
    const Case cases[] = {
        {"a new file is private to the user",
         [](const QString&, const QString&) {}, S_OK,
         [](const QString& dir, const QString& reg) {
             EXPECT_EQ(Mode(reg), 0600u);
             EXPECT_EQ(Mode(dir + "/cfg"), 0700u);
             EXPECT_TRUE(Read(reg).contains("[ProgID Tallyquill.LogViewer]"));
         }},
        {"an unreadable file is left alone",
         [&](const QString& dir, const QString& reg) {
             Write(reg, others);
             ::chmod(QFile::encodeName(dir).constData(), 0777);
             ::chmod(QFile::encodeName(dir + "/cfg").constData(), 0777);
             ::chmod(QFile::encodeName(reg).constData(), 0);
         },
         SELFREG_E_CLASS,
         [&](const QString&, const QString& reg) {
             ::chmod(QFile::encodeName(reg).constData(), 0600);
             EXPECT_EQ(Read(reg), others);
         },
         true},
        {"a symbolic link is written through",
         [&](const QString& dir, const QString& reg) {
             Write(dir + "/real/registry.ini", others);
             QDir().mkpath(dir + "/cfg");
             ASSERT_EQ(::symlink("../real/registry.ini", QFile::encodeName(reg).constData()), 0);
         },
         S_OK,
         [&](const QString& dir, const QString& reg) {
             EXPECT_TRUE(QFileInfo(reg).isSymLink());
             const QByteArray real = Read(dir + "/real/registry.ini");
             EXPECT_TRUE(real.startsWith(others) && real.contains("[ProgID Tallyquill.MsgLogger]")) << real.data();
         }},
        {"an existing file is replaced whole and keeps its mode",
         [&](const QString&, const QString& reg) {
             Write(reg, others);
             ::chmod(QFile::encodeName(reg).constData(), 0640);
         },
         S_OK,
         [&](const QString& dir, const QString& reg) {
             EXPECT_EQ(Mode(reg), 0640u);
             EXPECT_TRUE(Read(reg).startsWith(others));
             EXPECT_EQ(QDir(dir + "/cfg").entryList(QDir::Files | QDir::Hidden), QStringList({"registry.ini"}));
         }},
    };
    const QByteArray saved = qgetenv("TALLYQUILL_REGISTRY");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir tmp;
        const QString dir = tmp.path(), reg = dir + "/cfg/registry.ini";
        qputenv("TALLYQUILL_REGISTRY", QFile::encodeName(reg));
        c.prepare(dir, reg);
        const bool link = QFileInfo(reg).isSymLink();
        EXPECT_EQ(RunAs(DllRegisterServer, c.unprivileged), c.expected);
        EXPECT_EQ(RunAs(DllUnregisterServer, c.unprivileged), c.expected);
        if (c.expected == S_OK) {
            EXPECT_FALSE(Read(reg).contains("Tallyquill"));
            EXPECT_EQ(QFileInfo(reg).isSymLink(), link);
            EXPECT_EQ(RunAs(DllRegisterServer, c.unprivileged), S_OK);
        }
        c.check(dir, reg);
    }
    qputenv("TALLYQUILL_REGISTRY", saved);
}

} // namespace
