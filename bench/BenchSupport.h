#pragma once

// What the benchmarks share: a data-source file of their own, memory probes,
// a connection made with plain unixODBC calls (the baseline), and a reporter
// that prints each contender against its baseline.

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
