#include "viewer/LogService.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "odbc/Utf8Rows.h"
#include "writer/LineBytes.h"
#include "writer/LogFile.h"
#include "writer/LogTable.h"

namespace tallyquill {

namespace {

const QString kRecordColumns =
    QStringLiteral("log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data ");

void retrieveFailureReport(int32_t number, const QString& description)
{
    // "Erorr", misspelt, is this box's own English fallback title and stays
    // as it is; the string table's text reads "Error".
    ShowMessage(Tr(sid::RetrieveRecordError, QStringLiteral("Error in retrieve record: ")) + QString::number(number)
                    + QStringLiteral(", ") + description,
                Tr(sid::Error, QStringLiteral("Erorr")), MsgIcon::None);
}

// The positions of the record's columns in a result set, found once.
struct RecordColumns {
    explicit RecordColumns(const odbc::ResultSet& rs)
        : date(rs.column(QStringLiteral("log_Date"))), time(rs.column(QStringLiteral("log_Time"))),
          app(rs.column(QStringLiteral("log_AppID"))), ws(rs.column(QStringLiteral("log_WsID"))),
          user(rs.column(QStringLiteral("log_User"))), event(rs.column(QStringLiteral("log_EventType"))),
          data(rs.column(QStringLiteral("log_Data")))
    {
    }
    LogRecord read(const odbc::ResultSet& rs) const
    {
        return {rs.text(date), rs.text(time), rs.text(app), rs.text(ws), rs.text(user), rs.text(event), rs.text(data)};
    }
    int date, time, app, ws, user, event, data;
};

} // namespace

QString BuildCondition(const LogFilter& f)
{
    QString c = QStringLiteral("WHERE   log_Date BETWEEN ") + SqlLiteral(f.StartDate) + QStringLiteral(" AND ")
                + SqlLiteral(f.EndDate);
    if (!f.StartTime.isEmpty())
        c += QStringLiteral(" AND log_Time BETWEEN ") + SqlLiteral(f.StartTime) + QStringLiteral(" AND ")
             + SqlLiteral(f.Endtime);
    if (!f.WsID.isEmpty())
        c += QStringLiteral(" AND log_WsID = ") + SqlLiteral(f.WsID);
    if (!f.UserName.isEmpty())
        c += QStringLiteral(" AND log_User = ") + SqlLiteral(f.UserName);
    if (!f.EventType.isEmpty())
        c += QStringLiteral(" AND log_EventType = ") + SqlLiteral(f.EventType);
    // "Contains": the operator's own % and _ still act as wildcards.
    if (!f.Activity.isEmpty())
        c += QStringLiteral(" AND log_Data LIKE ") + SqlLiteral(QLatin1Char('%') + f.Activity + QLatin1Char('%'));
    return c;
}

LogService::LogService() = default;

LogService::~LogService()
{
    current_.reset();  // before the connection it reads from
}

bool LogService::connect() { return link_.Check(source.dsn, source.login, source.password); }

void LogService::disconnect()
{
    current_.reset();
    link_.drop();
}

void LogService::dropIfGone(const DatabaseError& failure)
{
    if (link_.isGone(failure))
        disconnect();
}

QString LogService::tableFor(const QString& appIdParam) const
{
    const QString app = appIdParam.isEmpty() ? source.appId : appIdParam;
    if (!IsValidAppId(app))
        throw InvalidAppIdError(app.toStdString());
    return TableName(app);
}

Page LogService::fetchPage()
{
    Page page;
    if (!current_)
        return page;
    try {
        const RecordColumns columns(*current_);
        while (!current_->eof() && page.records.size() < 10) {
            page.records.push_back(columns.read(*current_));
            current_->next();
        }
        if (current_->eof())
            current_.reset();
        page.ok = true;
    } catch (const DatabaseError& e) {
        dropIfGone(e);
        page = {};
    } catch (const Error&) {
        page = {};
    }
    return page;
}

Retrieval LogService::retrieve(const LogFilter& filter)
{
    Retrieval r;
    if (!connect()) {
        retrieveFailureReport(0, QString());
        return r;
    }
    QString table, condition;
    try {
        table = tableFor(filter.AppID);
        condition = BuildCondition(filter);
    } catch (const Error& e) {
        retrieveFailureReport(0, QString::fromStdString(e.what()));
        return r;
    }

    // A failed count (a missing table, say) counts as nothing found; but a
    // connection that died is a failure, and is dropped so that the next
    // retrieval opens a new one. Either way no earlier result set stays open.
    current_.reset();
    try {
        current_ = link_.get().query(QStringLiteral("SELECT  count(*) FROM ") + table + QLatin1Char(' ') + condition);
        r.total = current_->integer(0);
    } catch (const DatabaseError& e) {
        if (link_.isGone(e)) {
            disconnect();
            retrieveFailureReport(e.number(), QString::fromStdString(e.description()));
            return r;
        }
    } catch (const odbc::UsageError&) {
    }
    current_.reset();
    if (r.total == 0) {
        r.ok = true;
        return r;
    }

    try {
        current_ = link_.get().query(QStringLiteral("SELECT  ") + kRecordColumns + QStringLiteral("FROM ") + table
                                     + QLatin1Char(' ') + condition + QStringLiteral(" ORDER BY log_Date, log_Time"));
    } catch (const DatabaseError& e) {
        dropIfGone(e);
        retrieveFailureReport(e.number(), QString::fromStdString(e.description()));
        return r;
    }
    r.page = fetchPage();
    if (!r.page.ok) {
        retrieveFailureReport(0, QString());
        return r;
    }
    r.ok = true;
    return r;
}

Page LogService::more() { return fetchPage(); }

void LogService::writeLines(const LogFilter& filter, const LineLayout& layout,
                            const std::function<void(std::string_view)>& write)
{
    current_.reset();
    if (!connect())
        throw Error("Cannot connect to the data source " + source.dsn.toStdString());
    const QString sql = QStringLiteral("SELECT  ") + kRecordColumns + QStringLiteral("FROM ") + tableFor(filter.AppID)
                        + QLatin1Char(' ') + BuildCondition(filter) + QStringLiteral(" ORDER BY log_Date, log_Time");
    constexpr size_t kWriteAt = size_t(64) * 1024;
    ByteBuffer out(kWriteAt + 16 * 1024);
    try {
        odbc::Connection& conn = link_.get();
        const odbc::TextCapabilities text = conn.textCapabilities();
        if (text.utf8) {
            // A driver that cannot read a long value again inside a block
            // reads a row at a time, which still saves a call per column.
            odbc::Utf8Rows rows(conn, sql, {40, 64, 32, 32, 60, 32, 1000},
                                text.rereadInBlock ? odbc::Utf8Rows::kDefaultBlock : 1);
            std::string scratch;
            while (rows.fetch()) {
                for (size_t r = 0; r < rows.rows(); ++r)
                    AppendLogLine(out,
                                  DisplayFormBytes({rows.text(r, 2), rows.text(r, 3), rows.text(r, 0), rows.text(r, 1),
                                                    rows.text(r, 4), rows.text(r, 5), rows.text(r, 6)},
                                                   scratch),
                                  layout);
                if (out.size() >= kWriteAt) {
                    write({out.data(), out.size()});
                    out.clear();
                }
            }
        } else {
            auto rs = conn.query(sql);
            const RecordColumns columns(*rs);
            for (; !rs->eof(); rs->next()) {
                const QByteArray line = BuildLogLine(DisplayForm(columns.read(*rs)), layout).toUtf8() + "\r\n";
                write({line.constData(), size_t(line.size())});
            }
        }
    } catch (const DatabaseError& e) {
        dropIfGone(e);
        throw;
    }
    write({out.data(), out.size()});
}

void LogService::printRest(LogFile& file, int32_t total, int32_t downloaded, const LineLayout& layout)
{
    if (!current_)
        return;  // read to its end: nothing is left to feed
    odbc::ResultSet& rs = *current_;
    rs.markReplayPoint();
    // The screen's paging goes on from where it was, also after a failure.
    struct Restore {
        odbc::ResultSet& rs;
        int32_t mark;
        ~Restore()
        {
            try {
                rs.setPosition(mark);
            } catch (const std::exception&) {
            }
        }
    } restore{rs, rs.position()};
    const RecordColumns columns(rs);
    for (int32_t counter = downloaded; !rs.eof() && counter < total; ++counter) {
        LogRecord r = columns.read(rs);
        r.Date = DisplayDate(r.Date);
        r.Time = DisplayTime(r.Time);
        file.writeLine(BuildLogLine(r, layout));
        rs.next();
    }
}

} // namespace tallyquill
