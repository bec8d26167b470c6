#include "viewer/LogService.h"

#include "odbc/Odbc.h"
#include "writer/DailyFiles.h"
#include "writer/LogFile.h"
#include "writer/LogTable.h"

#include <optional>

namespace tallyquill {

ArchiveOutcome LogService::archive(const ArchiveRequest& request, const LineLayout& layout)
{
    ArchiveOutcome outcome;
    if (!connect()) {
        outcome.reason = LastOpenFailure();
        return outcome;
    }
    int64_t deleted = 0;
    try {
        const QString table = tableFor(request.AppID);
        // A connection of its own: the operator's paging keeps its cursor, and
        // the selection streams instead of being materialised behind it. It
        // goes where the viewer's connection went, whatever the properties
        // say since.
        odbc::Connection connection;
        link_.openAnother(connection);
        // Rows written by other workstations while the run goes on must not
        // be deleted unless they were archived.
        std::optional<odbc::SnapshotTransaction> guard;
        if (request.ToFile && request.DelRecord)
            guard.emplace(connection);

        if (request.ToFile) {
            std::optional<LogFile> single;
            std::optional<DailyFiles> daily;
            if (request.MultiFile)
                daily.emplace(request.Filename, request.FilePrefix);
            else
                single.emplace(request.Filename);
            auto rs = connection.query(QStringLiteral("SELECT  log_Date, log_Time, log_AppID, log_WsID, log_User, "
                                                      "log_EventType, log_Data FROM    ")
                                       + table + QStringLiteral(" WHERE   Log_Date <= ")
                                       + SqlLiteral(request.ArchiveDate, connection.backslashEscapes()) + QStringLiteral(" ORDER BY Log_Date, Log_Time"));
            const int cDate = rs->column(QStringLiteral("log_Date")), cTime = rs->column(QStringLiteral("log_Time")),
                      cApp = rs->column(QStringLiteral("log_AppID")), cWs = rs->column(QStringLiteral("log_WsID")),
                      cUser = rs->column(QStringLiteral("log_User")),
                      cEvent = rs->column(QStringLiteral("log_EventType")),
                      cData = rs->column(QStringLiteral("log_Data"));
            outcome.files = single ? 1 : 0;
            QString day;
            for (; !rs->eof(); rs->next()) {
                const LogRecord r{rs->text(cDate), rs->text(cTime),  rs->text(cApp), rs->text(cWs),
                                  rs->text(cUser), rs->text(cEvent), rs->text(cData)};
                const QString line = BuildLogLine(r, layout);
                if (daily) {
                    if (r.Date != day)
                        ++outcome.files;
                    day = r.Date;
                    daily->writeLine(r.Date, line);
                } else {
                    single->writeLine(line);
                }
                ++outcome.written;
                if (request.progress)
                    request.progress(outcome.written);
            }
            rs.reset();
            if (daily)
                daily->close();
            else
                single->close();
        }
        if (request.DelRecord) {
            auto del = connection.prepare(QStringLiteral("DELETE FROM ") + table
                                          + QStringLiteral(" WHERE   Log_Date <= ?"));
            del->setParameters({request.ArchiveDate});
            deleted = del->execute();
        }
        if (guard)
            guard->commit();
        outcome.deleted = deleted;  // counted once they are gone for good
        outcome.ok = true;
    } catch (const DatabaseError& e) {
        outcome.reason = QString::fromStdString(e.what());
        outcome.fromDatabase = true;
    } catch (const std::exception& e) {
        outcome.reason = QString::fromStdString(e.what());
    }
    return outcome;
}

} // namespace tallyquill
