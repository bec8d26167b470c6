#pragma once

// What the benchmarks share: a data-source file of their own, memory probes,
// a connection made with plain unixODBC calls (the baseline), and a reporter
// that prints each contender against its baseline.

#include "core/LogTable.h"
#include "odbc/Odbc.h"
#include "writer/LogConnection.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace tqbench {

// Points ODBCINI at a copy in `dir`, so that the data sources a benchmark
// registers never touch the user's own (those already there stay usable).
inline void IsolateDataSources(const QTemporaryDir& dir)
{
    const QString ini = dir.path() + QStringLiteral("/odbc.ini");
    const QString shared = qEnvironmentVariable("ODBCINI", QDir::homePath() + QStringLiteral("/.odbc.ini"));
    if (QFile::exists(shared))
        QFile::copy(shared, ini);
    qputenv("ODBCINI", QFile::encodeName(ini));
}

// --- The generated log ---------------------------------------------------------

// Row i lies in month i / (N/10) of 1998; within its month the rows are split
// into as many consecutive blocks as the month has days, spread evenly over
// each day, so that insertion order is (date, time) order as in a real log.
// SQLite: the CTE follows INSERT, since the ODBC driver inserts nothing for a
// statement that begins with WITH.
inline constexpr char kSqliteFill[] = R"(
INSERT INTO BENCH_logs (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data)
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < @N@ - 1)
SELECT 'BENCH', 'WS0' || (i % 4 + 1),
       printf('1998%02d%02d', m + 1, day + 1),
       printf('%02d%02d%02d', sec / 3600, sec / 60 % 60, sec % 60),
       CASE i % 5 WHEN 0 THEN 'ANNA' WHEN 1 THEN 'BORIS' WHEN 2 THEN 'CLARA' WHEN 3 THEN 'DMITRI' ELSE 'ELENA' END,
       CASE i % 4 WHEN 0 THEN 'LOGIN' WHEN 1 THEN 'UPDATE' WHEN 2 THEN 'PRINT' ELSE 'LOGOUT' END,
       printf('Order %07d posted at front desk', i)
FROM (SELECT i, m, day, (j - (day * @M@ + days - 1) / days) * 86399 * days / @M@ AS sec
      FROM (SELECT i, m, j, days, j * days / @M@ AS day
            FROM (SELECT i, i / @M@ AS m, i % @M@ AS j,
                         CAST(substr('31283130313031313031', (i / @M@) * 2 + 1, 2) AS INTEGER) AS days
                  FROM n)))
)";

inline constexpr char kPostgresFill[] = R"(
INSERT INTO BENCH_logs (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data)
SELECT 'BENCH', 'WS0' || (i % 4 + 1),
       '1998' || lpad((m + 1)::text, 2, '0') || lpad((day + 1)::text, 2, '0'),
       lpad((sec / 3600)::text, 2, '0') || lpad((sec / 60 % 60)::text, 2, '0') || lpad((sec % 60)::text, 2, '0'),
       CASE i % 5 WHEN 0 THEN 'ANNA' WHEN 1 THEN 'BORIS' WHEN 2 THEN 'CLARA' WHEN 3 THEN 'DMITRI' ELSE 'ELENA' END,
       CASE i % 4 WHEN 0 THEN 'LOGIN' WHEN 1 THEN 'UPDATE' WHEN 2 THEN 'PRINT' ELSE 'LOGOUT' END,
       'Order ' || lpad(i::text, 7, '0') || ' posted at front desk'
FROM (SELECT i, m, day, (j - (day * @M@ + days - 1) / days) * 86399 * days / @M@ AS sec
      FROM (SELECT i, m, j, days, j * days / @M@ AS day
            FROM (SELECT i::bigint, i / @M@ AS m, i % @M@ AS j,
                         substr('31283130313031313031', (i / @M@)::int * 2 + 1, 2)::bigint AS days
                  FROM generate_series(@A@, @B@) AS n(i)) a) b) c
)";

// The statements that fill BENCH_logs with `rows` rows; on a server in
// slices, since one statement may not outlast the query timeout.
inline std::vector<QString> FillStatements(bool postgres, long long rows)
{
    QString fill = QString::fromLatin1(postgres ? kPostgresFill : kSqliteFill);
    fill.replace(QStringLiteral("@N@"), QString::number(rows)).replace(QStringLiteral("@M@"), QString::number(rows / 10));
    if (!postgres)
        return {fill};
    std::vector<QString> slices;
    for (long long a = 0; a < rows; a += 100000)
        slices.push_back(QString(fill).replace(QStringLiteral("@A@"), QString::number(a))
                             .replace(QStringLiteral("@B@"), QString::number(std::min(rows, a + 100000) - 1)));
    return slices;
}

