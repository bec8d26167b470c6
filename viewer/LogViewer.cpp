#include "viewer/LogViewerImpl.h"

#include "writer/Constant.h"
#include "writer/LogConnection.h"
#include "writer/Global.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "writer/TextFiles.h"
#include "localize/clsLocalize.h"
#include "screens/frmArchive.h"
#include "screens/frmLogMain.h"
#include "screens/frmPrint.h"

#include <QApplication>

namespace tallyquill {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s8(const QString& s) { return s.toStdString(); }

const QString kRecordColumns =
    QStringLiteral("log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data ");

void retrieveFailureReport(int32_t number, const QString& description)
{
    ShowMessage(Tr(855, QStringLiteral("Error in retrieve record: ")) + QString::number(number) + QStringLiteral(", ")
                    + description,
                Tr(sid::Error, QStringLiteral("Erorr")), MsgIcon::None);
}

} // namespace

QString BuildCondition(const QString& StartDate, const QString& EndDate, const QString& StartTime,
                       const QString& Endtime, const QString& WsID, const QString& UserName,
                       const QString& EventType, const QString& Activity)
{
    QString c = QStringLiteral("WHERE   log_Date BETWEEN ") + SqlLiteral(StartDate) + QStringLiteral(" AND ")
                + SqlLiteral(EndDate);
    if (!StartTime.isEmpty())
        c += QStringLiteral(" AND log_Time BETWEEN ") + SqlLiteral(StartTime) + QStringLiteral(" AND ")
             + SqlLiteral(Endtime);
    if (!WsID.isEmpty())
        c += QStringLiteral(" AND log_WsID = ") + SqlLiteral(WsID);
    if (!UserName.isEmpty())
        c += QStringLiteral(" AND log_User = ") + SqlLiteral(UserName);
    if (!EventType.isEmpty())
        c += QStringLiteral(" AND log_EventType = ") + SqlLiteral(EventType);
    // "Contains": the operator's own % and _ still act as wildcards.
    if (!Activity.isEmpty())
        c += QStringLiteral(" AND log_Data LIKE ")
             + SqlLiteral(QLatin1Char('%') + Activity + QLatin1Char('%'));
    return c;
}

// --- LogViewer: properties -------------------------------------------------

LogViewer::LogViewer() : d(std::make_unique<Impl>())
{
    // A new viewer reads the language setting afresh.
    ReplaceLocalizer();
}

LogViewer::~LogViewer() = default;

std::string LogViewer::Caption() const { return s8(d->caption); }
void LogViewer::setCaption(const std::string& v) { d->caption = q(v); }
std::string LogViewer::AppID() const { return s8(d->appId); }
void LogViewer::setAppID(const std::string& v) { d->appId = q(v); }
std::string LogViewer::WorkstationID() const { return s8(d->wsId); }
void LogViewer::setWorkstationID(const std::string& v) { d->wsId = q(v); }
std::string LogViewer::UserProgDesc() const { return s8(d->userDesc); }
void LogViewer::setUserProgDesc(const std::string& v) { d->userDesc = q(v); }
std::string LogViewer::EventDesc() const { return s8(d->eventDesc); }
void LogViewer::setEventDesc(const std::string& v) { d->eventDesc = q(v); }
std::string LogViewer::ActivityDesc() const { return s8(d->activityDesc); }
void LogViewer::setActivityDesc(const std::string& v) { d->activityDesc = q(v); }
int16_t LogViewer::AppIDVisible() const { return d->appIdVisible; }
void LogViewer::setAppIDVisible(int16_t v) { d->appIdVisible = v; }
int16_t LogViewer::WorkstationIDVisible() const { return d->wsIdVisible; }
void LogViewer::setWorkstationIDVisible(int16_t v) { d->wsIdVisible = v; }
int16_t LogViewer::UserProgVisible() const { return d->userVisible; }
void LogViewer::setUserProgVisible(int16_t v) { d->userVisible = v; }
int16_t LogViewer::EventVisible() const { return d->eventVisible; }
void LogViewer::setEventVisible(int16_t v) { d->eventVisible = v; }
std::string LogViewer::DSN() const { return s8(d->dsn); }
void LogViewer::setDSN(const std::string& v) { d->dsn = q(v); }
std::string LogViewer::LoginID() const { return s8(d->login); }
void LogViewer::setLoginID(const std::string& v) { d->login = q(v); }
std::string LogViewer::Password() const { return s8(d->password); }
void LogViewer::setPassword(const std::string& v) { d->password = q(v); }

