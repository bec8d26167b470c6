// WriteLog against a raw ODBC loop of the same prepared insert, on the same
// data source and in the same run. SQLite always (a fresh WAL file); the
// PostgreSQL data source named by TQ_PG_DSN when set.
//   bench_writelog [--benchmark_min_time=2]

#include "writer/LogConnection.h"
#include "writer/Global.h"
#include "odbc/Odbc.h"
#include "tallyquill/embedded.h"
#include "tallyquill/msg_logger.h"

#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

std::string g_sqliteDsn;

void createTable(const std::string& dsn, const QString& table)
{
    tallyquill::odbc::Connection c;
    c.open(QString::fromStdString(dsn), {}, {});
    // Both contenders start from the same state: no table of the other one.
    for (const char* old : {"BRAW_logs", "BLOG_logs"}) {
        try {
            c.execute(QStringLiteral("DROP TABLE ") + QLatin1String(old));
        } catch (const std::exception&) {
        }
    }
    // Give back the dropped table's pages, so that neither inserts into a
    // file full of free pages that the other left behind.
    c.execute(QStringLiteral("VACUUM"));
    // The table and index as MsgLogger::CreateTable makes them.
    c.execute(tallyquill::CreateTableSql(table));
    c.execute(tallyquill::CreateIndexSql(table));
}

// Plain unixODBC calls, no layer of ours: prepare once, bind, execute.
void RawInsert(benchmark::State& state, const std::string& dsn)
{
    createTable(dsn, QStringLiteral("BRAW_logs"));
    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::u16string name = QString::fromStdString(dsn).toStdU16String(), empty;
    if (!SQL_SUCCEEDED(SQLConnectW(dbc, reinterpret_cast<SQLWCHAR*>(name.data()), SQL_NTS,
                                   reinterpret_cast<SQLWCHAR*>(empty.data()), 0,
                                   reinterpret_cast<SQLWCHAR*>(empty.data()), 0))) {
        state.SkipWithError("cannot connect");
        return;
    }
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    std::u16string sql = u"INSERT INTO BRAW_logs (log_AppID, log_WsID, log_Date, log_Time, log_User, "
                         u"log_EventType, log_Data) VALUES (?,?,?,?,?,?,?)";
    SQLPrepareW(stmt, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS);
    const QDateTime now = QDateTime::currentDateTime();
    std::u16string values[7] = {u"BRAW", u"WS01", tallyquill::StoredDate(now).toStdU16String(),
                                tallyquill::StoredTime(now).toStdU16String(), u"JOHN", u"LOGIN",
                                u"Signed on at the front desk"};
    SQLLEN lengths[7];
    for (int i = 0; i < 7; ++i) {
        lengths[i] = SQLLEN(values[i].size() * 2);
        SQLBindParameter(stmt, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, values[i].size(), 0,
                         values[i].data(), lengths[i], &lengths[i]);
    }
    for (auto _ : state) {
        if (!SQL_SUCCEEDED(SQLExecute(stmt))) {
            state.SkipWithError("insert failed");
            break;
        }
        SQLFreeStmt(stmt, SQL_CLOSE);
    }
    state.SetItemsProcessed(state.iterations());
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

void WriteLog(benchmark::State& state, const std::string& dsn)
{
    createTable(dsn, QStringLiteral("BLOG_logs"));
    tallyquill::MsgLogger logger;
    logger.setDSN(dsn);
    logger.setAppID("BLOG");
    logger.setWorkstationID("WS01");
    for (auto _ : state)
        if (logger.WriteLog("john", "login", "Signed on at the front desk") != 0) {
            state.SkipWithError("WriteLog answered 1");
            break;
        }
    state.SetItemsProcessed(state.iterations());
}

// Prints each WriteLog rate as a share of its raw baseline.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end())
                rates_[r.benchmark_name()].push_back(it->second);
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char* backend : {"sqlite", "postgres"}) {
            const std::string raw = std::string("RawInsert/") + backend, log = std::string("WriteLog/") + backend;
            auto a = findRate(raw), b = findRate(log);
            if (a > 0 && b > 0)
                std::printf("%-8s raw %.0f rows/s, WriteLog %.0f rows/s, ratio %.2f\n", backend, a, b, b / a);
        }
    }

private:
    double findRate(const std::string& prefix) const
    {
        double sum = 0;
        int n = 0;
        for (const auto& [name, rates] : rates_)
            if (name.rfind(prefix, 0) == 0)
                for (double r : rates) {
                    sum += r;
                    ++n;
                }
        return n ? sum / n : 0;
    }
    std::map<std::string, std::vector<double>> rates_;
};

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    const QString ini = dir.path() + QStringLiteral("/odbc.ini");
    const QString shared = qEnvironmentVariable("ODBCINI", QDir::homePath() + QStringLiteral("/.odbc.ini"));
    if (QFile::exists(shared))
        QFile::copy(shared, ini);
    qputenv("ODBCINI", QFile::encodeName(ini));
    g_sqliteDsn = "tqbench_sqlite";
    tallyquill::SetupEmbeddedDefault(g_sqliteDsn, (dir.path() + QStringLiteral("/bench.sqlite")).toStdString());

    // Fixed row counts, so that both insert into tables that grow alike;
    // repetitions alternate the two, and the ratio compares their means.
    auto add = [](const char* backend, const std::string& dsn, int rows) {
        for (int rep = 0; rep < 3; ++rep) {
            benchmark::RegisterBenchmark((std::string("RawInsert/") + backend).c_str(), RawInsert, dsn)
                ->UseRealTime()->Iterations(rows);
            benchmark::RegisterBenchmark((std::string("WriteLog/") + backend).c_str(), WriteLog, dsn)
                ->UseRealTime()->Iterations(rows);
        }
    };
    add("sqlite", g_sqliteDsn, 20000);
    const std::string pg = qEnvironmentVariable("TQ_PG_DSN").toStdString();
    if (!pg.empty())
        add("postgres", pg, 10000);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
