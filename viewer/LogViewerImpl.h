#pragma once

#include "writer/LogConnection.h"
#include "screens/ViewerEvents.h"
#include "tallyquill/log_viewer.h"

#include <QString>

#include <functional>
#include <memory>

namespace tallyquill {

namespace odbc {
class Connection;
class ResultSet;
} // namespace odbc

class frmArchive;
class frmLogMain;
class frmPrint;

// Internal: kept out of the shared library's exported symbols.
struct __attribute__((visibility("hidden"))) LogViewer::Impl : LogMainEvents, ArchiveEvents, PrintEvents {
    Impl();
    ~Impl() override;

    // Properties, stored as given.
    QString appId;
    QString wsId;
    QString caption = QStringLiteral("Log Viewer");
    QString userDesc = QStringLiteral("User");
    QString eventDesc = QStringLiteral("Event Type");
    QString activityDesc = QStringLiteral("Activity");
    int16_t appIdVisible = 0;
    int16_t wsIdVisible = 0;
    int16_t userVisible = 0;
    int16_t eventVisible = 0;
    QString dsn;
    QString login;
    QString password;
    LogConnection link;
    std::unique_ptr<odbc::ResultSet> current;

    // The viewer screen of the latest ShowLog; made anew by each one.
    std::unique_ptr<frmLogMain> mLogViewDlg;
    // Runs after the screen has loaded and before it shows: lets a tool
    // preset the filter (the screen itself starts on today).
    std::function<void(frmLogMain&)> afterScreenLoad;
    // The archive and print dialogs last opened; each request makes anew.
    std::unique_ptr<frmArchive> mArchiveDlg;
    std::unique_ptr<frmPrint> mPrintDlg;

    // Why the last archive run failed, for callers that can show more than
    // the dialog's one message (the command line).
    QString lastArchiveError;
    bool lastArchiveErrorFromDatabase = false;

    int16_t connectionCheck() { return link.Check(dsn, login, password); }
    // Drops a connection that broke, with the result set read from it.
    void forgetIfLost(bool lost);
    // The table of an application ID, or of the AppID property when empty;
    // throws InvalidAppIdError for a name that is not a plain identifier.
    QString tableFor(const QString& appIdParam) const;
    bool pageFetch(int32_t& count, PageBuffer& out);

    // LogMainEvents
    void InitScreen(QString& Caption, QString& UserDesc, QString& EventDesc, QString& ActivityDesc,
                    int16_t& AppIDVisible, int16_t& WsIDVisible, int16_t& UserVisible,
                    int16_t& EventVisible) override;
    void PopUpArchiveDlg() override;
    void PopUpPrintDlg() override;
    void RetrieveLog(int16_t& Result, int32_t& TotalRecord, int32_t& DownloadRecord, const QString& StartDate,
                     const QString& EndDate, const QString& StartTime, const QString& Endtime, const QString& AppID,
                     const QString& WsID, const QString& UserName, const QString& EventType,
                     const QString& Activity, PageBuffer& Output) override;
    void MoreLog(int16_t& Result, int32_t& DownloadRecord, PageBuffer& Output) override;

    // ArchiveEvents
    void InitArchiveScreen(int16_t& AppIDVisible) override;
    void ArchiveLog(int16_t& DBResult, const QString& AppID, const QString& ArchiveDate, int16_t ToFile,
                    int16_t DelRecord, int16_t MultiFile, const QString& FilePrefix,
                    const QString& Filename) override;

    // PrintEvents
    void MoreLogForPrint(int16_t FileNo, int32_t TotalRecord, int32_t DownloadRecord) override;
};

// The condition of a retrieval, each value carried as a literal.
QString BuildCondition(const QString& StartDate, const QString& EndDate, const QString& StartTime,
                       const QString& Endtime, const QString& WsID, const QString& UserName,
                       const QString& EventType, const QString& Activity);

} // namespace tallyquill
