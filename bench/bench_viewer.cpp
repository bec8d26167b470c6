// The viewer's service on a generated log (1,000,000 rows unless --rows), against
// baselines measured in the same run on the same data source:
//   - per filter (one day, one month, the whole table, an activity that ~1%
//     of rows contain, one user): the first page and the exact total against
//     the floor (a count capped at 10,001 and the selection with LIMIT 11,
//     plain unixODBC calls) and against the exact count before the page
//     that the viewer made before;
//   - first page (count + ordered selection + 10 rows) vs the same two
//     queries made with plain unixODBC calls, on a new connection each time
//     and again on one kept connection;
//   - each further page (MoreLog).
// The archive has a benchmark of its own (bench_archive).
// SQLite always (a fresh WAL file); the PostgreSQL data source named by
// TQ_PG_DSN when set (psql reaches it at 127.0.0.1:$TQ_PG_PORT as postgres).
// --keep keeps the generated log for the next run (the SQLite file in
// $TMPDIR, the server's table where it is) and takes it up again when it
// holds the rows asked for: ten million rows take minutes to make.
// At ten million rows PostgreSQL's exact count of the activity takes over a
// minute, past the data source's query timeout (15 s unless its QueryTimeout=
// says otherwise): the service's count then fails, as the viewer's would.
//   bench_viewer [--rows=N] [--rounds=N] [--keep] [--benchmark_filter=...]

#include "BenchSupport.h"

#include "odbc/Odbc.h"
#include "tallyquill/embedded.h"
#include "service/LogService.h"
#include "core/LogTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

using tqbench::heapMB;
using tqbench::RawConnection;
using tqbench::rssMB;
using tqbench::RssSampler;

int kRows = 1000000;
int kMarchRows = 100000;  // each month holds exactly a tenth
int gRounds = 3;
bool gKeep = false;
const QString kTable = QStringLiteral("BENCH_logs");
const char16_t kCountSql[] =
    u"SELECT  count(*) FROM BENCH_logs WHERE   log_Date BETWEEN '19980301' AND '19980331'";
const char16_t kRecordSql[] = u"SELECT  log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data "
                              u"FROM BENCH_logs WHERE   log_Date BETWEEN '19980301' AND '19980331' "
                              u"ORDER BY log_Date, log_Time";

struct Backend {
    std::string name;  // "sqlite", "postgres"
    std::string dsn;
    std::string dbFile;  // SQLite only
    bool postgres = false;
};

// --- The generated log ---------------------------------------------------------

// The rows of the log, as many as asked for (BenchSupport.h).
void fill(const Backend& b, tallyquill::odbc::Connection& c)
{
    tqbench::MakeLog(c, b.postgres, kRows);
}

// The rows of the 15th of March: the month's split into 31 days.
int dayRows()
{
    auto first = [](long long day) { return int((day * kMarchRows + 30) / 31); };
    return first(15) - first(14);
}

// A kept log is taken up when it holds as many rows, and the 15th of March as
// many: the same generator made it.
bool kept(tallyquill::odbc::Connection& c)
{
    try {
        auto all = c.query(QStringLiteral("SELECT count(*) FROM ") + kTable);
        if (all->text(0).toLongLong() != kRows)
            return false;
        auto day = c.query(QStringLiteral("SELECT count(*) FROM ") + kTable
                           + QStringLiteral(" WHERE log_Date = '19980315'"));
        return day->text(0).toLongLong() == dayRows();
    } catch (const std::exception&) {
        return false;
    }
}

