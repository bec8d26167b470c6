// The activity index: what it costs and what it buys, on a generated log.
//   - "activity contains" through the viewer's retrieval (capped count +
//     ordered first page), without and with the index, each against the
//     floor: the same condition sent with plain unixODBC calls as a count
//     capped at 10,001 and the selection with LIMIT 11; runs interleaved;
//   - building the index, and its size against the table's;
//   - inserts per second into a table with and one without the index,
//     batched as the import does and one row per statement as WriteLog
//     does, interleaved.
// SQLite always; the PostgreSQL data source named by TQ_PG_DSN when set.
//   bench_index [ROWS] [--keep FILE] [--rounds N] [--no-writes] [--postgres-only]
// ROWS defaults to 1000000, rounds to 7. Without --keep the data is made
// afresh in a temporary file (and table) and dropped at the end. With it,
// SQLite's log lives in FILE and PostgreSQL's table stays, each with its
// activity index, as IDXK<ROWS>_logs: a later run with the same ROWS
// reuses both (the phase without the index runs only while there is none),
// since making 10M rows and their index takes minutes.

#include "BenchSupport.h"

#include "core/LogTable.h"
#include "core/Schema.h"
#include "odbc/Odbc.h"
#include "service/ActivityIndex.h"
#include "service/LogService.h"
#include "tallyquill/embedded.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <map>
#include <cstdio>
#include <vector>

namespace {

using tallyquill::odbc::Connection;

struct Backend {
    std::string name, dsn;
    bool postgres = false;
};

// The application and its table: IDXBENCH, or with --keep one of each size
// (IDXK10000000), so that a kept large table outlives a run at another size.
QString gApp = QStringLiteral("IDXBENCH");
QString gTable = QStringLiteral("IDXBENCH_logs");
const QString kPattern = QStringLiteral("item42x");  // i % 100 == 42

QString fill(bool postgres, const QString& table, int64_t from, int64_t rows)
{
    // Days of 1998 in order, 30,000 rows a day; the activity names one of a
    // hundred items.
    if (postgres)
        return QStringLiteral("INSERT INTO %1 (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, "
                              "log_Data) SELECT 'IDXBENCH', 'WS0' || (i % 4 + 1), "
                              "to_char(DATE '1998-01-01' + (i / 30000)::int, 'YYYYMMDD'), "
                              "lpad(((i % 30000) * 2 / 3600)::text, 2, '0') || lpad(((i % 30000) * 2 / 60 % 60)::text, "
                              "2, '0') || lpad(((i % 30000) * 2 % 60)::text, 2, '0'), 'ANNA', 'UPDATE', "
                              "'Order ' || lpad(i::text, 8, '0') || ' posted for item' || lpad((i % 100)::text, 2, "
                              "'0') || 'x at the front desk' FROM generate_series(%2, %3) AS n(i)")
            .arg(table)
            .arg(from)
            .arg(from + rows - 1);
    // printf's own % marks: concatenated, not through QString::arg.
    return QStringLiteral("INSERT INTO ") + table
           + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data) "
                            "WITH RECURSIVE n(i) AS (SELECT ")
           + QString::number(from) + QStringLiteral(" UNION ALL SELECT i + 1 FROM n WHERE i < ")
           + QString::number(from + rows - 1)
           + QStringLiteral(") SELECT 'IDXBENCH', 'WS0' || (i % 4 + 1), strftime('%Y%m%d', '1998-01-01', "
                            "'+' || (i / 30000) || ' days'), printf('%02d%02d%02d', (i % 30000) * 2 / 3600, "
                            "(i % 30000) * 2 / 60 % 60, (i % 30000) * 2 % 60), 'ANNA', 'UPDATE', "
                            "printf('Order %08d posted for item%02dx at the front desk', i, i % 100) FROM n");
}

double seconds(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e9; }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool exec(SQLHSTMT st, const QString& sql)
{
    std::u16string text = sql.toStdU16String();
    return SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS));
}

