#include "service/LogService.h"

#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "odbc/Odbc.h"
#include "odbc/Utf8Rows.h"
#include "core/LineBytes.h"
#include "core/LogFile.h"
#include "core/LogTable.h"
#include "core/Schema.h"
#include "service/ActivityIndex.h"

#include <algorithm>

namespace tallyquill {

namespace {

const QString kRecordColumns = TableColumnList() + QLatin1Char(' ');

// The positions of the record's columns in a result set, found once.
using RecordColumns = RecordColumnsOf<odbc::ResultSet>;

// How long the exact count waits for a capped count to tell whether it is
// wanted: it then arrives at most this much later than one counted first.
constexpr std::chrono::milliseconds kCountHoldOff{5};

} // namespace

QString BuildCondition(const LogFilter& f, bool backslashEscapes, const QString& activityColumn,
                       const QString& activityPrefilter)
{
    auto literal = [&](const QString& v) { return SqlLiteral(v, backslashEscapes); };
    QString c = QStringLiteral("WHERE   ") + col::Date + QStringLiteral(" BETWEEN ") + literal(f.StartDate)
                + QStringLiteral(" AND ") + literal(f.EndDate);
    if (!f.StartTime.isEmpty())
        c += QStringLiteral(" AND ") + col::Time + QStringLiteral(" BETWEEN ") + literal(f.StartTime)
             + QStringLiteral(" AND ") + literal(f.Endtime);
    if (!f.WsID.isEmpty())
        c += QStringLiteral(" AND ") + col::WsID + QStringLiteral(" = ") + literal(f.WsID);
    if (!f.UserName.isEmpty())
        c += QStringLiteral(" AND ") + col::User + QStringLiteral(" = ") + literal(f.UserName);
    if (!f.EventType.isEmpty())
        c += QStringLiteral(" AND ") + col::EventType + QStringLiteral(" = ") + literal(f.EventType);
    if (!f.Activity.isEmpty())
        c += QStringLiteral(" AND ") + ActivityContains(f.Activity, backslashEscapes, activityColumn, activityPrefilter);
    return c;
}

LogService::LogService() = default;

LogService::~LogService()
{
    current_.reset();  // before the connection it reads from
}

bool LogService::connect()
{
    const bool opened = link_.connected();
    if (!link_.Check(source.dsn, source.login, source.password))
        return false;
    if (!opened)
        try {
            link_.get().setUpPagedReads();
        } catch (const DatabaseError& e) {
            // A connection lost meanwhile opens once more, plainly: its
            // failure is then the one reported.
            if (link_.dropIfGone(e))
                return link_.Check(source.dsn, source.login, source.password);
        }
    return true;
}

void LogService::disconnect()
{
    counter_.cancel();
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
        pageFailure_ = QString::fromStdString(e.what());
    } catch (const Error& e) {
        page = {};
        pageFailure_ = QString::fromStdString(e.what());
    }
    return page;
}

