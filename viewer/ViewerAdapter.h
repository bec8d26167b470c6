#pragma once

// The LogViewer's side of the screens: it holds the host's properties, makes
// the screens, and turns their events into calls of the log service.

#include "tallyquill/export.h"
#include "screens/ViewerEvents.h"
#include "service/LogService.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

namespace tallyquill {

class frmArchive;
class frmLogMain;
class frmPrint;

class ViewerAdapter : public LogMainEvents, public ArchiveEvents, public PrintEvents {
public:
    ViewerAdapter();
    ~ViewerAdapter() override;
    ViewerAdapter(const ViewerAdapter&) = delete;
    ViewerAdapter& operator=(const ViewerAdapter&) = delete;

    // The host's properties, stored as given; a non-zero flag hides its
    // field and column. AppID, DSN, LoginID and Password live in the service.
    QString wsId;
    QString caption = QStringLiteral("Log Viewer");
    QString userDesc = QStringLiteral("User");
    QString eventDesc = QStringLiteral("Event Type");
    QString activityDesc = QStringLiteral("Activity");
    int16_t appIdVisible = 0;
    int16_t wsIdVisible = 0;
    int16_t userVisible = 0;
    int16_t eventVisible = 0;

    // The filter the screen shows first instead of today's dates (dd/mm/yyyy
    // as typed; empty keeps today), and whether the AppID field starts with
    // the AppID property.
    QString firstStartDate;
    QString firstEndDate;
    bool fillAppID = false;

private:
    // Where a count that ended on its own thread is handed to the screens'
    // thread; made before the service, so that it outlives the count's thread.
    QObject countContext_;

public:
    LogService service;

    // The columns and titles of the viewer screen, its print file and the
    // archive lines.
    LineLayout layout() const;

    // Opens the viewer screen afresh; `modal` returns when it was closed.
    // False when this process cannot show widgets.
    bool showLog(bool modal);

    // The screen of the latest showLog, and the dialogs last opened from it;
    // each is made anew.
    std::unique_ptr<frmLogMain> mLogViewDlg;
    std::unique_ptr<frmArchive> mArchiveDlg;
    std::unique_ptr<frmPrint> mPrintDlg;

    // LogMainEvents
    ScreenSetup InitScreen() override;
    void PopUpArchiveDlg() override;
    void PopUpPrintDlg() override;
    Retrieval RetrieveLog(const LogFilter& filter) override;
    Page MoreLog() override;
    // ArchiveEvents
    bool InitArchiveScreen() override;
    ArchiveOutcome ArchiveLog(const ArchiveRequest& request) override;
    // PrintEvents
    void MoreLogForPrint(LogFile& file, int32_t TotalRecord, int32_t DownloadRecord) override;

    // The count of the latest retrieval, once it ended after the first page:
    // the screen's counter and scroll range follow it; a failure is reported.
    // On the screens' thread; a count of an earlier retrieval is dropped.
    void CountEnded(const CountOutcome& outcome);

private:
    // The columns and titles handed to the screen when it last opened; the
    // host's current ones before any screen opened.
    LineLayout columns() const;
    LineLayout shown_;
};

} // namespace tallyquill