namespace {

// A host without a GUI of its own gets one, kept for the life of the process.
bool EnsureGuiApplication()
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        return true;
    if (QCoreApplication::instance())
        return false;  // a console application object: no widgets can live beside it
    static int argc = 1;
    static char name[] = "tallyquill";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return app != nullptr;
}

} // namespace

void LogViewer::ShowLog(int16_t PopupStatus)
{
    if (!EnsureGuiApplication()) {
        ShowMessage(QStringLiteral("The log viewer needs a graphical application"),
                    Tr(sid::Error, QStringLiteral("Error")), MsgIcon::Warning);
        return;
    }
    // An earlier screen, open or closed, gives way to a fresh one.
    d->mLogViewDlg = std::make_unique<frmLogMain>();
    frmLogMain& screen = *d->mLogViewDlg;
    screen.listener = d.get();
    screen.load();
    if (d->afterScreenLoad)
        d->afterScreenLoad(screen);
    if (PopupStatus == 0) {
        screen.show();
        return;
    }
    screen.exec();
}

// --- Service -----------------------------------------------------------------

LogViewer::Impl::Impl() = default;

LogViewer::Impl::~Impl()
{
    mArchiveDlg.reset();
    mPrintDlg.reset();
    mLogViewDlg.reset();
    current.reset();  // before the connection it reads from
}


void LogViewer::Impl::forgetIfLost(bool lost)
{
    if (lost || (link.connected() && link.get().isDead())) {
        current.reset();
        link.ForgetIfLost(true);
    }
}

QString LogViewer::Impl::tableFor(const QString& appIdParam) const
{
    const QString app = appIdParam.isEmpty() ? appId : appIdParam;
    if (!IsValidAppId(app))
        throw InvalidAppIdError(s8(app));
    return TableName(app);
}

bool LogViewer::Impl::pageFetch(int32_t& count, PageBuffer& out)
{
    if (!current)
        return false;
    try {
        count = 1;
        while (!current->eof() && count <= 10) {
            if (count >= out.OutputDate.size() || count >= out.OutputTime.size() || count >= out.OutputAppID.size()
                || count >= out.OutputWsID.size() || count >= out.OutputUserName.size()
                || count >= out.OutputEventType.size() || count >= out.OutputActivity.size())
                return false;
            out.OutputDate[count] = current->text(QStringLiteral("log_Date"));
            out.OutputTime[count] = current->text(QStringLiteral("log_Time"));
            out.OutputAppID[count] = current->text(QStringLiteral("log_AppID"));
            out.OutputWsID[count] = current->text(QStringLiteral("log_WsID"));
            out.OutputUserName[count] = current->text(QStringLiteral("log_User"));
            out.OutputEventType[count] = current->text(QStringLiteral("log_EventType"));
            out.OutputActivity[count] = current->text(QStringLiteral("log_Data"));
            ++count;
            current->next();
        }
        --count;
        if (current->eof())
            current.reset();
        return true;
    } catch (const DatabaseError& e) {
        forgetIfLost(e.connectionLost());
        return false;
    }
}

void LogViewer::Impl::InitScreen(QString& Caption, QString& UserDesc, QString& EventDesc, QString& ActivityDesc,
                                 int16_t& AppIDVisible, int16_t& WsIDVisible, int16_t& UserVisible,
                                 int16_t& EventVisible)
{
    Caption = caption;
    UserDesc = userDesc;
    EventDesc = eventDesc;
    ActivityDesc = activityDesc;
    AppIDVisible = appIdVisible;
    WsIDVisible = wsIdVisible;
    UserVisible = userVisible;
    EventVisible = eventVisible;
}