Retrieval LogService::retrieve(const LogFilter& filter)
{
    Retrieval r;
    // The caller gets the reason, and what the operator's report needs: the
    // number and the description in the operator's language.
    auto fail = [&r](int32_t number, const QString& description, const QString& reason) {
        r.number = number;
        r.detail = description;
        r.reason = reason;
        return r;
    };
    auto failWith = [&](const DatabaseError& e) {
        dropIfGone(e);
        return fail(e.number(), OperatorFailureText(e), FailureText(e));
    };
    // No count of an earlier retrieval goes on, nor its result set stays
    // open, whatever happens.
    counter_.cancel();
    r.id = ++retrievals_;
    if (!connect()) {
        r.noDsn = source.dsn.isEmpty();
        return fail(0, LastOpenFailureForOperator(), LastOpenFailure());
    }
    current_.reset();
    QString table, condition, pageCondition;
    try {
        table = tableFor(filter.AppID);
        const ActivityPrefilters prefilter =
            filter.Activity.isEmpty() ? ActivityPrefilters{}
                                      : ActivityPrefilter(link_.get(), table, filter.Activity, false);
        auto conditionWith = [&](const QString& prefilter) {
            return BuildCondition(filter, link_.get().backslashEscapes(),
                                  link_.get().dialect().asciiCaseFolded(col::Data), prefilter);
        };
        condition = conditionWith(prefilter.all);
        pageCondition = prefilter.firstInOrder == prefilter.all ? condition : conditionWith(prefilter.firstInOrder);
    } catch (const DatabaseError& e) {
        return failWith(e);
    } catch (const InvalidAppIdError& e) {
        const QString app = filter.AppID.isEmpty() ? source.appId : filter.AppID;
        return fail(0,
                    Tr(sid::InvalidAppId, QStringLiteral("Invalid AppID \"%1\": use letters, digits and _ only"))
                        .arg(app),
                    QString::fromStdString(e.what()));
    } catch (const Error& e) {
        return fail(0, QString::fromStdString(e.what()), QString::fromStdString(e.what()));
    }

    // Only a table that does not exist is nothing found. Any other failed
    // count (a locked or damaged file, a refused permission, a lost
    // connection) would otherwise pass for an empty log. The count stops
    // past the cap, so that it costs no more than the first page, however
    // large the table.
    const QString fromWhere = QStringLiteral("FROM ") + table + QLatin1Char(' ') + condition;
    const QString exactSql = QStringLiteral("SELECT  count(*) ") + fromWhere;
    // Never under a page: a counting total still holds the first page.
    const int32_t cap = std::max(countCap, int32_t(10));
    const QString cappedSql = link_.get().dialect().cappedCountQuery(fromWhere, cap + 1);
    const bool capped = !cappedSql.isEmpty();
    // The exact count is started first, on its own connection and thread: it
    // runs on the other processor beside the capped count and the first
    // page, and ends about when a count made here first would. It holds off
    // while the capped count is quick: one that passes the cap lets it go at
    // once, one within the cap is the exact count and cancels it before it
    // sent anything (a count beside every small retrieval doubled its cost).
    // Nothing here waits for its thread (BackgroundCount): on a busy machine
    // a page that waited a moment for it waited a time slice for a processor
    // after (a first page of 1 ms took 2 to 7). A retrieval that fails after
    // all cancels it.
    struct Beside {
        explicit Beside(BackgroundCount& c) : counter(c) {}
        Beside(const Beside&) = delete;
        BackgroundCount& counter;
        bool wanted = false;
        ~Beside()
        {
            if (!wanted)
                counter.cancel();
        }
    };
    std::optional<Beside> beside;
    if (capped) {
        beside.emplace(counter_);
        counter_.start(
            {r.id, source.dsn, source.login, source.password, exactSql, onCounted, countStarting, kCountHoldOff});
    }
    try {
        current_ = link_.get().query(capped ? cappedSql : exactSql);
        r.total = current_->integer(0);
        current_.reset();
    } catch (const DatabaseError& e) {
        current_.reset();
        if (!odbc::isMissingTable(e))
            return failWith(e);
    } catch (const odbc::UsageError& e) {
        current_.reset();
        return fail(0, QString::fromStdString(e.what()), QString::fromStdString(e.what()));
    }
    if (r.total == 0) {
        r.ok = true;
        return r;
    }
    if (r.total <= cap)
        beside.reset();
    else if (beside)
        counter_.go(r.id);
    // The page is read in order and mostly not to its end; when few rows
    // match, reading them all and sorting them is sooner.
    if (r.total < kActivityFewRows)
        pageCondition = condition;
    try {
        current_ = link_.get().query(QStringLiteral("SELECT  ") + kRecordColumns + QStringLiteral("FROM ") + table
                                     + QLatin1Char(' ') + pageCondition + QStringLiteral(" ORDER BY ") + col::Date
                                     + QStringLiteral(", ") + col::Time);
    } catch (const DatabaseError& e) {
        return failWith(e);
    }
    r.page = fetchPage();
    if (!r.page.ok)
        return fail(0, QString(), pageFailure_);
    r.ok = true;
    if (beside) {
        r.counting = true;
        beside->wanted = true;
    }
    // A count that ends soon shows as if it had been made first.
    if (r.counting) {
        if (auto taken = counter_.take(r.id, countPatience); taken && taken->outcome.ok) {
            r.total = taken->outcome.total;
            r.counting = false;
        } else if (taken && !taken->told && onCounted) {
            onCounted(taken->outcome);  // a failure: the first page still shows
        }
    }
    return r;
}

std::optional<int32_t> LogService::finishCount()
{
    auto taken = counter_.take(retrievals_, std::chrono::hours(24));
    if (!taken)
        return std::nullopt;
    if (!taken->told && onCounted)
        onCounted(taken->outcome);
    return taken->outcome.ok ? std::optional<int32_t>(taken->outcome.total) : std::nullopt;
}

void LogService::cancelCount() { counter_.cancel(); }

Page LogService::more() { return fetchPage(); }

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
