// The spooled writer, in the same run and on the same data sources:
//  - the latency of a spooled WriteLog call (median, 99th percentile, worst)
//    with the database up, down, and locked by another writer;
//  - the delivery rate from a full spool against the fastest raw ODBC batch
//    insert of the same rows (parameter arrays or one multi-row INSERT, a
//    transaction per 500 rows), with the synchronous WriteLog rate beside it.
// SQLite always (a fresh WAL file); PostgreSQL when TQ_PG_DSN is set.
//   bench_spool [--benchmark_filter=...]

#include "writer/LogConnection.h"
#include "core/LogRecord.h"
#include "core/LogTable.h"
#include "spool/SpoolDelivery.h"
#include "spool/SpoolFile.h"
#include "odbc/Odbc.h"
#include "tallyquill/embedded.h"
#include "tallyquill/msg_logger.h"

#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace spool = tallyquill::spool;

constexpr int kRows = 40000;
constexpr int kBatch = 500;
const char16_t* const kValues[7] = {u"BSPL", u"WS01", u"20260101", u"101010", u"JOHN", u"LOGIN",
                                    u"Signed on at the front desk"};
QString g_dir;  // spools and databases of this run
// Bound as the columns are declared: the SQLite driver runs markedly faster
// so than with the values' own lengths.
const SQLULEN kColumnSizes[7] = {10, 16, 8, 6, 15, 8, 250};

void freshTable(const std::string& dsn, const QString& table)
{
    tallyquill::odbc::Connection c;
    c.open(QString::fromStdString(dsn), {}, {});
    try {
        c.execute(QStringLiteral("DROP TABLE ") + table);
    } catch (const std::exception&) {
    }
    c.execute(QStringLiteral("VACUUM"));
    c.execute(tallyquill::CreateTableSql(table));
    c.execute(tallyquill::CreateIndexSql(table));
}

// --- Raw baselines: plain unixODBC calls, no layer of ours -----------------------

struct Raw {
    SQLHENV env = SQL_NULL_HANDLE;
    SQLHDBC dbc = SQL_NULL_HANDLE;
    SQLHSTMT stmt = SQL_NULL_HANDLE;
    bool sqlite = false;
    explicit Raw(const std::string& dsn)
    {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
        std::u16string name = QString::fromStdString(dsn).toStdU16String();
        if (!SQL_SUCCEEDED(SQLConnectW(dbc, reinterpret_cast<SQLWCHAR*>(name.data()), SQL_NTS, nullptr, 0, nullptr, 0)))
            throw std::runtime_error("cannot connect");
        SQLWCHAR product[64] = {};
        SQLSMALLINT len = 0;
        SQLGetInfoW(dbc, SQL_DBMS_NAME, product, sizeof product, &len);
        sqlite = product[0] == u'S';
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    }
    ~Raw()
    {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
    void exec(const char16_t* sql)
    {
        SQLHSTMT s;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s);
        SQLExecDirectW(s, reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(sql)), SQL_NTS);
        SQLFreeHandle(SQL_HANDLE_STMT, s);
    }
    void begin(bool transaction)
    {
        if (!transaction)
            return;
        if (sqlite)
            exec(u"BEGIN IMMEDIATE");
        else
            SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    }
    void commit(bool transaction)
    {
        if (!transaction)
            return;
        if (sqlite)
            exec(u"COMMIT");
        else
            SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
    }
};

enum class Method { ArrayAutocommit, ArrayTransaction, MultiRowTransaction };