void LogViewer::Impl::RetrieveLog(int16_t& Result, int32_t& TotalRecord, int32_t& DownloadRecord,
                                  const QString& StartDate, const QString& EndDate, const QString& StartTime,
                                  const QString& Endtime, const QString& AppID, const QString& WsID,
                                  const QString& UserName, const QString& EventType, const QString& Activity,
                                  PageBuffer& Output)
{
    Result = kTrue;
    if (connectionCheck() == 1) {
        retrieveFailureReport(0, LastOpenFailure());
        Result = kFalse;
        return;
    }
    QString table, condition;
    try {
        table = tableFor(AppID);
        condition = BuildCondition(StartDate, EndDate, StartTime, Endtime, WsID, UserName, EventType, Activity);
    } catch (const Error& e) {
        retrieveFailureReport(0, QString::fromStdString(e.what()));
        Result = kFalse;
        return;
    }

    // A failed count (a missing table, say) counts as nothing found; but a
    // connection that died is a failure, and is dropped so that the next
    // retrieval opens a new one. Either way no earlier result set stays open.
    current.reset();
    try {
        current = link.get().query(QStringLiteral("SELECT  count(*) FROM ") + table + QLatin1Char(' ') + condition);
        TotalRecord = current->integer(0);
    } catch (const DatabaseError& e) {
        if (e.connectionLost() || link.get().isDead()) {
            forgetIfLost(true);
            retrieveFailureReport(e.number(), QString::fromStdString(e.description()));
            Result = kFalse;
            return;
        }
    }
    current.reset();
    if (TotalRecord == 0)
        return;

    try {
        current = link.get().query(QStringLiteral("SELECT  ") + kRecordColumns + QStringLiteral("FROM ") + table
                              + QLatin1Char(' ') + condition + QStringLiteral(" ORDER BY log_Date, log_Time"));
    } catch (const DatabaseError& e) {
        forgetIfLost(e.connectionLost());
        retrieveFailureReport(e.number(), FailureText(e));
        Result = kFalse;
        return;
    }
    if (!pageFetch(DownloadRecord, Output)) {
        retrieveFailureReport(0, QString());
        Result = kFalse;
    }
}

void LogViewer::Impl::MoreLog(int16_t& Result, int32_t& DownloadRecord, PageBuffer& Output)
{
    Result = pageFetch(DownloadRecord, Output) ? kTrue : kFalse;
}

void LogViewer::Impl::MoreLogForPrint(int16_t FileNo, int32_t TotalRecord, int32_t DownloadRecord)
{
    if (!current)
        return;  // read to its end: nothing is left to feed
    const int32_t mark = current->position();
    // The screen's paging goes on from where it was, also after a failure.
    struct Restore {
        odbc::ResultSet* rs;
        int32_t mark;
        ~Restore()
        {
            try {
                rs->setPosition(mark);
            } catch (const std::exception&) {
            }
        }
    } restore{current.get(), mark};
    odbc::ResultSet& rs = *current;
    const int cDate = rs.column(QStringLiteral("log_Date")), cTime = rs.column(QStringLiteral("log_Time")),
              cApp = rs.column(QStringLiteral("log_AppID")), cWs = rs.column(QStringLiteral("log_WsID")),
              cUser = rs.column(QStringLiteral("log_User")), cEvent = rs.column(QStringLiteral("log_EventType")),
              cData = rs.column(QStringLiteral("log_Data"));
    for (int32_t counter = DownloadRecord; !rs.eof() && counter < TotalRecord; ++counter) {
        const QString line = BuildLogLine(DisplayDate(rs.text(cDate)), DisplayTime(rs.text(cTime)), rs.text(cApp),
                                          rs.text(cWs), rs.text(cUser), rs.text(cEvent), rs.text(cData));
        PrintLine(FileNo, line);
        rs.next();
    }
}

void LogViewer::Impl::InitArchiveScreen(int16_t& AppIDVisible)
{
    // In the dialog the flag means "show the application field".
    AppIDVisible = appIdVisible == 0 ? kTrue : kFalse;
}

void LogViewer::Impl::PopUpArchiveDlg()
{
    mArchiveDlg = std::make_unique<frmArchive>();
    mArchiveDlg->listener = this;
    mArchiveDlg->exec();
}

void LogViewer::Impl::PopUpPrintDlg()
{
    mPrintDlg = std::make_unique<frmPrint>();
    mPrintDlg->listener = this;
    mPrintDlg->exec();
}

} // namespace tallyquill
