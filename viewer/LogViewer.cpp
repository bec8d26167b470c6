#include "tallyquill/log_viewer.h"

#include "core/Error.h"
#include "core/RecordCheck.h"
#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "screens/frmArchive.h"
#include "screens/frmLogMain.h"
#include "screens/frmPrint.h"
#include "viewer/ViewerAdapter.h"

#include <QApplication>
#include <QEventLoop>
#include <QThread>

namespace tallyquill {

// --- The adapter -------------------------------------------------------------

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

// An open screen keeps the operator's work: it comes to the front, and for a
// modal request it becomes modal and is waited for.
void BringToFront(QDialog& screen, bool modal)
{
    screen.raise();
    screen.activateWindow();
    if (!modal)
        return;
    if (screen.isModal()) {  // already in its modal loop: wait for it to end
        QEventLoop wait;
        QObject::connect(&screen, &QDialog::finished, &wait, &QEventLoop::quit);
        QObject::connect(&screen, &QObject::destroyed, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::DialogExec);
        return;
    }
    // Modality takes effect when a window is shown; hiding does not unload.
    screen.hide();
    screen.exec();
}

} // namespace

ViewerAdapter::ViewerAdapter()
{
    // A new viewer reads the language setting afresh.
    ReplaceLocalizer();
    service.onCounted = [this](const CountOutcome& outcome) {
        QMetaObject::invokeMethod(&countContext_, [this, outcome] { CountEnded(outcome); }, Qt::QueuedConnection);
    };
}

ViewerAdapter::~ViewerAdapter()
{
    mArchiveDlg.reset();
    mPrintDlg.reset();
    mLogViewDlg.reset();
}

LineLayout ViewerAdapter::layout() const
{
    return {appIdVisible != 0, wsIdVisible != 0, userVisible != 0, eventVisible != 0,
            userDesc,          eventDesc,        activityDesc};
}

LineLayout ViewerAdapter::columns() const { return mLogViewDlg ? shown_ : layout(); }

bool ViewerAdapter::showLog(bool modal)
{
    if (!EnsureGuiApplication()) {
        ShowMessage(Tr(sid::NeedsDisplay, QStringLiteral("The log viewer needs a graphical application")),
                    Tr(sid::Error, QStringLiteral("Error")), MsgIcon::Warning);
        return false;
    }
    if (mLogViewDlg && mLogViewDlg->isLoaded() && mLogViewDlg->isVisible()) {
        BringToFront(*mLogViewDlg, modal);
        return true;
    }
    // Only a closed screen gives way to a fresh one.
    mLogViewDlg = std::make_unique<frmLogMain>();
    frmLogMain& screen = *mLogViewDlg;
    screen.listener = this;
    // Nobody reads the count of a closed screen.
    QObject::connect(&screen, &QDialog::finished, &countContext_, [this] { service.cancelCount(); });
    screen.load();
    if (modal)
        screen.exec();
    else
        screen.show();
    return true;
}

ScreenSetup ViewerAdapter::InitScreen()
{
    // The dialogs follow what the open screen shows until it opens again.
    shown_ = layout();
    return {caption, shown_, firstStartDate, firstEndDate, fillAppID ? service.source.appId : QString()};
}

void ViewerAdapter::PopUpArchiveDlg()
{
    mArchiveDlg = std::make_unique<frmArchive>();
    mArchiveDlg->listener = this;
    mArchiveDlg->exec();
}

void ViewerAdapter::PopUpPrintDlg()
{
    mPrintDlg = std::make_unique<frmPrint>();
    mPrintDlg->listener = this;
    mPrintDlg->layout = columns();
    if (mLogViewDlg)
        mPrintDlg->records = &mLogViewDlg->pager();
    mPrintDlg->exec();
}

// The operator's report of a failed retrieval, its only box; the screen
// shows its own only for a failure not reported here.
Retrieval ViewerAdapter::RetrieveLog(const LogFilter& filter)
{
    Retrieval r = service.retrieve(filter);
    if (r.ok)
        return r;
    if (r.noDsn) {
        ShowError(sid::NoDsn, QStringLiteral("No DSN provided"));
    } else {
        // "Erorr", misspelt, is this box's own English fallback title and
        // stays as it is; the string table's text reads "Error". The warning
        // icon: a failed retrieval is a configuration or database problem.
        ShowMessage(Tr(sid::RetrieveRecordError, QStringLiteral("Error in retrieve record: "))
                        + QString::number(r.number) + QStringLiteral(", ") + r.detail,
                    Tr(sid::Error, QStringLiteral("Erorr")), MsgIcon::Warning);
    }
    r.reported = true;
    return r;
}

Page ViewerAdapter::MoreLog() { return service.more(); }

// In the dialog the flag means "show the application field".
bool ViewerAdapter::InitArchiveScreen() { return !columns().hideAppID; }

ArchiveOutcome ViewerAdapter::ArchiveLog(const ArchiveRequest& request)
{
    ArchiveOutcome outcome = service.archive(request, columns());
    if (outcome.noDsn) {
        ShowError(sid::NoDsn, QStringLiteral("No DSN provided"));
        outcome.reported = true;
    }
    return outcome;
}

