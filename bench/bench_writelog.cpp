// WriteLog against a raw ODBC loop of the same prepared insert, on the same
// data source and in the same run. SQLite always (a fresh WAL file); the
// PostgreSQL data source named by TQ_PG_DSN when set.
//   bench_writelog [--benchmark_min_time=2]

#include "BenchSupport.h"

#include "odbc/Odbc.h"
#include "tallyquill/embedded.h"
#include "tallyquill/msg_logger.h"
#include "core/LogRecord.h"
#include "core/LogTable.h"

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
    tqbench::RawConnection conn(dsn);
    if (!conn.ok()) {
        state.SkipWithError("cannot connect");
        return;
    }
    SQLHSTMT stmt;
    SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc(), &stmt);
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

// Prints each WriteLog rate as a share of its raw baseline, each the median
// of its repetitions.
class WriteLogReporter : public tqbench::RatioReporter {
public:
    using RatioReporter::RatioReporter;

protected:
    void summarize() override
    {
        for (const char* backend : {"sqlite", "postgres"}) {
            const Figures* raw = find(std::string("RawInsert/") + backend);
            const Figures* log = find(std::string("WriteLog/") + backend);
            if (raw && log && raw->rate() > 0 && log->rate() > 0)
                std::printf("%-8s raw %.0f rows/s, WriteLog %.0f rows/s, ratio %.2f\n", backend, raw->rate(),
                            log->rate(), log->rate() / raw->rate());
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);
    g_sqliteDsn = "tqbench_sqlite";
    tallyquill::SetupEmbeddedDefault(g_sqliteDsn, (dir.path() + QStringLiteral("/bench.sqlite")).toStdString());

    // Fixed row counts, so that both insert into tables that grow alike;
    // repetitions alternate the two, and the ratio compares their medians.
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
    WriteLogReporter reporter(tqbench::ConsoleOptions());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
