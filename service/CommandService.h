#pragma once

// The database work of the tallyquill command beyond what the viewer's
// screens ask for: streamed selections with richer filters, the list of log
// tables, a connection check, archive plans and imports. The command links
// the shared library, which exports this class for it alone: it is not part
// of the library's API and its header is not installed.

#include "tallyquill/error.h"
#include "tallyquill/export.h"
#include "writer/LogConnection.h"
#include "core/Error.h"
#include "core/LogRecord.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tallyquill {

// What `list` selects. Bounds are inclusive instants; a per-day time window
// applies to every day, as the viewer's. Each list means "any of these".
struct LogQuery {
    QString appId;
    QString fromDate, fromTime;  // empty: no lower bound
    QString toDate, toTime;      // empty: no upper bound
    QString dayTimeFrom, dayTimeTo;
    std::vector<QString> wsIds, users, events;
    QString activity;            // contained; % and _ act as wildcards
    int last = 0;                // only the newest N (still delivered oldest first)
};

// The WHERE clause of a query, every value quoted by SqlLiteral; empty when
// nothing is filtered.
TQ_INTERNAL_API QString QueryCondition(const LogQuery& query, bool backslashEscapes);

// The data source could not be reached; the message says why.
class TQ_INTERNAL_API SourceUnavailable : public Failure {
public:
    explicit SourceUnavailable(const std::string& message) : Failure(ErrorCategory::Unavailable, message) {}
};

// Whether a failure says that the table is not there (SQLSTATE 42S02 or
// 42P01, or the SQLite driver's text).
TQ_INTERNAL_API bool IsMissingTable(const DatabaseError& e);

class TQ_INTERNAL_API CommandService {
public:
    CommandService(QString dsn, QString login, QString password);
    ~CommandService();
    CommandService(const CommandService&) = delete;
    CommandService& operator=(const CommandService&) = delete;

    // Opens the connection unless it is open. Throws SourceUnavailable.
    void connect() { connection(); }
    // False once a failure broke the connection; the next call reopens it.
    bool connected() const { return link_.connected(); }

    // Hands each selected record to `sink` in stored form, oldest first, reading the result
    // to its end. Answers false when the table does not exist. Throws
    // SourceUnavailable or DatabaseError; a lost connection is reopened by the
    // next call.
    bool select(const LogQuery& query, const std::function<void(const LogRecord&)>& sink);

    struct AppSummary {
        QString appId;      // the table's name without "_logs", in capitals
        int64_t records = 0;
        QString first, last;  // "yyyymmddhhmmss" of the oldest and newest record
        QString problem;      // why a table of that name could not be read
    };
    // Every table named <AppID>_logs, by name.
    std::vector<AppSummary> apps();

    struct CheckReport {
        QString driver, driverVersion, dbms, dbmsVersion;
        QString table;      // as the database names it; empty when absent
        QString index;      // an index on (date, time); empty when absent
    };
    // Connects and describes the driver and server; with an AppID, whether its
    // table and index exist.
    CheckReport check(const QString& appId);

    // The days up to and including `date` ("yyyymmdd") that hold records,
    // with their counts: what an archive run would write. Empty when the
    // table does not exist.
    std::vector<std::pair<QString, int64_t>> archivePlan(const QString& appId, const QString& date);

    // Inserts the records that `next` fills until it answers false, in one
    // transaction, creating the table and its index when missing. Answers the
    // number inserted; nothing is inserted when it throws.
    int64_t import(const QString& appId, const std::function<bool(LogRecord&)>& next);

    // Registers a per-user "PostgreSQL Unicode" data source that streams
    // results and keeps the driver's log files off. Throws
    // std::invalid_argument for a value that odbc.ini cannot hold.
    static void registerPostgres(const QString& name, const QString& host, int port, const QString& database,
                                 const QString& user);

private:
    odbc::Connection& connection();
    // Runs `work` on the connection, dropping it when a failure broke it.
    template <class F>
    auto guarded(F&& work);

    QString dsn_, login_, password_;
    LogConnection link_;
};

} // namespace tallyquill
