// The activity index: what it costs and what it buys, on a generated log.
//   - "activity contains" (~1% of the rows match) through the viewer's
//     retrieval (count + first page), without and with the index, each
//     against the same count made with plain unixODBC calls in the same
//     phase, runs interleaved;
//   - building the index, and its size against the table's;
//   - inserts per second into a table with and one without the index,
//     batched as the import does and one row per statement as WriteLog
//     does, interleaved.
// SQLite always (a fresh file); the PostgreSQL data source named by TQ_PG_DSN
// when set.
//   bench_index [ROWS]   (default 1000000)

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

const QString kTable = QStringLiteral("IDXBENCH_logs");
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

// The count of the viewer's condition through plain unixODBC calls.
bool rawCount(SQLHDBC dbc, const QString& sql, int64_t& count)
{
    std::u16string text = sql.toStdU16String();
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    const bool ok = SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS))
                    && SQL_SUCCEEDED(SQLFetch(st)) && SQL_SUCCEEDED(SQLGetData(st, 1, SQL_C_SBIGINT, &v, 0, &ind));
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    count = v;
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

// The viewer's retrieval over the whole year, and the raw count, `runs`
// times each, interleaved.
void measureQuery(const Backend& b, Connection& c, const char* phase, int64_t rows)
{
    tallyquill::LogService service;
    service.source = {QString::fromStdString(b.dsn), {}, {}, QStringLiteral("IDXBENCH")};
    const tallyquill::LogFilter f{.StartDate = "19980101", .EndDate = "19991231", .AppID = "IDXBENCH",
                                  .Activity = kPattern};
    const QString prefilter = tallyquill::ActivityPrefilter(c, kTable);
    const QString countSql = QStringLiteral("SELECT count(*) FROM ") + kTable + QLatin1Char(' ')
                             + tallyquill::BuildCondition(f, c.backslashEscapes(),
                                                          c.dialect().asciiCaseFolded(tallyquill::col::Data),
                                                          prefilter);
    tqbench::RawConnection raw(b.dsn);
    std::vector<double> viewer, count;
    int64_t total = 0, rawTotal = 0;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        const tallyquill::Retrieval r = service.retrieve(f);
        viewer.push_back(seconds(t));
        total = r.total;
        t.start();
        if (!rawCount(raw.dbc(), countSql, rawTotal))
            std::fprintf(stderr, "raw count failed\n");
        count.push_back(seconds(t));
    }
    std::printf("%-8s %-13s activity contains %s at %lld rows: viewer %.1f ms (best %.1f), raw count %.1f ms; "
                "%lld found (raw %lld)\n",
                b.name.c_str(), phase, qPrintable(kPattern), (long long)rows, median(viewer) * 1e3,
                *std::min_element(viewer.begin(), viewer.end()) * 1e3, median(count) * 1e3, (long long)total,
                (long long)rawTotal);
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

void run(const Backend& b, int64_t rows)
{
    Connection c;
    c.open(QString::fromStdString(b.dsn), {}, {});
    tallyquill::DropActivityIndex(c, kTable);
    c.execute(QStringLiteral("DROP TABLE IF EXISTS ") + kTable);
    c.execute(tallyquill::CreateTableSql(kTable));
    c.execute(tallyquill::CreateIndexSql(kTable));
    QElapsedTimer t;
    t.start();
    for (int64_t from = 0; from < rows; from += 1000000)
        c.executeUnbounded(fill(b.postgres, kTable, from, std::min<int64_t>(1000000, rows - from)));
    c.executeUnbounded(b.postgres ? QStringLiteral("VACUUM ANALYZE ") + kTable : QStringLiteral("ANALYZE"));
    std::printf("%-8s generated %lld rows in %.1f s\n", b.name.c_str(), (long long)rows, seconds(t));
    std::fflush(stdout);
    measureQuery(b, c, "no index", rows);
    const int64_t table = tableBytes(c, b.postgres, kTable);
    t.start();
    tallyquill::CreateActivityIndex(c, kTable);
    const double build = seconds(t);
    if (b.postgres)
        c.execute(QStringLiteral("ANALYZE ") + kTable);
    const int64_t index = indexBytes(c, b.postgres, kTable);
    std::printf("%-8s built the activity index in %.1f s: %.0f MB for a table of %.0f MB (%.2fx)\n", b.name.c_str(),
                build, double(index) / 1048576.0, double(table) / 1048576.0, double(index) / double(table));
    std::fflush(stdout);
    measureQuery(b, c, "with index", rows);
    measureWrites(b, c);
    tallyquill::DropActivityIndex(c, kTable);
    c.execute(QStringLiteral("DROP TABLE ") + kTable);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    const int64_t rows = argc > 1 ? std::atoll(argv[1]) : 1000000;
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);
    std::vector<Backend> backends;
    const std::string sqlite = "tq_bench_index";
    tallyquill::SetupEmbeddedDefault(sqlite, (dir.path() + QStringLiteral("/index.sqlite")).toStdString());
    backends.push_back({"sqlite", sqlite, false});
    if (const QByteArray pg = qgetenv("TQ_PG_DSN"); !pg.isEmpty())
        backends.push_back({"postgres", pg.toStdString(), true});
    for (const Backend& b : backends) {
        try {
            run(b, rows);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", b.name.c_str(), e.what());
            return 1;
        }
    }
    return 0;
}
