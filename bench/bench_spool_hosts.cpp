// Eight host processes on one log at once, 3,000 rows each: how long until
// every row is in the table when the hosts write through the spool (and then
// wait in flushSpool, as a host that wants its rows delivered does), against
// the same hosts inserting each row themselves with plain unixODBC calls.
// Repetitions alternate which goes first; the figure is the median of the
// per-repetition ratios. Also the CPU the spooled hosts spent and the
// delivery lock attempts they made.
// SQLite always (a fresh WAL file); PostgreSQL when TQ_PG_DSN is set.
//   bench_spool_hosts [--benchmark_filter=...]
// The hosts are this program again:
//   bench_spool_hosts --host spooled|raw DSN APPID WSID COUNT

#include "BenchSupport.h"

#include "core/LogTable.h"
#include "odbc/Odbc.h"
#include "spool/Spool.h"
#include "tallyquill/embedded.h"
#include "tallyquill/msg_logger.h"

#include <QCoreApplication>
#include <QProcess>

#include <sys/resource.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kHosts = 8, kRowsEach = 3000, kReps = 3;
QString g_self;

double cpuMs()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3)
           + (double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3);
}

// Prints "done CPU_MS LOCK_ATTEMPTS" once its rows are written (and, spooled,
// delivered), then waits for its standard input to close.
int Host(const std::string& mode, const std::string& dsn, const std::string& app, const std::string& ws, int count)
{
    int64_t attempts = -1;
    if (mode == "spooled") {
        tallyquill::MsgLogger logger;
        logger.setSpooled(true);
        logger.setDSN(dsn);
        logger.setAppID(app);
        logger.setWorkstationID(ws);
        for (int i = 0; i < count; ++i)
            if (logger.WriteLog("host", "spool", ws + " row " + std::to_string(i)) != 0)
                return 1;
        if (!logger.flushSpool(600000))
            return 2;
        const QString table = QString::fromStdString(app) + QStringLiteral("_logs");
        attempts = tallyquill::spool::Spool::acquire({QString::fromStdString(dsn), table, {}, {}})
                       ->deliveryLockAttempts();
        std::printf("done %.0f %lld\n", cpuMs(), static_cast<long long>(attempts));
        std::fflush(stdout);
        char c;
        while (std::fread(&c, 1, 1, stdin) == 1) {
        }
        return 0;
    }
    SQLHENV env = SQL_NULL_HANDLE;
    SQLHDBC dbc = SQL_NULL_HANDLE;
    SQLHSTMT stmt = SQL_NULL_HANDLE;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::u16string name = QString::fromStdString(dsn).toStdU16String();
    if (!SQL_SUCCEEDED(SQLConnectW(dbc, reinterpret_cast<SQLWCHAR*>(name.data()), SQL_NTS, nullptr, 0, nullptr, 0)))
        return 3;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    std::u16string sql = u"INSERT INTO " + QString::fromStdString(app).toStdU16String()
                         + u"_logs (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data) "
                           u"VALUES (?,?,?,?,?,?,?)";
    if (!SQL_SUCCEEDED(SQLPrepareW(stmt, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS)))
        return 4;
    const SQLULEN sizes[7] = {10, 16, 8, 6, 15, 8, 250};
    std::u16string values[7] = {QString::fromStdString(app).toStdU16String(), QString::fromStdString(ws).toStdU16String(),
                                u"20260101", u"101010", u"HOST", u"SPOOL", u""};
    SQLLEN lengths[7];
    for (int i = 0; i < count; ++i) {
        values[6] = QString::fromStdString(ws + " row " + std::to_string(i)).toStdU16String();
        for (int c = 0; c < 7; ++c) {
            lengths[c] = SQLLEN(values[c].size() * 2);
            SQLBindParameter(stmt, SQLUSMALLINT(c + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, sizes[c], 0,
                             values[c].data(), lengths[c] + 2, &lengths[c]);
        }
        if (!SQL_SUCCEEDED(SQLExecute(stmt)))
            return 5;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    std::printf("done %.0f -1\n", cpuMs());
    std::fflush(stdout);
    return 0;
}

void freshTable(const std::string& dsn, const QString& table)
{
    tallyquill::odbc::Connection c;
    c.open(QString::fromStdString(dsn), {}, {});
    try {
        c.execute(QStringLiteral("DROP TABLE ") + table);
    } catch (const std::exception&) {
    }
    c.execute(tallyquill::CreateTableSql(table));
    c.execute(tallyquill::CreateIndexSql(table));
}

// Starts the hosts and times until every row is in the table.
void Hosts(benchmark::State& state, const std::string& dsn, const std::string& mode)
{
    static int run = 0;
    const std::string app = "BH" + std::to_string(++run);
    const QString table = QString::fromStdString(app) + QStringLiteral("_logs");
    freshTable(dsn, table);
    // The count's own connection; a count that fails (a server too busy to
    // answer in time) is asked again on a new one.
    tallyquill::odbc::Connection counter;
    std::unique_ptr<tallyquill::odbc::BoundStatement> count;
    auto rows = [&]() -> int64_t {
        try {
            if (!count) {
                counter.open(QString::fromStdString(dsn), {}, {});
                count = std::make_unique<tallyquill::odbc::BoundStatement>(
                    counter, QStringLiteral("SELECT COUNT(*) FROM ") + table);
            }
            return count->queryInteger().value_or(0);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "count: %s\n", e.what());
            count.reset();
            return 0;
        }
    };
    double cpuSum = 0, cpuMax = 0;
    int64_t attempts = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<QProcess>> hosts;
        const Clock::time_point start = Clock::now();
        for (int h = 0; h < kHosts; ++h) {
            hosts.push_back(std::make_unique<QProcess>());
            hosts.back()->start(g_self, {QStringLiteral("--host"), QString::fromStdString(mode),
                                         QString::fromStdString(dsn), QString::fromStdString(app),
                                         QStringLiteral("W%1").arg(h), QString::number(kRowsEach)});
        }
        int64_t n = 0;
        while ((n = rows()) < kHosts * kRowsEach
               && Clock::now() - start < std::chrono::minutes(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (n != kHosts * kRowsEach)
            state.SkipWithError("not every row arrived");
        for (auto& p : hosts) {
            if (!p->waitForReadyRead(600000)) {
                state.SkipWithError("a host did not finish");
                continue;
            }
            const QList<QByteArray> f = p->readAllStandardOutput().trimmed().split(' ');
            if (f.size() == 3 && f[0] == "done") {
                cpuSum += f[1].toDouble();
                cpuMax = std::max(cpuMax, f[1].toDouble());
                attempts += f[2].toLongLong();
            }
            p->closeWriteChannel();
        }
        for (auto& p : hosts)
            p->waitForFinished(60000);
    }
    state.counters["host_cpu_ms_mean"] = cpuSum / kHosts;
    state.counters["host_cpu_ms_max"] = cpuMax;
    if (mode == "spooled")
        state.counters["lock_attempts_mean"] = double(attempts) / kHosts;
    state.SetItemsProcessed(int64_t(kHosts) * kRowsEach);
}

class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const std::string name = r.benchmark_name();
            seconds_[name.substr(0, name.find("/iterations"))] = r.GetAdjustedRealTime() / 1e3;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%d hosts x %d rows: all rows in the table, spooled / raw inserts, %d repetitions\n", kHosts,
                    kRowsEach, kReps);
        for (const std::string backend : {"sqlite", "postgres"}) {
            std::vector<double> ratios;
            for (int rep = 0; rep < kReps; ++rep) {
                const std::string tail = "/" + backend + "/" + std::to_string(rep);
                const double raw = find("Raw" + tail), spooled = find("Spooled" + tail);
                if (raw > 0 && spooled > 0) {
                    ratios.push_back(spooled / raw);
                    std::printf("  %-8s rep %d: raw %.2f s, spooled %.2f s\n", backend.c_str(), rep, raw, spooled);
                }
            }
            if (ratios.empty())
                continue;
            std::sort(ratios.begin(), ratios.end());
            std::printf("  %-8s spooled / raw: median %.2f, lowest %.2f, highest %.2f\n", backend.c_str(),
                        ratios[ratios.size() / 2], ratios.front(), ratios.back());
        }
    }