void ViewerAdapter::MoreLogForPrint(LogFile& file, int32_t TotalRecord, int32_t DownloadRecord)
{
    // While the count goes on the total is only a floor: the print waits
    // for the count, or, when the count failed, prints to the end.
    if (mLogViewDlg && mLogViewDlg->pager().counting())
        TotalRecord = service.finishCount().value_or(INT32_MAX);
    service.printRest(file, TotalRecord, DownloadRecord, columns());
}

void ViewerAdapter::CountEnded(const CountOutcome& outcome)
{
    if (outcome.retrieval != service.retrieval())
        return;
    if (!outcome.ok) {
        // The retrieval's own report: the first page stands, its total is unknown.
        ShowMessage(Tr(sid::RetrieveRecordError, QStringLiteral("Error in retrieve record: "))
                        + QString::number(outcome.number) + QStringLiteral(", ") + outcome.detail,
                    Tr(sid::Error, QStringLiteral("Erorr")), MsgIcon::Warning);
        return;
    }
    if (mLogViewDlg)
        mLogViewDlg->TotalCounted(outcome.total);
}

// --- LogViewer: the public class over the adapter ---------------------------------

// Internal: kept out of the shared library's exported symbols.
struct LogViewer::Impl : ViewerAdapter {};

namespace {
// A host's text, checked as the logger's setters check theirs: a value that
// is not UTF-8 or holds a NUL throws InvalidTextError and the old value stays.
QString q(const std::string& s, const char* field)
{
    QString text = HostText(s, field);
    if (text.contains(QChar(0)))
        throw InvalidTextError(std::string("The ") + field + " holds a NUL character");
    return text;
}
std::string s8(const QString& s) { return s.toStdString(); }

// Every member reads or changes what the open screens use, and widgets live
// only on the application's thread: elsewhere it would race or crash.
void OnScreensThread()
{
    if (QCoreApplication* app = QCoreApplication::instance(); app && QThread::currentThread() != app->thread())
        throw Failure(ErrorCategory::Usage,
                      "The log viewer must be used on the thread that runs the application's screens");
}
} // namespace

LogViewer::LogViewer() : d(std::make_unique<Impl>()) {}

LogViewer::~LogViewer() = default;

std::string LogViewer::Caption() const { OnScreensThread(); return s8(d->caption); }
void LogViewer::setCaption(const std::string& v) { OnScreensThread(); d->caption = q(v, "caption"); }
std::string LogViewer::AppID() const { OnScreensThread(); return s8(d->service.source.appId); }
void LogViewer::setAppID(const std::string& v) { OnScreensThread(); d->service.source.appId = q(v, "application ID"); }
std::string LogViewer::WorkstationID() const { OnScreensThread(); return s8(d->wsId); }
void LogViewer::setWorkstationID(const std::string& v) { OnScreensThread(); d->wsId = q(v, "workstation ID"); }
std::string LogViewer::UserProgDesc() const { OnScreensThread(); return s8(d->userDesc); }
void LogViewer::setUserProgDesc(const std::string& v) { OnScreensThread(); d->userDesc = q(v, "user title"); }
std::string LogViewer::EventDesc() const { OnScreensThread(); return s8(d->eventDesc); }
void LogViewer::setEventDesc(const std::string& v) { OnScreensThread(); d->eventDesc = q(v, "event type title"); }
std::string LogViewer::ActivityDesc() const { OnScreensThread(); return s8(d->activityDesc); }
void LogViewer::setActivityDesc(const std::string& v) { OnScreensThread(); d->activityDesc = q(v, "activity title"); }
int16_t LogViewer::AppIDVisible() const { OnScreensThread(); return d->appIdVisible; }
void LogViewer::setAppIDVisible(int16_t v) { OnScreensThread(); d->appIdVisible = v; }
int16_t LogViewer::WorkstationIDVisible() const { OnScreensThread(); return d->wsIdVisible; }
void LogViewer::setWorkstationIDVisible(int16_t v) { OnScreensThread(); d->wsIdVisible = v; }
int16_t LogViewer::UserProgVisible() const { OnScreensThread(); return d->userVisible; }
void LogViewer::setUserProgVisible(int16_t v) { OnScreensThread(); d->userVisible = v; }
int16_t LogViewer::EventVisible() const { OnScreensThread(); return d->eventVisible; }
void LogViewer::setEventVisible(int16_t v) { OnScreensThread(); d->eventVisible = v; }
std::string LogViewer::DSN() const { OnScreensThread(); return s8(d->service.source.dsn); }
void LogViewer::setDSN(const std::string& v) { OnScreensThread(); d->service.source.dsn = q(v, "data source name"); }
std::string LogViewer::LoginID() const { OnScreensThread(); return s8(d->service.source.login); }
void LogViewer::setLoginID(const std::string& v) { OnScreensThread(); d->service.source.login = q(v, "login"); }
std::string LogViewer::Password() const { OnScreensThread(); return s8(d->service.source.password); }
void LogViewer::setPassword(const std::string& v) { OnScreensThread(); d->service.source.password = q(v, "password"); }

void LogViewer::ShowLog(int16_t popupStatus)
{
    OnScreensThread();
    d->showLog(popupStatus != 0);
}

} // namespace tallyquill