bool generate(const Backend& b)
{
    QElapsedTimer t;
    t.start();
    try {
        tallyquill::odbc::Connection c;
        c.open(QString::fromStdString(b.dsn), {}, {});
        if (gKeep && kept(c)) {
            std::printf("%-8s took up the kept log of %d rows\n", b.name.c_str(), kRows);
            std::fflush(stdout);
            return true;
        }
        fill(b, c);
        auto rs = c.query(QStringLiteral("SELECT count(*) FROM ") + kTable);
        const long long rows = rs->text(0).toLongLong();
        if (rows != kRows) {
            std::fprintf(stderr, "%s: generated %lld rows instead of %d\n", b.name.c_str(), rows, kRows);
            return false;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot generate %s: %s\n", b.name.c_str(), qPrintable(kTable), e.what());
        return false;
    }
    std::printf("%-8s generated %d rows in %.1f s\n", b.name.c_str(), kRows, double(t.elapsed()) / 1000.0);
    std::fflush(stdout);
    return true;
}

// --- First page ----------------------------------------------------------------

struct RawPage {
    QString total, firstDate;
};

// The two queries the viewer makes, ten rows read as wide text, then the
// cursor closed.
bool rawFirstPage(SQLHDBC dbc, RawPage& out)
{
    static std::u16string countSql = kCountSql, recordSql = kRecordSql;
    SQLWCHAR buf[256];
    SQLLEN ind = 0;
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    bool ok = SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(countSql.data()), SQL_NTS))
              && SQL_SUCCEEDED(SQLFetch(st)) && SQL_SUCCEEDED(SQLGetData(st, 1, SQL_C_WCHAR, buf, sizeof(buf), &ind));
    if (ok)
        out.total = QString::fromUtf16(reinterpret_cast<const char16_t*>(buf));
    SQLFreeStmt(st, SQL_CLOSE);
    ok = ok && SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(recordSql.data()), SQL_NTS));
    for (int row = 0; ok && row < 10; ++row) {
        ok = SQL_SUCCEEDED(SQLFetch(st));
        for (SQLUSMALLINT c = 1; ok && c <= 7; ++c) {
            ok = SQL_SUCCEEDED(SQLGetData(st, c, SQL_C_WCHAR, buf, sizeof(buf), &ind));
            if (ok && row == 0 && c == 3)
                out.firstDate = QString::fromUtf16(reinterpret_cast<const char16_t*>(buf));
        }
    }
    SQLFreeStmt(st, SQL_CLOSE);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return ok;
}

// fresh: a connection per run, made before the clock runs, as a new viewer
// has; otherwise one connection for all runs, as a viewer asked again has.
void RawFirstPage(benchmark::State& state, const Backend& b, bool fresh)
{
    std::unique_ptr<RawConnection> conn;
    RawPage page;
    for (auto _ : state) {
        if (fresh || !conn) {
            state.PauseTiming();
            conn.reset();
            conn = std::make_unique<RawConnection>(b.dsn);
            state.ResumeTiming();
            if (!conn->ok()) {
                state.SkipWithError("cannot connect");
                break;
            }
        }
        if (!rawFirstPage(conn->dbc(), page)) {
            state.SkipWithError("raw query failed");
            break;
        }
    }
    if (!state.error_occurred()
        && (page.total.trimmed().toInt() != kMarchRows || page.firstDate != QLatin1String("19980301")))
        state.SkipWithError("raw query read unexpected values");
}

struct Filter {
    QString start = QStringLiteral("19980301"), end = QStringLiteral("19980331"), app = QStringLiteral("BENCH");
};

// Only the retrieval is timed. fresh: a new service per run, connected
// before the clock runs; otherwise one service asked again and again.
void ServiceFirstPage(benchmark::State& state, const Backend& b, bool fresh)
{
    const tallyquill::LogFilter march{.StartDate = "19980301", .EndDate = "19980331", .AppID = "BENCH"};
    std::unique_ptr<tallyquill::LogService> service;
    double growth = 0, held = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (fresh || !service) {
            service.reset();
            service = std::make_unique<tallyquill::LogService>();
            service->source = {QString::fromStdString(b.dsn), {}, {}, QStringLiteral("BENCH")};
            service->onCounted = [](const tallyquill::CountOutcome&) {};  // as a viewer's, which is always told
            if (!service->connect()) {
                state.SkipWithError("cannot connect");
                state.ResumeTiming();
                break;
            }
        }
        const double before = rssMB(), heapBefore = heapMB();
        state.ResumeTiming();
        const tallyquill::Retrieval found = service->retrieve(march);
        state.PauseTiming();
        // The count beside the page must not run into the next measurement.
        const int32_t total = found.counting ? service->finishCount().value_or(-1) : found.total;
        growth = std::max(growth, rssMB() - before);
        // What the open result set keeps: a result read whole would show here.
        held = std::max(held, heapMB() - heapBefore);
        state.ResumeTiming();
        if (!found.ok || total != kMarchRows || found.page.records.size() != 10
            || found.page.records[0].Date != QLatin1String("19980301")) {
            state.SkipWithError("RetrieveLog answered unexpected values");
            break;
        }
    }
    state.counters["rss_growth_MB"] = growth;
    state.counters["heap_held_MB"] = held;
}