// BENCH_logs made anew with `rows` rows, its index and fresh statistics;
// on PostgreSQL the visibility map too, so that autovacuum does not start on
// the fresh table in the middle of a measurement.
inline void MakeLog(tallyquill::odbc::Connection& c, bool postgres, long long rows)
{
    const QString table = QStringLiteral("BENCH_logs");
    c.execute(QStringLiteral("DROP TABLE IF EXISTS ") + table);
    c.execute(tallyquill::CreateTableSql(table));
    c.execute(tallyquill::CreateIndexSql(table));
    for (const QString& fill : FillStatements(postgres, rows))
        c.execute(fill);
    c.execute(postgres ? QStringLiteral("VACUUM ANALYZE ") + table : QStringLiteral("ANALYZE"));
}

inline double rssMB()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    long size = 0, resident = 0;
    const int got = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return got == 2 ? double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

// Bytes the allocator has handed out and not had back: unlike RSS, not
// hidden by free memory that the heap already holds.
inline double heapMB()
{
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

// Highest RSS seen while a long call runs; a reading before and after would
// miss memory that is taken and given back within the call.
class RssSampler {
public:
    void start()
    {
        base_ = peak_ = rssMB();
        stop_ = false;
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                const double now = rssMB();
                double seen = peak_.load();
                while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    // Peak growth over the reading taken at start().
    double stop()
    {
        stop_ = true;
        thread_.join();
        const double now = rssMB();
        return std::max(peak_.load(), now) - base_;
    }

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<double> peak_{0};
    double base_ = 0;
};

// A connection made with plain unixODBC calls, no layer of ours.
class RawConnection {
public:
    explicit RawConnection(const std::string& dsn)
    {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
        std::u16string name = QString::fromStdString(dsn).toStdU16String(), empty;
        ok_ = SQL_SUCCEEDED(SQLConnectW(dbc_, reinterpret_cast<SQLWCHAR*>(name.data()), SQL_NTS,
                                        reinterpret_cast<SQLWCHAR*>(empty.data()), 0,
                                        reinterpret_cast<SQLWCHAR*>(empty.data()), 0));
    }
    ~RawConnection()
    {
        if (ok_)
            SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    bool ok() const { return ok_; }
    SQLHDBC dbc() const { return dbc_; }

private:
    SQLHENV env_ = SQL_NULL_HANDLE;
    SQLHDBC dbc_ = SQL_NULL_HANDLE;
    bool ok_ = false;
};

// Collects each benchmark's repetitions by name; a subclass prints its
// contenders against their baselines in summarize().
class RatioReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;

    struct Figures {
        std::vector<double> runs;  // ms per iteration of each repetition
        std::map<std::string, double> peaks;  // the highest of each counter
        // The median repetition: other work on the machine can slow any one
        // of them down, and a mean would carry that into the ratio.
        double ms() const
        {
            std::vector<double> v = runs;
            std::sort(v.begin(), v.end());
            const size_t n = v.size();
            return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
        }
        double best() const { return runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end()); }
        // Items per second when each iteration handles `items`.
        double rate(double items = 1) const { return ms() > 0 ? items / (ms() / 1000.0) : 0; }
        double peak(const std::string& counter) const
        {
            auto it = peaks.find(counter);
            return it == peaks.end() ? 0 : it->second;
        }
    };

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.iterations == 0 || r.run_type != Run::RT_Iteration)
                continue;
            Figures& f = figures_[r.run_name.function_name];
            f.runs.push_back(r.real_accumulated_time * 1000.0 / double(r.iterations));
            for (const auto& [name, value] : r.counters)
                f.peaks[name] = std::max(f.peaks[name], double(value));
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        summarize();
    }

protected:
    virtual void summarize() = 0;
    const Figures* find(const std::string& name) const
    {
        auto it = figures_.find(name);
        return it == figures_.end() ? nullptr : &it->second;
    }

private:
    std::map<std::string, Figures> figures_;
};

inline benchmark::ConsoleReporter::OutputOptions ConsoleOptions()
{
    return isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                 : benchmark::ConsoleReporter::OO_Tabular;
}

} // namespace tqbench