// The floor of the viewer's retrieval: its capped count and ten rows of its
// selection with LIMIT 11, read as wide text, through plain unixODBC calls.
bool rawRetrieval(SQLHDBC dbc, const QString& countSql, const QString& fewSql, const QString& manySql, int64_t& count,
                  int& rows)
{
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    bool ok = exec(st, countSql) && SQL_SUCCEEDED(SQLFetch(st))
              && SQL_SUCCEEDED(SQLGetData(st, 1, SQL_C_SBIGINT, &v, 0, &ind));
    SQLFreeStmt(st, SQL_CLOSE);
    count = v;
    rows = 0;
    if (ok && v > 0) {
        ok = exec(st, v < tallyquill::kActivityFewRows ? fewSql : manySql);
        SQLWCHAR buf[256];
        for (; ok && rows < 10 && SQL_SUCCEEDED(SQLFetch(st)); ++rows)
            for (SQLUSMALLINT c = 1; ok && c <= 7; ++c)
                ok = SQL_SUCCEEDED(SQLGetData(st, c, SQL_C_WCHAR, buf, sizeof(buf), &ind));
        SQLFreeStmt(st, SQL_CLOSE);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return ok;
}

// The table with its (date, time) index, measured before the activity index
// exists, or the activity index alone (SQLite: the FTS5 table's shadows).
int64_t tableBytes(Connection& c, bool postgres, const QString& table)
{
    auto rs = c.query(postgres ? QStringLiteral("SELECT pg_total_relation_size(to_regclass('%1'))").arg(table)
                               : QStringLiteral("SELECT sum(pgsize) FROM dbstat WHERE lower(name) IN (lower('%1'), "
                                                "lower('%1_date_time'))")
                                     .arg(table));
    return rs->text(0).toLongLong();
}

int64_t indexBytes(Connection& c, bool postgres, const QString& table)
{
    const QString name = c.dialect().activityIndexName(table);
    auto rs = c.query(postgres ? QStringLiteral("SELECT pg_relation_size(to_regclass('%1'))").arg(name)
                               : QStringLiteral("SELECT sum(pgsize) FROM dbstat WHERE lower(name) LIKE lower('%1_%')")
                                     .arg(name));
    return rs->text(0).toLongLong();
}

struct Pattern {
    const char* text;
    const char* share;  // of the rows that match
};

// The goal's case first; the others watch that no pattern is made slower.
const Pattern kPatterns[] = {
    {"item42x", "1%"},         // i % 100 == 42
    {"00042 posted", "0.001%"},  // i % 100000 == 42
    {"front desk", "all"},     // no trigram is rare
};

// The viewer's retrieval over the whole year against its floor, `rounds`
// times each, interleaved. The exact count the viewer goes on with in the
// background is given up at once: it is not what is measured here.
void measureQuery(const Backend& b, Connection& c, const char* phase, int64_t rows, int rounds)
{
    for (const Pattern& p : kPatterns) {
        tallyquill::LogService service;
        service.source = {QString::fromStdString(b.dsn), {}, {}, gApp};
        const tallyquill::LogFilter f{.StartDate = "19980101", .EndDate = "19991231", .AppID = gApp,
                                      .Activity = QString::fromUtf8(p.text)};
        // The statements the viewer sends, the prefilters chosen as it
        // chooses them.
        const tallyquill::ActivityPrefilters prefilter = tallyquill::ActivityPrefilter(c, gTable, f.Activity, false);
        auto fromWhere = [&](const QString& prefilter) {
            return QStringLiteral("FROM ") + gTable + QLatin1Char(' ')
                   + tallyquill::BuildCondition(f, c.backslashEscapes(),
                                                c.dialect().asciiCaseFolded(tallyquill::col::Data), prefilter);
        };
        const QString countSql = c.dialect().cappedCountQuery(fromWhere(prefilter.all), 10001);
        auto pageSql = [&](const QString& prefilter) {
            return QStringLiteral("SELECT  ") + tallyquill::TableColumnList() + QLatin1Char(' ') + fromWhere(prefilter)
                   + QStringLiteral(" ORDER BY log_Date, log_Time LIMIT 11");
        };
        const QString fewSql = pageSql(prefilter.all), manySql = pageSql(prefilter.firstInOrder);
        if (qEnvironmentVariableIsSet("TQ_BENCH_SHOW_SQL"))
            std::printf("%s\n%s\n%s\n", qPrintable(countSql), qPrintable(fewSql), qPrintable(manySql));
        tqbench::RawConnection raw(b.dsn);
        // The session as the viewer sets it, so that the floor plans alike.
        if (const QString setup = c.dialect().pagedReaderSetup(); !setup.isEmpty()) {
            SQLHSTMT st;
            SQLAllocHandle(SQL_HANDLE_STMT, raw.dbc(), &st);
            exec(st, setup);
            SQLFreeHandle(SQL_HANDLE_STMT, st);
        }
        std::vector<double> viewer, floor;
        int64_t total = 0, rawTotal = 0;
        int pageRows = 0, rawRows = 0;
        bool failed = false;
        for (int run = 0; run < rounds && !failed; ++run) {
            QElapsedTimer t;
            t.start();
            const tallyquill::Retrieval r = service.retrieve(f);
            viewer.push_back(seconds(t));
            service.cancelCount();
            if (!r.ok) {
                std::fprintf(stderr, "%s: retrieval failed: %s\n", b.name.c_str(), qPrintable(r.reason));
                failed = true;
            }
            total = r.total;
            pageRows = int(r.page.records.size());
            t.start();
            if (!rawRetrieval(raw.dbc(), countSql, fewSql, manySql, rawTotal, rawRows)) {
                std::fprintf(stderr, "%s: raw retrieval failed\n", b.name.c_str());
                failed = true;
            }
            floor.push_back(seconds(t));
        }
        const double v = median(viewer), fl = median(floor);
        std::printf("%-8s %-10s %lld rows, activity contains \"%s\" (%s): viewer %.1f ms (best %.1f), floor %.1f ms "
                    "(best %.1f): ratio %.2f over %d rounds; counted %lld (floor %lld), page %d rows (floor %d)%s\n",
                    b.name.c_str(), phase, (long long)rows, p.text, p.share, v * 1e3,
                    *std::min_element(viewer.begin(), viewer.end()) * 1e3, fl * 1e3,
                    *std::min_element(floor.begin(), floor.end()) * 1e3, fl > 0 ? v / fl : 0, int(viewer.size()),
                    (long long)total, (long long)rawTotal, pageRows, rawRows,
                    total == rawTotal && pageRows == rawRows ? "" : " MISMATCH");
        std::fflush(stdout);
    }
}

// Rows per second into a table with the index and one without, alternating.
void measureWrites(const Backend& b, Connection& c)
{
    const QString indexed = QStringLiteral("IDXW_logs"), plain = QStringLiteral("IDXP_logs");
    for (const QString& t : {indexed, plain}) {
        c.execute(QStringLiteral("DROP TABLE IF EXISTS ") + t);
        c.execute(tallyquill::CreateTableSql(t));
        c.execute(tallyquill::CreateIndexSql(t));
        c.execute(fill(b.postgres, t, 0, 100000));
    }
    tallyquill::CreateActivityIndex(c, indexed);
    std::map<QString, std::vector<double>> batched, single;
    int64_t next = 100000;
    for (int round = 0; round < 3; ++round) {
        for (const QString& t : {indexed, plain}) {
            // Batched: 64 rows a statement in one transaction, as the import.
            constexpr int kBatchRows = 20000;
            QElapsedTimer timer;
            timer.start();
            {
                tallyquill::odbc::Transaction tx(c);
                auto stmt = c.prepare(tallyquill::InsertSql(t, 64));
                std::vector<QString> values;
                for (int i = 0; i < kBatchRows; ++i, ++next) {
                    const auto row = tallyquill::TableOrderValues(
                        {"19990101", "101010", "IDXBENCH", "WS01", "ANNA", "UPDATE",
                         QStringLiteral("Order %1 posted for item%2x at the front desk").arg(next).arg(next % 100)});
                    values.insert(values.end(), row.begin(), row.end());
                    if (values.size() == 64 * tallyquill::kLogColumns.size()) {
                        stmt->setParameters(std::exchange(values, {}));
                        stmt->execute();
                    }
                }
                tx.commit();
            }
            batched[t].push_back(kBatchRows / seconds(timer));
            // One row a statement, each its own transaction, as WriteLog.
            constexpr int kSingleRows = 300;
            auto one = c.prepare(tallyquill::InsertSql(t, 1));
            timer.start();
            for (int i = 0; i < kSingleRows; ++i, ++next) {
                const auto row = tallyquill::TableOrderValues(
                    {"19990102", "101010", "IDXBENCH", "WS01", "ANNA", "UPDATE",
                     QStringLiteral("Order %1 posted for item%2x at the front desk").arg(next).arg(next % 100)});
                one->setParameters({row.begin(), row.end()});
                one->execute();
            }
            single[t].push_back(kSingleRows / seconds(timer));
        }
    }
    std::printf("%-8s inserts/s batched: %.0f with the index, %.0f without (%.2fx); one row a statement: %.0f "
                "with, %.0f without (%.2fx)\n",
                b.name.c_str(), median(batched[indexed]), median(batched[plain]),
                median(batched[plain]) / median(batched[indexed]), median(single[indexed]), median(single[plain]),
                median(single[plain]) / median(single[indexed]));
    tallyquill::DropActivityIndex(c, indexed);
    for (const QString& t : {indexed, plain})
        c.execute(QStringLiteral("DROP TABLE ") + t);
}

int64_t rowsIn(Connection& c, const QString& table)
{
    try {
        return c.query(QStringLiteral("SELECT count(*) FROM ") + table)->integer(0);
    } catch (const tallyquill::DatabaseError& e) {
        if (!c.dialect().isMissingTable(e))
            throw;
        return -1;
    }
}

struct Options {
    int64_t rows = 1000000;
    QString keep;  // SQLite's file; empty: a temporary one, nothing kept
    int rounds = 7;
    bool writes = true;
    bool sqlite = true;
};

void run(const Backend& b, const Options& o)
{
    const int64_t rows = o.rows;
    const bool keep = !o.keep.isEmpty();
    Connection c;
    c.open(QString::fromStdString(b.dsn), {}, {});
    QElapsedTimer t;
    if (keep && rowsIn(c, gTable) == rows) {
        std::printf("%-8s reusing the %lld rows kept\n", b.name.c_str(), (long long)rows);
    } else {
        tallyquill::DropActivityIndex(c, gTable);
        c.execute(QStringLiteral("DROP TABLE IF EXISTS ") + gTable);
        c.execute(tallyquill::CreateTableSql(gTable));
        c.execute(tallyquill::CreateIndexSql(gTable));
        t.start();
        for (int64_t from = 0; from < rows; from += 1000000)
            c.executeUnbounded(fill(b.postgres, gTable, from, std::min<int64_t>(1000000, rows - from)));
        c.executeUnbounded(b.postgres ? QStringLiteral("VACUUM ANALYZE ") + gTable : QStringLiteral("ANALYZE"));
        std::printf("%-8s generated %lld rows in %.1f s\n", b.name.c_str(), (long long)rows, seconds(t));
    }
    std::fflush(stdout);
    if (tallyquill::FindActivityIndex(c, gTable) != tallyquill::ActivityIndexState::Present) {
        measureQuery(b, c, "no index", rows, o.rounds);
        const int64_t table = tableBytes(c, b.postgres, gTable);
        t.start();
        tallyquill::CreateActivityIndex(c, gTable);
        const double build = seconds(t);
        if (b.postgres)
            c.execute(QStringLiteral("ANALYZE ") + gTable);
        const int64_t index = indexBytes(c, b.postgres, gTable);
        std::printf("%-8s built the activity index in %.1f s: %.0f MB for a table of %.0f MB (%.2fx)\n",
                    b.name.c_str(), build, double(index) / 1048576.0, double(table) / 1048576.0,
                    double(index) / double(table));
    } else {
        std::printf("%-8s reusing the activity index kept: %.0f MB\n", b.name.c_str(),
                    double(indexBytes(c, b.postgres, gTable)) / 1048576.0);
    }
    std::fflush(stdout);
    measureQuery(b, c, "with index", rows, o.rounds);
    if (o.writes)
        measureWrites(b, c);
    if (!keep) {
        tallyquill::DropActivityIndex(c, gTable);
        c.execute(QStringLiteral("DROP TABLE ") + gTable);
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--keep" && i + 1 < argc)
            o.keep = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            o.rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--no-writes")
            o.writes = false;
        else if (a == "--postgres-only")
            o.sqlite = false;
        else if (!a.empty() && a[0] != '-')
            o.rows = std::atoll(a.c_str());
        else {
            std::fprintf(stderr, "usage: bench_index [ROWS] [--keep FILE] [--rounds N] [--no-writes] [--postgres-only]\n");
            return 64;
        }
    }
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);
    std::vector<Backend> backends;
    if (!o.keep.isEmpty()) {
        gApp = QStringLiteral("IDXK") + QString::number(o.rows);
        gTable = gApp + QStringLiteral("_logs");
    }
    const std::string sqlite = "tq_bench_index";
    const QString file = o.keep.isEmpty() ? dir.path() + QStringLiteral("/index.sqlite") : o.keep;
    tallyquill::SetupEmbeddedDefault(sqlite, file.toStdString());
    if (o.sqlite)
        backends.push_back({"sqlite", sqlite, false});
    if (const QByteArray pg = qgetenv("TQ_PG_DSN"); !pg.isEmpty())
        backends.push_back({"postgres", pg.toStdString(), true});
    for (const Backend& b : backends) {
        try {
            run(b, o);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", b.name.c_str(), e.what());
            return 1;
        }
    }
    return 0;
}