// --- Further pages -------------------------------------------------------------

void ServiceMoreLog(benchmark::State& state, const Backend& b)
{
    const tallyquill::LogFilter march{.StartDate = "19980301", .EndDate = "19980331", .AppID = "BENCH"};
    tallyquill::LogService service;
    service.source = {QString::fromStdString(b.dsn), {}, {}, QStringLiteral("BENCH")};
    service.onCounted = [](const tallyquill::CountOutcome&) {};  // as a viewer's, which is always told
    int32_t left = 0;
    auto retrieve = [&] {
        const tallyquill::Retrieval found = service.retrieve(march);
        const int32_t total = found.counting ? service.finishCount().value_or(-1) : found.total;
        left = total - int32_t(found.page.records.size());
        return found.ok && total == kMarchRows;
    };
    if (!retrieve()) {
        state.SkipWithError("RetrieveLog failed");
        return;
    }
    const double before = rssMB();
    int64_t rows = 0;
    for (auto _ : state) {
        if (left <= 0) {
            state.PauseTiming();
            const bool ok = retrieve();
            state.ResumeTiming();
            if (!ok) {
                state.SkipWithError("RetrieveLog failed");
                break;
            }
        }
        const tallyquill::Page page = service.more();
        if (!page.ok || page.records.empty()) {
            state.SkipWithError("MoreLog ended before the count");
            break;
        }
        left -= int32_t(page.records.size());
        rows += int64_t(page.records.size());
    }
    state.SetItemsProcessed(rows);
    // Paging through a whole month should not keep the rows read.
    state.counters["rss_growth_MB"] = rssMB() - before;
}

// --- First page and total per filter ----------------------------------------------

struct Case {
    const char* name;
    tallyquill::LogFilter filter;
    int32_t total;  // rows that match
};

// Made once the row count is known.
std::vector<Case> kCases;

void makeCases()
{
    kCases = {
        {"day", {.StartDate = "19980315", .EndDate = "19980315", .AppID = "BENCH"}, dayRows()},
        {"month", {.StartDate = "19980301", .EndDate = "19980331", .AppID = "BENCH"}, kMarchRows},
        {"table", {.StartDate = "19980101", .EndDate = "19981231", .AppID = "BENCH"}, kRows},
        {"activity", {.StartDate = "19980101", .EndDate = "19981231", .AppID = "BENCH", .Activity = "00 posted"},
         kRows / 100},
        {"user", {.StartDate = "19980101", .EndDate = "19981231", .AppID = "BENCH", .UserName = "ANNA"}, kRows / 5},
    };
}

// The condition exactly as the service sends it, so that the floor runs
// the same query.
QString conditionOf(const Case& c, const Backend& b)
{
    tallyquill::odbc::Connection conn;
    conn.open(QString::fromStdString(b.dsn), {}, {});
    return tallyquill::BuildCondition(c.filter, conn.backslashEscapes(),
                                      conn.dialect().asciiCaseFolded(QStringLiteral("log_Data")));
}

bool exec(SQLHSTMT st, const QString& sql)
{
    std::u16string text = sql.toStdU16String();
    return SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS));
}

// One query's first integer, then the cursor closed.
bool rawInteger(SQLHSTMT st, const QString& sql, int64_t& value)
{
    SQLBIGINT v = 0;
    SQLLEN ind = 0;
    const bool ok = exec(st, sql) && SQL_SUCCEEDED(SQLFetch(st))
                    && SQL_SUCCEEDED(SQLGetData(st, 1, SQL_C_SBIGINT, &v, sizeof(v), &ind));
    SQLFreeStmt(st, SQL_CLOSE);
    value = v;
    return ok;
}