private:
    double find(const std::string& name) const
    {
        auto it = seconds_.find(name);
        return it == seconds_.end() ? 0 : it->second;
    }
    std::map<std::string, double> seconds_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && std::strcmp(argv[1], "--host") == 0)
        return Host(argv[2], argv[3], argv[4], argv[5], std::stoi(argv[6]));
    QCoreApplication app(argc, argv);
    g_self = QCoreApplication::applicationFilePath();
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path() + QStringLiteral("/state")));
    const std::string sqlite = "tqbench_hosts";
    tallyquill::SetupEmbeddedDefault(sqlite, (dir.path() + QStringLiteral("/bench.sqlite")).toStdString());

    auto contenders = [](const std::string& backend, const std::string& dsn) {
        for (int rep = 0; rep < kReps; ++rep) {
            const std::string tail = "/" + backend + "/" + std::to_string(rep);
            for (int k = 0; k < 2; ++k) {
                const bool raw = (k == 0) == (rep % 2 == 0);
                benchmark::RegisterBenchmark(((raw ? "Raw" : "Spooled") + tail).c_str(), Hosts, dsn,
                                             std::string(raw ? "raw" : "spooled"))
                    ->Iterations(1)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    };
    contenders("sqlite", sqlite);
    const std::string pg = qEnvironmentVariable("TQ_PG_DSN").toStdString();
    if (!pg.empty())
        contenders("postgres", pg);

    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