// kRows rows, kBatch at a time: either one statement with SQL_ATTR_PARAMSET_SIZE
// kBatch, or one INSERT with kBatch value lists.
void RawBatchInsert(benchmark::State& state, const std::string& dsn, Method method)
{
    freshTable(dsn, QStringLiteral("BRAW_logs"));
    Raw raw(dsn);
    const bool multi = method == Method::MultiRowTransaction;
    std::u16string sql = u"INSERT INTO BRAW_logs (log_AppID, log_WsID, log_Date, log_Time, log_User, "
                         u"log_EventType, log_Data) VALUES (?,?,?,?,?,?,?)";
    for (int r = 1; multi && r < kBatch; ++r)
        sql += u",(?,?,?,?,?,?,?)";
    if (!SQL_SUCCEEDED(SQLPrepareW(raw.stmt, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS))) {
        state.SkipWithError("prepare failed");
        return;
    }
    std::vector<std::vector<char16_t>> buffers(7);
    std::vector<std::vector<SQLLEN>> lengths(7);
    std::vector<size_t> widths(7);
    for (int c = 0; c < 7; ++c) {
        const std::u16string v = kValues[c];
        widths[size_t(c)] = v.size() + 1;
        for (int r = 0; r < kBatch; ++r) {
            buffers[size_t(c)].insert(buffers[size_t(c)].end(), v.begin(), v.end());
            buffers[size_t(c)].push_back(0);
            lengths[size_t(c)].push_back(SQLLEN(v.size() * 2));
        }
    }
    if (!multi) {
        SQLSetStmtAttr(raw.stmt, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0);
        SQLSetStmtAttr(raw.stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(kBatch)), 0);
        for (int c = 0; c < 7; ++c)
            SQLBindParameter(raw.stmt, SQLUSMALLINT(c + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                             kColumnSizes[c], 0, buffers[size_t(c)].data(), SQLLEN(widths[size_t(c)] * 2),
                             lengths[size_t(c)].data());
    } else {
        for (int r = 0; r < kBatch; ++r)
            for (int c = 0; c < 7; ++c)
                SQLBindParameter(raw.stmt, SQLUSMALLINT(r * 7 + c + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                 kColumnSizes[c], 0, &buffers[size_t(c)][size_t(r) * widths[size_t(c)]],
                                 SQLLEN(widths[size_t(c)] * 2), &lengths[size_t(c)][size_t(r)]);
    }
    const bool transaction = method != Method::ArrayAutocommit;
    for (auto _ : state) {
        for (int done = 0; done < kRows; done += kBatch) {
            raw.begin(transaction);
            if (!SQL_SUCCEEDED(SQLExecute(raw.stmt))) {
                state.SkipWithError("insert failed");
                return;
            }
            SQLFreeStmt(raw.stmt, SQL_CLOSE);
            raw.commit(transaction);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kRows);
}

// --- The spooled writer ------------------------------------------------------------

// Delivers kRows rows from a full spool with the code the delivery thread and
// `spool flush` run.
void Delivery(benchmark::State& state, const std::string& dsn)
{
    freshTable(dsn, QStringLiteral("BSPL_logs"));
    static int n = 0;
    const QString dir = g_dir + QStringLiteral("/delivery%1").arg(++n);
    QDir().mkpath(dir);
    auto file = spool::SpoolFile::open(dir, {QString::fromStdString(dsn), QStringLiteral("BSPL_logs"), {}});
    file->tryLockDelivery();
    spool::Deliverer deliverer(QString::fromStdString(dsn));
    deliverer.deliverBatch(*file);  // connects and reads the mark, as a running thread has
    QByteArray frames;
    const spool::Record r{QString::fromUtf16(kValues[0]), QString::fromUtf16(kValues[1]),
                          QString::fromUtf16(kValues[2]), QString::fromUtf16(kValues[3]),
                          QString::fromUtf16(kValues[4]), QString::fromUtf16(kValues[5]),
                          QString::fromUtf16(kValues[6])};
    for (int i = 0; i < kRows; ++i)
        frames += spool::EncodeRecord(r);
    file->append(frames, uint64_t(1) << 30);
    file->sync();
    size_t delivered = 0;
    for (auto _ : state) {
        while (const size_t k = deliverer.deliverBatch(*file))
            delivered += k;
    }
    if (delivered != size_t(kRows))
        state.SkipWithError("not every row was delivered");
    state.SetItemsProcessed(int64_t(delivered));
}

void SyncWriteLog(benchmark::State& state, const std::string& dsn)
{
    freshTable(dsn, QStringLiteral("BSPL_logs"));
    tallyquill::MsgLogger logger;
    logger.setDSN(dsn);
    logger.setAppID("BSPL");
    logger.setWorkstationID("WS01");
    for (auto _ : state)
        if (logger.WriteLog("john", "login", "Signed on at the front desk") != 0) {
            state.SkipWithError("WriteLog answered 1");
            break;
        }
    state.SetItemsProcessed(state.iterations());
}

// Each spooled call timed alone: with the database up (the delivery runs
// beside the calls), down, or locked by another connection's write
// transaction for the whole run.
void SpooledLatency(benchmark::State& state, const std::string& dsn, const std::string& condition)
{
    std::unique_ptr<Raw> holder;
    if (condition == "locked") {
        freshTable(dsn, QStringLiteral("BLAT_logs"));
        holder = std::make_unique<Raw>(dsn);
        holder->exec(u"BEGIN IMMEDIATE");  // another writer's transaction
    }
    std::vector<double> us;
    us.reserve(size_t(state.max_iterations));
    {
        tallyquill::MsgLogger logger;
        logger.setSpooled(true);
        logger.setDSN(dsn);
        logger.setAppID("BLAT");
        logger.setWorkstationID("WS01");
        for (auto _ : state) {
            const Clock::time_point t = Clock::now();
            const int16_t rc = logger.WriteLog("john", "login", "Signed on at the front desk");
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
            if (rc != 0) {
                state.SkipWithError("WriteLog answered 1");
                break;
            }
        }
        if (holder)
            holder->exec(u"COMMIT");
        if (condition != "down")
            logger.flushSpool(120000);
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        state.counters["p50_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[us.size() * 99 / 100];
        state.counters["max_us"] = us.back();
    }
    state.SetItemsProcessed(state.iterations());
}

constexpr int kReps = 5;
const char* const kRawMethods[] = {"RawArrayAutocommit", "RawArrayTransaction", "RawMultiRowTransaction"};

// The machine is shared, so rates drift by more than the difference sought:
// each repetition compares the delivery with the raw inserts run next to it,
// and the median of those ratios is the figure.
class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const std::string name = r.benchmark_name();
            if (auto it = r.counters.find("items_per_second"); it != r.counters.end())
                rates_[name.substr(0, name.find("/iterations"))] = it->second;
            if (auto it = r.counters.find("p99_us"); it != r.counters.end())
                latency_.push_back(name.substr(0, name.find("/iterations")) + ": median " + fmt(r.counters.at("p50_us"))
                                   + " us, p99 " + fmt(it->second) + " us, worst " + fmt(r.counters.at("max_us"))
                                   + " us");
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nSpooled WriteLog latency (%d calls each)\n", kRows);
        for (const std::string& line : latency_)
            std::printf("  %s\n", line.c_str());
        std::printf("\nDelivery against the fastest raw batch insert, %d rows, %d repetitions\n", kRows, kReps);
        for (const std::string backend : {"sqlite", "postgres"}) {
            std::vector<double> ratios;
            std::map<std::string, double> sums;
            for (int rep = 0; rep < kReps; ++rep) {
                const std::string tail = "/" + backend + "/" + std::to_string(rep);
                double best = 0;
                for (const char* m : kRawMethods) {
                    const double rate = find(m + tail);
                    sums[m] += rate / kReps;
                    best = std::max(best, rate);
                }
                const double delivery = find("Delivery" + tail);
                sums["Delivery"] += delivery / kReps;
                sums["SyncWriteLog"] += find("SyncWriteLog" + tail) / kReps;
                if (best > 0 && delivery > 0)
                    ratios.push_back(delivery / best);
            }
            if (ratios.empty())
                continue;
            std::sort(ratios.begin(), ratios.end());
            for (const auto& [name, mean] : sums)
                std::printf("  %-8s %-24s %8.0f rows/s (mean)\n", backend.c_str(), name.c_str(), mean);
            std::printf("  %-8s delivery / fastest raw: median %.2f, lowest %.2f, highest %.2f\n", backend.c_str(),
                        ratios[ratios.size() / 2], ratios.front(), ratios.back());
        }
    }

private:
    static std::string fmt(double v)
    {
        char b[32];
        std::snprintf(b, sizeof b, "%.0f", v);
        return b;
    }
    double find(const std::string& name) const
    {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0 : it->second;
    }
    std::map<std::string, double> rates_;
    std::vector<std::string> latency_;
};

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    g_dir = dir.path();
    const QString ini = dir.path() + QStringLiteral("/odbc.ini");
    const QString shared = qEnvironmentVariable("ODBCINI", QDir::homePath() + QStringLiteral("/.odbc.ini"));
    if (QFile::exists(shared))
        QFile::copy(shared, ini);
    qputenv("ODBCINI", QFile::encodeName(ini));
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path() + QStringLiteral("/state")));
    const std::string sqlite = "tqbench_spool";
    tallyquill::SetupEmbeddedDefault(sqlite, (dir.path() + QStringLiteral("/bench.sqlite")).toStdString());
    // Down: a SQLite file in a directory that does not exist.
    const std::string down = "tqbench_down";
    tallyquill::odbc::writeUserDsn(QString::fromStdString(down), QStringLiteral("SQLite3"),
                                   {{QStringLiteral("Database"), dir.path() + QStringLiteral("/absent/x.sqlite")}});

    auto latency = [](const std::string& name, const std::string& dsn, const std::string& condition) {
        benchmark::RegisterBenchmark(("SpooledLatency/" + name).c_str(), SpooledLatency, dsn, condition)
            ->Iterations(kRows)
            ->UseRealTime();
    };
    latency("up/sqlite", sqlite, "up");
    latency("down/sqlite", down, "down");
    latency("locked/sqlite", sqlite, "locked");
    const std::string pg = qEnvironmentVariable("TQ_PG_DSN").toStdString();
    if (!pg.empty()) {
        latency("up/postgres", pg, "up");
        // Down: a server that refuses the connection.
        tallyquill::odbc::writeUserDsn(QStringLiteral("tqbench_pgdown"), QStringLiteral("PostgreSQL Unicode"),
                                       {{QStringLiteral("Servername"), QStringLiteral("127.0.0.1")},
                                        {QStringLiteral("Port"), QStringLiteral("1")},
                                        {QStringLiteral("Database"), QStringLiteral("tallyquill")}});
        latency("down/postgres", "tqbench_pgdown", "down");
    }

    // Repetitions alternate the contenders, each on a fresh table, and swap
    // which of the delivery and the raw inserts goes first.
    auto throughput = [](const std::string& backend, const std::string& dsn) {
        for (int rep = 0; rep < kReps; ++rep) {
            const std::string tail = "/" + backend + "/" + std::to_string(rep);
            auto raws = [&] {
                const Method methods[] = {Method::ArrayAutocommit, Method::ArrayTransaction,
                                          Method::MultiRowTransaction};
                for (int m = 0; m < 3; ++m)
                    benchmark::RegisterBenchmark((kRawMethods[m] + tail).c_str(), RawBatchInsert, dsn, methods[m])
                        ->Iterations(1)
                        ->UseRealTime();
            };
            auto delivery = [&] {
                benchmark::RegisterBenchmark(("Delivery" + tail).c_str(), Delivery, dsn)->Iterations(1)->UseRealTime();
            };
            if (rep % 2 == 0) {
                raws();
                delivery();
            } else {
                delivery();
                raws();
            }
            benchmark::RegisterBenchmark(("SyncWriteLog" + tail).c_str(), SyncWriteLog, dsn)
                ->Iterations(kRows / 4)
                ->UseRealTime();
        }
    };
    throughput("sqlite", sqlite);
    if (!pg.empty())
        throughput("postgres", pg);

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