// Ten rows of the ordered selection read as wide text, then the cursor closed.
bool rawTenRows(SQLHSTMT st, const QString& sql)
{
    SQLWCHAR buf[256];
    SQLLEN ind = 0;
    bool ok = exec(st, sql);
    for (int row = 0; ok && row < 10; ++row) {
        ok = SQL_SUCCEEDED(SQLFetch(st));
        for (SQLUSMALLINT c = 1; ok && c <= 7; ++c)
            ok = SQL_SUCCEEDED(SQLGetData(st, c, SQL_C_WCHAR, buf, sizeof(buf), &ind));
    }
    SQLFreeStmt(st, SQL_CLOSE);
    return ok;
}

const QString kColumns = QStringLiteral("SELECT  log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, "
                                        "log_Data FROM BENCH_logs ");

// exact: the count the viewer made before its first page (today's flow);
// otherwise the floor: a count capped at 10,001 and the selection's first 11.
void RawFilter(benchmark::State& state, const Backend& b, const Case& c, bool exact)
{
    RawConnection conn(b.dsn);
    if (!conn.ok()) {
        state.SkipWithError("cannot connect");
        return;
    }
    const QString where = conditionOf(c, b);
    const QString count = exact ? QStringLiteral("SELECT  count(*) FROM BENCH_logs ") + where
                                : QStringLiteral("SELECT  count(*) FROM (SELECT 1 FROM BENCH_logs ") + where
                                      + QStringLiteral(" LIMIT 10001) AS capped");
    const QString select = kColumns + where + QStringLiteral(" ORDER BY log_Date, log_Time")
                           + (exact ? QString() : QStringLiteral(" LIMIT 11"));
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc(), &st);
    int64_t n = 0;
    for (auto _ : state)
        if (!rawInteger(st, count, n) || !rawTenRows(st, select)) {
            state.SkipWithError("raw query failed");
            break;
        }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    if (!state.error_occurred() && n != (exact ? c.total : std::min(c.total, 10001)))
        state.SkipWithError("raw count read an unexpected value");
}

// total: until the exact count is known; otherwise until the first page is.
// One service asked again, as an operator's viewer is.
void ServiceFilter(benchmark::State& state, const Backend& b, const Case& c, bool total)
{
    tallyquill::LogService service;
    service.source = {QString::fromStdString(b.dsn), {}, {}, QStringLiteral("BENCH")};
    service.onCounted = [](const tallyquill::CountOutcome&) {};  // as a viewer's, which is always told
    if (!service.connect()) {
        state.SkipWithError("cannot connect");
        return;
    }
    for (auto _ : state) {
        const tallyquill::Retrieval found = service.retrieve(c.filter);
        if (!total)
            state.PauseTiming();
        // Untimed for the first page: its count must not run into the next run.
        const int32_t n = found.counting ? service.finishCount().value_or(-1) : found.total;
        if (!total)
            state.ResumeTiming();
        if (!found.ok || n != c.total || found.page.records.size() != 10) {
            state.SkipWithError("RetrieveLog answered unexpected values");
            break;
        }
    }
}

// --- Report --------------------------------------------------------------------

