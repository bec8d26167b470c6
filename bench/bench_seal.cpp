// Sealing and verifying a generated log against a plain streamed read of the
// same rows through the same connection (bound narrow columns, every value
// touched, no order asked), all in one run: the contenders take turns, round
// after round, and each reports its median and best, with its peak memory
// over the process's start. SQLite always; PostgreSQL when TQ_PG_DSN names a
// data source.
//   bench_seal [--rows=N] [--rounds=N] [--postgres-only]

#include "BenchSupport.h"

#include "core/LogTable.h"
#include "core/Schema.h"
#include "odbc/Odbc.h"
#include "odbc/Utf8Rows.h"
#include "service/Seals.h"
#include "tallyquill/embedded.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

long long gRows = 1000000;
int gRounds = 3;
const QString kTable = QStringLiteral("BENCH_logs");



bool generate(tallyquill::odbc::Connection& c, bool postgres)
{
    c.execute(QStringLiteral("DROP TABLE IF EXISTS tallyquill_seals"));
    tqbench::MakeLog(c, postgres, gRows);
    return c.query(QStringLiteral("SELECT count(*) FROM ") + kTable)->text(0).toLongLong() == gRows;
}

// The baseline: every row of the sealed days read once, streamed.
long long plainRead(tallyquill::odbc::Connection& c)
{
    std::vector<size_t> capacities;
    for (const auto& col : tallyquill::kLogColumns)
        capacities.push_back(size_t(4) * size_t(col.width));
    tallyquill::odbc::Utf8Rows rows(c, QStringLiteral("SELECT ") + tallyquill::TableColumnList()
                                           + QStringLiteral(" FROM ") + kTable
                                           + QStringLiteral(" WHERE log_Date <= '19981231'"),
                                    capacities);
    long long n = 0, bytes = 0;
    while (rows.fetch())
        for (size_t r = 0; r < rows.rows(); ++r, ++n)
            for (size_t k = 0; k < 7; ++k)
                bytes += static_cast<long long>(rows.text(r, k).size());
    benchmark::DoNotOptimize(bytes);
    return n;
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Processor time is shown beside the clock's: on a machine that other work
// shares, it is the steadier of the two (the server's, on PostgreSQL, is not
// in it).
struct Result {
    std::vector<double> secs, cpu;
    double peakMB = 0;
    void add(double s, double c, double mb)
    {
        secs.push_back(s);
        cpu.push_back(c);
        peakMB = std::max(peakMB, mb);
    }
    static double medianOf(std::vector<double> v)
    {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    double median() const { return medianOf(secs); }
    double cpuMedian() const { return medianOf(cpu); }
    double best() const { return *std::min_element(secs.begin(), secs.end()); }
};

template <class F>
void timed(Result& r, double startRss, F&& f)
{
    tqbench::RssSampler rss;
    rss.start();
    QElapsedTimer t;
    const double cpu = processCpuSeconds();
    t.start();
    f();
    const double s = double(t.nsecsElapsed()) / 1e9;
    const double used = processCpuSeconds() - cpu;
    rss.stop();
    r.add(s, used, tqbench::rssMB() - startRss);
}

void runBackend(const std::string& name, const std::string& dsn, bool postgres, const QString& dir, double startRss)
{
    using namespace tallyquill;
    odbc::Connection c;
    c.open(QString::fromStdString(dsn), {}, {});
    QElapsedTimer g;
    g.start();
    if (!generate(c, postgres)) {
        std::fprintf(stderr, "%s: the log was not generated\n", name.c_str());
        return;
    }
    std::fprintf(stderr, "%s: %lld rows generated in %.1f s\n", name.c_str(), gRows, double(g.elapsed()) / 1000);
    Result read, sealing, verifying;
    const QString key = dir + QStringLiteral("/seal.key");
    long long sealed = 0;
    for (int round = 0; round < gRounds; ++round) {
        timed(read, startRss, [&] { sealed = plainRead(c); });
        c.execute(QStringLiteral("DROP TABLE IF EXISTS tallyquill_seals"));
        const QByteArray seed = seal::InitKeyFile(key, true);
        timed(sealing, startRss, [&] {
            seal::KeyFile k(key);
            seal::SealClosedDays(c, kTable, QStringLiteral("19981231"), k);
        });
        seal::TableVerdict v;
        timed(verifying, startRss, [&] { v = seal::VerifyTable(c, kTable, QStringLiteral("19981231"), {seed, {}}); });
        if (!v.intact())
            std::fprintf(stderr, "%s: the sealed log does not verify\n", name.c_str());
    }
    std::printf("%-8s %9lld rows  %-14s median %7.2f s  best %7.2f s  cpu %6.2f s  %8.0f rows/s  peak +%6.1f MB  %s\n",
                name.c_str(), sealed, "plain read", read.median(), read.best(), read.cpuMedian(),
                double(sealed) / read.median(), read.peakMB, "baseline");
    for (const auto& [what, r] : {std::pair<const char*, const Result*>{"seal", &sealing}, {"verify --key", &verifying}})
        std::printf("%-8s %9lld rows  %-14s median %7.2f s  best %7.2f s  cpu %6.2f s  %8.0f rows/s  peak +%6.1f MB  "
                    "%.2fx of the read (best %.2fx, cpu %.2fx)\n",
                    name.c_str(), sealed, what, r->median(), r->best(), r->cpuMedian(), double(sealed) / r->median(),
                    r->peakMB, read.median() / r->median(), read.best() / r->best(), read.cpuMedian() / r->cpuMedian());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    // The drivers hand out narrow text as UTF-8 only under a UTF-8 locale;
    // elsewhere sealing reads every value as wide text.
    std::setlocale(LC_ALL, "C.UTF-8");
    const double startRss = tqbench::rssMB();
    bool postgresOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--postgres-only") == 0)
            postgresOnly = true;
        else if (std::strncmp(argv[i], "--rows=", 7) == 0)
            gRows = std::atoll(argv[i] + 7);
        else if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            gRounds = std::max(1, std::atoi(argv[i] + 9));
    }
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);
    const std::string lite = "tqbench_seal";
    tallyquill::SetupEmbeddedDefault(lite, (dir.path() + QStringLiteral("/bench.sqlite")).toStdString());
    try {
        if (!postgresOnly)
            runBackend("sqlite", lite, false, dir.path(), startRss);
        if (const QByteArray pg = qgetenv("TQ_PG_DSN"); !pg.isEmpty())
            runBackend("postgres", pg.toStdString(), true, dir.path(), startRss);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_seal: %s\n", e.what());
        return 1;
    }
    return 0;
}
