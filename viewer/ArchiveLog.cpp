#include "viewer/LogViewerImpl.h"

#include "writer/Constant.h"
#include "writer/LogConnection.h"
#include "writer/Global.h"
#include "odbc/Odbc.h"
#include "writer/TextFiles.h"

#include <QDir>

namespace tallyquill {

void LogViewer::Impl::ArchiveLog(int16_t& DBResult, const QString& AppID, const QString& ArchiveDate,
                                 int16_t ToFile, int16_t DelRecord, int16_t MultiFile, const QString& FilePrefix,
                                 const QString& Filename)
{
    DBResult = kFalse;
    lastArchiveError.clear();
    lastArchiveErrorFromDatabase = false;
    if (connectionCheck() == 1 || link.status() == 1) {
        lastArchiveError = LastOpenFailure();
        return;
    }
    int16_t fileNo = 0;
    try {
        const QString table = tableFor(AppID);
        // A connection of its own: the operator's paging keeps its cursor, and
        // the selection streams instead of being materialised behind it.
        odbc::Connection archive;
        archive.open(dsn, login, password);
        // Rows written by other workstations while the run goes on must not
        // be deleted unless they were archived.
        std::unique_ptr<odbc::SnapshotTransaction> guard;
        if (ToFile && DelRecord)
            guard = std::make_unique<odbc::SnapshotTransaction>(archive);

        if (ToFile) {
            if (!MultiFile) {
                fileNo = FreeFile();
                OpenForOutput(fileNo, Filename);
            }
            auto rs = archive.query(QStringLiteral("SELECT  log_Date, log_Time, log_AppID, log_WsID, log_User, "
                                                   "log_EventType, log_Data FROM    ")
                                    + table + QStringLiteral(" WHERE   Log_Date <= ") + SqlLiteral(ArchiveDate)
                                    + QStringLiteral(" ORDER BY Log_Date, Log_Time"));
            const int cDate = rs->column(QStringLiteral("log_Date")), cTime = rs->column(QStringLiteral("log_Time")),
                      cApp = rs->column(QStringLiteral("log_AppID")), cWs = rs->column(QStringLiteral("log_WsID")),
                      cUser = rs->column(QStringLiteral("log_User")),
                      cEvent = rs->column(QStringLiteral("log_EventType")),
                      cData = rs->column(QStringLiteral("log_Data"));
            QString previous;
            for (; !rs->eof(); rs->next()) {
                const QString date = rs->text(cDate);
                const QString line = BuildLogLine(date, rs->text(cTime), rs->text(cApp), rs->text(cWs),
                                                  rs->text(cUser), rs->text(cEvent), rs->text(cData));
                if (MultiFile && date != previous) {
                    if (!previous.isEmpty()) {
                        const int16_t done = fileNo;
                        fileNo = 0;
                        CloseFile(done);
                    }
                    fileNo = FreeFile();
                    OpenForOutput(fileNo, Filename + QDir::separator() + FilePrefix + date + QStringLiteral(".log"));
                    previous = date;
                }
                PrintLine(fileNo, line);
            }
            rs.reset();
            if (fileNo) {
                const int16_t done = fileNo;
                fileNo = 0;
                CloseFile(done);
            }
        }
        if (DelRecord) {
            auto del = archive.prepare(QStringLiteral("DELETE FROM ") + table
                                       + QStringLiteral(" WHERE   Log_Date <= ?"));
            del->setParameters({ArchiveDate});
            del->execute();
        }
        if (guard)
            guard->commit();
        DBResult = kTrue;
    } catch (const DatabaseError& e) {
        lastArchiveError = QString::fromStdString(e.what());
        lastArchiveErrorFromDatabase = true;
    } catch (const std::exception& e) {
        lastArchiveError = QString::fromStdString(e.what());
    }
    if (fileNo) {
        try {
            CloseFile(fileNo);
        } catch (const std::exception&) {
        }
    }
}

} // namespace tallyquill