// Prints, per back end, each service figure against its baseline, each the
// median of its repetitions.
class ViewerReporter : public tqbench::RatioReporter {
public:
    using RatioReporter::RatioReporter;

protected:
    void summarize() override
    {
        for (const char* backend : {"sqlite", "postgres"})
            for (const Case& c : kCases) {
                const std::string at = std::string("/") + c.name + "/" + backend;
                const Figures* floor = find("Floor" + at);
                const Figures* before = find("CountFirst" + at);
                const Figures* first = find("FirstPage" + at);
                const Figures* total = find("Total" + at);
                if (!floor || !first || !total || !before)
                    continue;
                std::printf("%-8s %-8s | first page %8.2f ms (best %8.2f) vs floor %8.2f ms (best %8.2f): ratio %5.2f "
                            "(goal <= 2) | total %8.2f ms (best %8.2f) vs count first %8.2f ms (best %8.2f): ratio "
                            "%5.2f (goal <= 1) | %zu rounds\n",
                            backend, c.name, first->ms(), first->best(), floor->ms(), floor->best(),
                            first->ms() / floor->ms(), total->ms(), total->best(), before->ms(), before->best(),
                            total->ms() / before->ms(), total->runs.size());
            }
        for (const char* backend : {"sqlite", "postgres"}) {
            const std::string be = std::string("/") + backend;
            const Figures* raw = find("FirstPage/raw" + be);
            const Figures* first = find("FirstPage/RetrieveLog" + be);
            const Figures* rawAgain = find("Again/raw" + be);
            const Figures* again = find("Again/RetrieveLog" + be);
            const Figures* more = find("MoreLog" + be);
            const Figures* rawLong = find("LongValue/raw" + be);
            const Figures* readLong = find("LongValue/ResultSet" + be);
            if (!raw && !first && !rawAgain && !again && !more && !rawLong && !readLong)
                continue;
            std::printf("%-8s", backend);
            if (raw && first)
                std::printf(" | first page %.2f ms vs raw %.2f ms: ratio %.2f (goal <= 1.5), RSS +%.1f MB (goal < 20),"
                            " heap held %.2f MB",
                            first->ms(), raw->ms(), first->ms() / raw->ms(), first->peak("rss_growth_MB"),
                            first->peak("heap_held_MB"));
            if (rawAgain && again)
                std::printf(" | again on its connection %.2f ms vs raw %.2f ms: ratio %.2f", again->ms(),
                            rawAgain->ms(), again->ms() / rawAgain->ms());
            if (more)
                std::printf(" | MoreLog %.3f ms/page (goal < 1)", more->ms());
            if (rawLong && readLong)
                std::printf(" | 5,000,000-character value %.1f ms vs one sized read %.1f ms: ratio %.2f (goal <= 3,"
                            " linear: the driver converts it twice)",
                            readLong->ms(), rawLong->ms(), readLong->ms() / rawLong->ms());
            std::printf("\n");
        }
    }
};

// --- One long value --------------------------------------------------------------

constexpr int kLongChars = 5000000;
const char16_t kLongSql[] = u"SELECT v FROM BENCH_long";

QString longValue()
{
    QString v;
    v.reserve(kLongChars);
    while (v.size() < kLongChars)
        v += QStringLiteral("Order posted at the front desk, 登录 ");
    v.truncate(kLongChars);
    return v;
}

bool makeLongValue(const Backend& b)
{
    try {
        tallyquill::odbc::Connection c;
        c.open(QString::fromStdString(b.dsn), {}, {});
        c.execute(QStringLiteral("DROP TABLE IF EXISTS BENCH_long"));
        c.execute(QStringLiteral("CREATE TABLE BENCH_long (v text)"));
        auto insert = c.prepare(QStringLiteral("INSERT INTO BENCH_long (v) VALUES (?)"));
        insert->setParameters({longValue()});
        insert->execute();
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot make the long value: %s\n", b.name.c_str(), e.what());
        return false;
    }
}

// The floor of any reader: the whole value in one call.
void RawLongValue(benchmark::State& state, const Backend& b)
{
    RawConnection conn(b.dsn);
    std::u16string sql = kLongSql;
    std::vector<SQLWCHAR> buf(size_t(kLongChars) + 1);
    SQLLEN ind = 0;
    for (auto _ : state) {
        SQLHSTMT st;
        SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc(), &st);
        const bool ok = SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS))
                        && SQL_SUCCEEDED(SQLFetch(st))
                        && SQL_SUCCEEDED(SQLGetData(st, 1, SQL_C_WCHAR, buf.data(), SQLLEN(buf.size() * 2), &ind));
        SQLFreeHandle(SQL_HANDLE_STMT, st);
        if (!ok || ind != SQLLEN(kLongChars) * 2) {
            state.SkipWithError("raw read failed");
            break;
        }
    }
}

void ServiceLongValue(benchmark::State& state, const Backend& b)
{
    tallyquill::odbc::Connection c;
    c.open(QString::fromStdString(b.dsn), {}, {});
    for (auto _ : state) {
        auto rs = c.query(QString::fromUtf16(kLongSql));
        if (rs->text(0).size() != kLongChars) {
            state.SkipWithError("read a value of another length");
            break;
        }
    }
}

} // namespace

// Takes --rows=N, --rounds=N and --keep out of the arguments.
void takeOptions(int& argc, char** argv)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--rows=", 0) == 0)
            kRows = int(std::clamp(std::atoll(a.c_str() + 7), 100000LL, 100000000LL) / 10 * 10);
        else if (a.rfind("--rounds=", 0) == 0)
            gRounds = std::max(1, std::atoi(a.c_str() + 9));
        else if (a == "--keep")
            gKeep = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    kMarchRows = kRows / 10;
    makeCases();
}

