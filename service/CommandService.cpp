#include "service/Command.h"

#include "service/LogService.h"

#include "odbc/Odbc.h"
#include "odbc/Utf8Rows.h"
#include "writer/LogConnection.h"
#include "core/LogTable.h"
#include "core/Schema.h"

#include <QByteArray>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace tallyquill {

namespace {

const QString kColumns = RecordColumnList();

QString anyOf(const QString& column, const std::vector<QString>& values, bool backslashEscapes)
{
    if (values.size() == 1)
        return column + QStringLiteral(" = ") + SqlLiteral(values.front(), backslashEscapes);
    QString in = column + QStringLiteral(" IN (");
    for (size_t i = 0; i < values.size(); ++i)
        in += (i ? QStringLiteral(", ") : QString()) + SqlLiteral(values[i], backslashEscapes);
    return in + QLatin1Char(')');
}

QString tableOf(const QString& appId)
{
    if (!IsValidAppId(appId))
        throw InvalidAppIdError(appId.toStdString());
    return TableName(appId);
}

LogRecord readRow(const odbc::ResultSet& rs)
{
    return {rs.text(0), rs.text(1), rs.text(2), rs.text(3), rs.text(4), rs.text(5), rs.text(6)};
}

bool hasControlCharacter(const QString& s)
{
    return std::any_of(s.begin(), s.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

} // namespace

QString QueryCondition(const LogQuery& q, bool backslashEscapes, const QString& activityColumn,
                       const QString& activityPrefilter)
{
    auto SqlLiteral = [backslashEscapes](const QString& v) { return tallyquill::SqlLiteral(v, backslashEscapes); };
    QStringList parts;
    // Both ends are ranges on the (date, time) index: a whole day as
    // a date alone, an instant as a row value.
    if (!q.fromDate.isEmpty()) {
        if (q.fromTime.isEmpty() || q.fromTime == QLatin1String("000000"))
            parts << col::Date + QStringLiteral(" >= ") + SqlLiteral(q.fromDate);
        else
            parts << QStringLiteral("(%1, %2) >= (%3, %4)")
                         .arg(col::Date, col::Time, SqlLiteral(q.fromDate), SqlLiteral(q.fromTime));
    }
    if (!q.toDate.isEmpty()) {
        if (q.toTime.isEmpty() || q.toTime == QLatin1String("235959"))
            parts << col::Date + QStringLiteral(" <= ") + SqlLiteral(q.toDate);
        else
            parts << QStringLiteral("(%1, %2) <= (%3, %4)")
                         .arg(col::Date, col::Time, SqlLiteral(q.toDate), SqlLiteral(q.toTime));
    }
    if (!q.dayTimeFrom.isEmpty())
        parts << col::Time + QStringLiteral(" BETWEEN ") + SqlLiteral(q.dayTimeFrom) + QStringLiteral(" AND ")
                     + SqlLiteral(q.dayTimeTo);
    if (!q.wsIds.empty())
        parts << anyOf(col::WsID, q.wsIds, backslashEscapes);
    if (!q.users.empty())
        parts << anyOf(col::User, q.users, backslashEscapes);
    if (!q.events.empty())
        parts << anyOf(col::EventType, q.events, backslashEscapes);
    if (!q.activity.isEmpty())
        parts << ActivityContains(q.activity, backslashEscapes, activityColumn, activityPrefilter);
    return parts.isEmpty() ? QString() : QStringLiteral("WHERE ") + parts.join(QStringLiteral(" AND "));
}

bool IsMissingTable(const DatabaseError& e) { return odbc::isMissingTable(e); }

CommandService::CommandService(QString dsn, QString login, QString password)
    : dsn_(std::move(dsn)), login_(std::move(login)), password_(std::move(password)),
      link_(std::make_unique<LogConnection>())
{
}

CommandService::~CommandService() = default;

bool CommandService::connected() const { return link_->connected(); }

ArchiveOutcome CommandService::archive(const ArchiveRequest& request, const LineLayout& layout)
{
    LogService service;
    service.source = {dsn_, login_, password_, request.AppID};
    return service.archive(request, layout);
}

odbc::Connection& CommandService::connection()
{
    if (dsn_.isEmpty())
        throw SourceUnavailable("No DSN provided");
    try {
        return link_->open(dsn_, login_, password_);
    } catch (const DatabaseError& e) {
        link_->drop();
        std::string message = "Cannot connect to the data source " + dsn_.toStdString() + ": [" + e.sqlstate()
                              + "] " + e.description();
        if (e.sqlstate() == "IM002")
            message += " (register one with tallyquill setup; odbcinst -q -s lists them)";
        throw SourceUnavailable(message);
    }
}

template <class F>
auto CommandService::guarded(F&& work)
{
    try {
        return work(connection());
    } catch (const DatabaseError& e) {
        link_->dropIfGone(e);
        throw;
    }
}

namespace {

// The statement of a read, after the session is set as the viewer's: the
// rows an index finds stay exact, the first come sooner.
QString selectSql(const QString& table, const LogQuery& query, odbc::Connection& conn)
{
    conn.setUpPagedReads();
    QString sql = QStringLiteral("SELECT ") + kColumns + QStringLiteral(" FROM ") + table;
    QString prefilter;
    if (!query.activity.isEmpty()) {
        const ActivityPrefilters p = ActivityPrefilter(conn, table, query.activity);
        prefilter = query.last > 0 ? p.firstInOrder : p.all;
    }
    if (const QString where = QueryCondition(query, conn.backslashEscapes(), conn.dialect().asciiCaseFolded(col::Data), prefilter); !where.isEmpty())
        sql += QLatin1Char(' ') + where;
    if (query.last > 0 || query.newestFirst)
        sql += QStringLiteral(" ORDER BY %1 DESC, %2 DESC").arg(col::Date, col::Time)
               + (query.last > 0 ? QStringLiteral(" LIMIT %1").arg(query.last) : QString());
    else
        sql += QStringLiteral(" ORDER BY ") + col::Date + QStringLiteral(", ") + col::Time;
    return sql;
}

} // namespace

bool CommandService::selectBytes(const LogQuery& query, const std::function<void(const RecordBytes&)>& sink)
{
    const QString table = tableOf(query.appId);
    return guarded([&](odbc::Connection& conn) {
        const QString sql = selectSql(table, query, conn);
        // Newest first as read; the newest N go out oldest first, so they wait.
        const bool reversed = query.last > 0 && !query.newestFirst;
        KeptRecords kept(reversed ? size_t(query.last) : 0);
        auto take = [&](const RecordBytes& r) { reversed ? kept.add(r) : sink(r); };
        int64_t taken = 0;
        try {
            bool fast = conn.textCapabilities().utf8;
            if (fast) {
                try {
                    // Without a QString per value: the bytes the driver put in the block.
                    odbc::Utf8Rows rows(conn, sql, RecordOrderByteCapacities());
                    while (rows.fetch())
                        for (size_t r = 0; r < rows.rows(); ++r, ++taken)
                            take({rows.text(r, 0), rows.text(r, 1), rows.text(r, 2), rows.text(r, 3),
                                  rows.text(r, 4), rows.text(r, 5), rows.text(r, 6)});
                } catch (const odbc::ValueTooLong&) {
                    // A value longer than its column on a driver that cannot
                    // read it again in a block: the rest is read as text.
                    fast = false;
                }
            }
            if (!fast) {
                std::unique_ptr<odbc::ResultSet> rs = conn.query(sql);
                for (int64_t skip = taken; skip > 0 && !rs->eof(); --skip)
                    rs->next();
                for (; !rs->eof(); rs->next()) {
                    QByteArray v[7];
                    for (int c = 0; c < 7; ++c)
                        v[c] = rs->text(c).toUtf8();
                    auto view = [&](int c) { return std::string_view(v[c].constData(), size_t(v[c].size())); };
                    take({view(0), view(1), view(2), view(3), view(4), view(5), view(6)});
                }
            }
        } catch (const DatabaseError& e) {
            if (taken == 0 && IsMissingTable(e))
                return false;
            throw;
        }
        for (size_t i = kept.size(); i > 0; --i)
            sink(kept.at(i - 1));
        return true;
    });
}

bool CommandService::select(const LogQuery& query, const std::function<void(const LogRecord&)>& sink)
{
    const QString table = tableOf(query.appId);
    return guarded([&](odbc::Connection& conn) {
        const QString sql = selectSql(table, query, conn);
        std::unique_ptr<odbc::ResultSet> rs;
        try {
            rs = conn.query(sql);
        } catch (const DatabaseError& e) {
            if (IsMissingTable(e))
                return false;
            throw;
        }
        if (query.last > 0 && !query.newestFirst) {
            std::vector<LogRecord> newest;
            for (; !rs->eof(); rs->next())
                newest.push_back(readRow(*rs));
            std::for_each(newest.rbegin(), newest.rend(), sink);
        } else {
            for (; !rs->eof(); rs->next())
                sink(readRow(*rs));
        }
        return true;
    });
}

std::vector<CommandService::AppSummary> CommandService::apps()
{
    return guarded([&](odbc::Connection& conn) {
        QStringList tables;
        {
            auto rs = conn.tables();
            for (; !rs->eof(); rs->next()) {
                const QString name = rs->text(2);
                if (name.endsWith(QLatin1String("_logs"), Qt::CaseInsensitive) && IsValidAppId(name.chopped(5)))
                    tables << name;
            }
        }
        std::vector<AppSummary> out;
        for (const QString& table : tables) {
            try {
                auto rs = conn.query(QStringLiteral("SELECT COUNT(*), MIN(%1 || %2), MAX(%1 || %2) FROM ")
                                         .arg(col::Date, col::Time)
                                     + table);
                out.push_back({table.chopped(5).toUpper(), rs->integer(0), rs->text(1), rs->text(2), {},
                               FindActivityIndex(conn, table)});
            } catch (const DatabaseError& e) {
                // A table of that name that is no log table is named, not fatal.
                if (link_->isGone(e))
                    throw;
                out.push_back({table.chopped(5).toUpper(), -1, {}, {}, QString::fromStdString(e.what())});
            }
        }
        std::sort(out.begin(), out.end(), [](const AppSummary& a, const AppSummary& b) { return a.appId < b.appId; });
        return out;
    });
}

CommandService::CheckReport CommandService::check(const QString& appId)
{
    const QString wanted = appId.isEmpty() ? QString() : tableOf(appId);
    return guarded([&](odbc::Connection& conn) {
        CheckReport report{conn.info(SQL_DRIVER_NAME), conn.info(SQL_DRIVER_VER), conn.info(SQL_DBMS_NAME),
                           conn.info(SQL_DBMS_VER), {}, {}};
        if (wanted.isEmpty())
            return report;
        for (auto rs = conn.tables(); !rs->eof(); rs->next()) {
            if (rs->text(2).compare(wanted, Qt::CaseInsensitive) == 0) {
                report.table = rs->text(2);
                break;
            }
        }
        if (report.table.isEmpty())
            return report;
        report.activityIndex = FindActivityIndex(conn, report.table);
        report.index = conn.indexLedBy(report.table, {col::Date, col::Time});
        return report;
    });
}

std::vector<std::pair<QString, int64_t>> CommandService::archivePlan(const QString& appId, const QString& date)
{
    const QString table = tableOf(appId);
    return guarded([&](odbc::Connection& conn) {
        std::vector<std::pair<QString, int64_t>> days;
        std::unique_ptr<odbc::ResultSet> rs;
        try {
            rs = conn.query(QStringLiteral("SELECT %1, COUNT(*) FROM ").arg(col::Date) + table
                            + QStringLiteral(" WHERE %1 <= ").arg(col::Date) + SqlLiteral(date, conn.backslashEscapes())
                            + QStringLiteral(" GROUP BY %1 ORDER BY %1").arg(col::Date));
        } catch (const DatabaseError& e) {
            if (IsMissingTable(e))
                return days;
            throw;
        }
        for (; !rs->eof(); rs->next())
            days.emplace_back(rs->text(0), rs->integer(1));
        return days;
    });
}

int64_t CommandService::import(const QString& appId, const std::function<bool(LogRecord&)>& next)
{
    const QString table = tableOf(appId);
    return guarded([&](odbc::Connection& conn) {
        // An existing table or index is no error; the inserts tell the truth.
        for (const QString& sql : {CreateTableSql(table), CreateIndexSql(table)}) {
            try {
                conn.execute(sql);
            } catch (const DatabaseError& e) {
                if (link_->isGone(e))
                    throw;
            }
        }
        odbc::SnapshotTransaction tx(conn);
        // Many rows per statement: one round trip to a server per batch.
        constexpr int kBatch = 64;
        auto insertOf = [&](size_t rows) { return conn.prepare(InsertSql(table, rows)); };
        std::unique_ptr<odbc::Statement> batch;
        std::vector<QString> values;
        int64_t count = 0;
        LogRecord r;
        while (next(r)) {
            const auto row = TableOrderValues(r);
            values.insert(values.end(), row.begin(), row.end());
            if (++count % kBatch == 0) {
                if (!batch)
                    batch = insertOf(kBatch);
                batch->setParameters(std::exchange(values, {}));
                batch->execute();
            }
        }
        if (!values.empty()) {
            auto rest = insertOf(values.size() / kLogColumns.size());
            rest->setParameters(std::move(values));
            rest->execute();
        }
        batch.reset();
        tx.commit();
        return count;
    });
}

CommandService::ActivityIndexChange CommandService::indexActivity(const QString& appId, bool drop)
{
    const QString table = tableOf(appId);
    return guarded([&](odbc::Connection& conn) {
        ActivityIndexChange change;
        change.name = conn.dialect().activityIndexName(table);
        change.before = FindActivityIndex(conn, table);
        change.changed = drop ? DropActivityIndex(conn, table) : CreateActivityIndex(conn, table);
        return change;
    });
}

void CommandService::registerPostgres(const QString& name, const QString& host, int port, const QString& database,
                                      const QString& user)
{
    for (const QString& value : {name, host, database, user})
        if (hasControlCharacter(value) || value.contains(QLatin1Char('[')) || value.contains(QLatin1Char(']')))
            throw std::invalid_argument("Refused a value holding a control character or a bracket: "
                                        + value.toStdString());
    if (name.isEmpty() || host.isEmpty() || database.isEmpty())
        throw std::invalid_argument("A data source needs a name, a host and a database");
    std::vector<std::pair<QString, QString>> attributes = {
        {QStringLiteral("Description"), QStringLiteral("Tallyquill activity log")},
        {QStringLiteral("Servername"), host},
        {QStringLiteral("Port"), QString::number(port)},
        {odbc::Dialect::postgresql().databaseAttribute(), database},
        // Stream results a batch at a time instead of loading them whole.
        {QStringLiteral("UseDeclareFetch"), QStringLiteral("1")},
        // The driver's log files would land in /tmp, with the password.
        {QStringLiteral("CommLog"), QStringLiteral("0")},
        {QStringLiteral("Debug"), QStringLiteral("0")}};
    if (!user.isEmpty())
        attributes.emplace_back(QStringLiteral("Username"), user);
    odbc::writeUserDsn(name, odbc::Dialect::postgresql().driver(), attributes);
}

namespace command {

void AppendPrintLine(std::string& out, const RecordBytes& stored, const LineLayout& layout)
{
    thread_local ByteBuffer line;
    thread_local std::string scratch;
    line.clear();
    AppendLogLine(line, DisplayFormBytes(stored, scratch), layout);
    // Without the CRLF the archive's lines end with: the caller picks the end.
    out.append(line.data(), line.size() - 2);
}

} // namespace command

} // namespace tallyquill