int main(int argc, char** argv)
{
    takeOptions(argc, argv);
    benchmark::Initialize(&argc, argv);
    // Keep freed memory in the process. Otherwise glibc hands the top of the
    // heap back whenever a run happens to free it last (a viewer that goes,
    // with its connection's page cache), and the next run pays page faults
    // that the other contender, whose heap top stays pinned, does not.
    // GLIBC_TUNABLES, when set, decides instead.
    if (!qEnvironmentVariableIsSet("GLIBC_TUNABLES"))
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);

    std::vector<Backend> backends;
    Backend sqlite{"sqlite", "tqbench_viewer", {}, false};
    const QString file = gKeep ? QDir::tempPath() + QStringLiteral("/tq_bench_viewer_%1.sqlite").arg(kRows)
                               : dir.path() + QStringLiteral("/bench.sqlite");
    sqlite.dbFile = tallyquill::SetupEmbeddedDefault(sqlite.dsn, file.toStdString());
    backends.push_back(sqlite);
    const std::string pg = qEnvironmentVariable("TQ_PG_DSN").toStdString();
    if (!pg.empty())
        backends.push_back({"postgres", pg, {}, true});

    // Fixed counts keep the whole run to about a minute; the first-page
    // contenders alternate so that drift hits both alike.
    for (const Backend& b : backends) {
        if (!generate(b))
            return 1;
        const std::string be = "/" + b.name;
        // Interleaved: each filter's four contenders, round after round.
        for (int rep = 0; rep < gRounds; ++rep)
            for (const Case& c : kCases) {
                const std::string at = std::string("/") + c.name + be;
                // A day is quick; the others read up to the whole table, which
                // past a million rows takes seconds a count.
                const int n = std::strcmp(c.name, "day") == 0 ? 20 : kRows > 1000000 ? 1 : 3;
                auto add = [&](const std::string& name, auto fn, bool flag) {
                    benchmark::RegisterBenchmark((name + at).c_str(), fn, b, c, flag)
                        ->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(n);
                };
                add("Floor", RawFilter, false);
                add("FirstPage", ServiceFilter, false);
                add("CountFirst", RawFilter, true);
                add("Total", ServiceFilter, true);
            }
        for (int rep = 0; rep < 3; ++rep)
            for (bool fresh : {true, false}) {
                const std::string kind = fresh ? "FirstPage/" : "Again/";
                benchmark::RegisterBenchmark((kind + "raw" + be).c_str(), RawFirstPage, b, fresh)
                    ->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(40);
                benchmark::RegisterBenchmark((kind + "RetrieveLog" + be).c_str(), ServiceFirstPage, b, fresh)
                    ->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(40);
            }
        benchmark::RegisterBenchmark(("MoreLog" + be).c_str(), ServiceMoreLog, b)
            ->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(25000);
        if (!makeLongValue(b))
            return 1;
        for (int rep = 0; rep < 3; ++rep) {
            benchmark::RegisterBenchmark(("LongValue/raw" + be).c_str(), RawLongValue, b)
                ->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);
            benchmark::RegisterBenchmark(("LongValue/ResultSet" + be).c_str(), ServiceLongValue, b)
                ->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);
        }
    }
    ViewerReporter reporter(tqbench::ConsoleOptions());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const Backend& b : backends)
        try {
            tallyquill::odbc::Connection c;
            c.open(QString::fromStdString(b.dsn), {}, {});
            c.execute(QStringLiteral("DROP TABLE IF EXISTS BENCH_long"));
        } catch (const std::exception&) {
        }
    // The server's table is a hundred megabytes a million rows; the next run
    // makes it anew unless it is kept.
    for (const Backend& b : backends)
        if (b.postgres && !gKeep)
            try {
                tallyquill::odbc::Connection c;
                c.open(QString::fromStdString(b.dsn), {}, {});
                c.execute(QStringLiteral("DROP TABLE IF EXISTS ") + kTable);
            } catch (const std::exception&) {
            }
    return 0;
}
