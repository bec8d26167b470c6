// The archive of a generated log to daily files, against what the same
// machine does with the same rows, all measured in one run:
//   - the databases' own export tools: sqlite3 with .mode list and with
//     -csv, psql with \copy;
//   - bare ODBC reads of the archive's query with plain calls and nothing
//     written: bound narrow columns in a row array (the ceiling of one ODBC
//     connection), and wide text with SQLGetData per column;
//   - the archive itself, with the peak of its memory over the process's
//     start.
// The contenders take turns, round after round, so that whatever else the
// machine does falls on all of them; each reports its best and its median.
// SQLite always (a fresh WAL file); PostgreSQL when TQ_PG_DSN names a data
// source (psql reaches it at 127.0.0.1:$TQ_PG_PORT as postgres).
//   bench_archive [--rows=N] [--rounds=N] [--delete] [--benchmark_filter=...]
// --delete adds one archive with deletion, one day per transaction, after
// the rounds (it empties the table, so it runs last).
//
// Built as bench_list (TQ_BENCH_LIST), the contenders are the real command
// run as a child, writing the same rows to a file: `list` in text, CSV and
// JSON, and `archive --file`, beside the databases' own exports; each
// child's peak RSS comes from wait4.
//   bench_list [--rows=N] [--rounds=N]

#include "BenchSupport.h"

#include "odbc/Odbc.h"
#include "tallyquill/embedded.h"
#include "service/LogService.h"
#include "writer/LogConnection.h"
#include "core/LogTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

long long gRows = 1000000;
const QString kTable = QStringLiteral("BENCH_logs");
// The rows and order that the archive writes.
const char kArchiveSql[] = "SELECT log_Date, log_Time, log_AppID, log_WsID, log_User, log_EventType, log_Data "
                           "FROM BENCH_logs WHERE log_Date <= '19981231' ORDER BY log_Date, log_Time";
constexpr int kDays = 304;  // 1 January to 31 October

struct Backend {
    std::string name;  // "sqlite", "postgres"
    std::string dsn;
    std::string dbFile;  // SQLite only
    bool postgres = false;
};

// --- Memory --------------------------------------------------------------------

using tqbench::rssMB;
double gStartRss = 0;  // at the top of main

// --- Helpers -------------------------------------------------------------------

std::string shellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string env(const char* name, const char* fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string pgConnectionArgs()
{
    return " -X -q -h " + shellQuote(env("TQ_PG_HOST", "127.0.0.1")) + " -p " + shellQuote(env("TQ_PG_PORT", "55432"))
           + " -U " + shellQuote(env("TQ_PG_USER", "postgres")) + " -d "
           + shellQuote(env("TQ_PG_DATABASE", "tallyquill"));
}

// Line ends in the files below `path` (one file or a directory of them).
long long countLines(const QString& path, int* files = nullptr)
{
    QStringList list;
    if (QFileInfo(path).isDir()) {
        // The day files, without the manifest beside them.
        for (const QFileInfo& fi : QDir(path).entryInfoList({QStringLiteral("*.log")}, QDir::Files))
            list << fi.absoluteFilePath();
    } else {
        list << path;
    }
    if (files)
        *files = int(list.size());
    long long lines = 0;
    for (const QString& p : list) {
        QFile f(p);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        while (!f.atEnd())
            lines += f.read(1 << 20).count('\n');
    }
    return lines;
}

void emptyDir(const QString& path)
{
    for (const QFileInfo& fi : QDir(path).entryInfoList(QDir::Files))
        QFile::remove(fi.absoluteFilePath());
}

// --- The generated log ---------------------------------------------------------


bool generate(const Backend& b)
{
    QElapsedTimer t;
    t.start();
    try {
        tallyquill::odbc::Connection c;
        c.open(QString::fromStdString(b.dsn), {}, {});
        tqbench::MakeLog(c, b.postgres, gRows);
        auto rs = c.query(QStringLiteral("SELECT count(*) FROM ") + kTable);
        const long long rows = rs->text(0).toLongLong();
        if (rows != gRows) {
            std::fprintf(stderr, "%s: generated %lld rows instead of %lld\n", b.name.c_str(), rows, gRows);
            return false;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot generate %s: %s\n", b.name.c_str(), qPrintable(kTable), e.what());
        return false;
    }
    std::printf("%-8s generated %lld rows in %.1f s\n", b.name.c_str(), gRows, double(t.elapsed()) / 1000.0);
    std::fflush(stdout);
    return true;
}

// --- Contenders ----------------------------------------------------------------

// The database's own export of the same rows, run as its command-line tool.
void Export(benchmark::State& state, const Backend& b, const std::string& how)
{
    QTemporaryDir out;
    const std::string file = (out.path() + QStringLiteral("/export.txt")).toStdString();
    std::string cmd;
    if (how == "copy")
        cmd = "psql" + pgConnectionArgs() + " -c "
              + shellQuote("\\copy (" + std::string(kArchiveSql) + ") TO '" + file + "'") + " >/dev/null";
    else
        cmd = "sqlite3 " + std::string(how == "csv" ? "-csv " : "") + shellQuote(b.dbFile) + " "
              + std::string(how == "csv" ? "" : "'.mode list' ") + shellQuote(".output " + file) + " "
              + shellQuote(kArchiveSql);
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError(("export failed: " + cmd).c_str());
            break;
        }
    }
    if (!state.error_occurred() && countLines(QString::fromStdString(file)) != gRows)
        state.SkipWithError("export wrote an unexpected number of lines");
}

using tqbench::RawConnection;

// Every row of the archive's query read with plain calls, nothing written.
// bound: narrow columns bound in a row array of 512; otherwise wide text
// with SQLGetData per column, as a reader written the simple way does.
void OdbcRead(benchmark::State& state, const Backend& b, bool bound)
{
    RawConnection conn(b.dsn);
    if (!conn.ok()) {
        state.SkipWithError("cannot connect");
        return;
    }
    std::u16string sql = QString::fromLatin1(kArchiveSql).toStdU16String();
    constexpr SQLULEN kBlock = 512;
    const size_t widths[7] = {33, 33, 65, 65, 65, 65, 1025};
    std::vector<std::vector<char>> buffers(7);
    std::vector<std::vector<SQLLEN>> lengths(7, std::vector<SQLLEN>(kBlock));
    for (int c = 0; c < 7; ++c)
        buffers[size_t(c)].resize(widths[c] * kBlock);
    long long rows = 0, bytes = 0;
    for (auto _ : state) {
        rows = 0;
        SQLHSTMT st;
        SQLAllocHandle(SQL_HANDLE_STMT, conn.dbc(), &st);
        SQLULEN fetched = 0;
        if (bound) {
            SQLSetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kBlock), 0);
            SQLSetStmtAttr(st, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
        }
        bool ok = SQL_SUCCEEDED(SQLExecDirectW(st, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS));
        if (bound) {
            for (SQLUSMALLINT c = 0; ok && c < 7; ++c)
                ok = SQL_SUCCEEDED(SQLBindCol(st, SQLUSMALLINT(c + 1), SQL_C_CHAR, buffers[c].data(),
                                              SQLLEN(widths[c]), lengths[c].data()));
            while (ok && SQL_SUCCEEDED(SQLFetch(st))) {
                for (SQLULEN r = 0; r < fetched; ++r)
                    for (int c = 0; c < 7; ++c)
                        bytes += lengths[size_t(c)][r];
                rows += SQLLEN(fetched);
            }
        } else {
            SQLWCHAR buf[512];
            SQLLEN ind = 0;
            while (ok && SQL_SUCCEEDED(SQLFetch(st))) {
                for (SQLUSMALLINT c = 1; ok && c <= 7; ++c)
                    ok = SQL_SUCCEEDED(SQLGetData(st, c, SQL_C_WCHAR, buf, sizeof(buf), &ind));
                ++rows;
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, st);
        if (!ok || rows != gRows) {
            state.SkipWithError("plain ODBC read failed");
            break;
        }
    }
    benchmark::DoNotOptimize(bytes);
}

// The archive to daily files as the command runs it: a service made for the
// run, timed from the call to its return.
bool runArchive(const Backend& b, const QString& out, bool del, QString& error)
{
    tallyquill::LogService service;
    service.source = {QString::fromStdString(b.dsn), {}, {}, QStringLiteral("BENCH")};
    const tallyquill::ArchiveOutcome outcome = service.archive({.AppID = "BENCH",
                                                                .ArchiveDate = "19981231",
                                                                .ToFile = true,
                                                                .DelRecord = del,
                                                                .MultiFile = true,
                                                                .FilePrefix = "bench_",
                                                                .Filename = out},
                                                               {});
    error = outcome.reason;
    return outcome.ok;
}

void Archive(benchmark::State& state, const Backend& b, bool del)
{
    QTemporaryDir out;
    double peak = 0, growth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        emptyDir(out.path());
        tqbench::RssSampler rss;
        const double before = rssMB();
        rss.start();
        QString error;
        state.ResumeTiming();
        const bool ok = runArchive(b, out.path(), del, error);
        state.PauseTiming();
        const double grew = rss.stop();
        peak = std::max(peak, before + grew);
        growth = std::max(growth, grew);
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError(("archive failed: " + error.toStdString()).c_str());
            break;
        }
    }
    if (!state.error_occurred()) {
        int files = 0;
        const long long lines = countLines(out.path(), &files);
        if (lines != gRows || files != kDays)
            state.SkipWithError(("archive wrote " + std::to_string(lines) + " lines in " + std::to_string(files)
                                 + " files")
                                    .c_str());
    }
    state.counters["peak_rss_over_start_MB"] = peak - gStartRss;
    state.counters["rss_growth_in_run_MB"] = growth;
}

#ifdef TQ_BENCH_LIST
// The command as a child with its standard output in `out`: the peak RSS
// (MB) and whether it exited 0.
bool runCommand(const std::vector<std::string>& args, const std::string& out, double& maxRssMB)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, 1) < 0)
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    maxRssMB = double(usage.ru_maxrss) / 1024.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// `list` of the archive's rows in `format`, or with "archive" the archive
// of the same rows to one file.
void Command(benchmark::State& state, const Backend& b, const std::string& format)
{
    QTemporaryDir out;
    const std::string file = (out.path() + QStringLiteral("/out.txt")).toStdString();
    const std::string stdoutFile = format == "archive" ? "/dev/null" : file;
    std::vector<std::string> args = {TQ_CLI_PATH};
    if (format == "archive")
        args.insert(args.end(), {"archive", "--dsn", b.dsn, "--app", "BENCH", "--until", "1998-12-31", "--file", file});
    else
        args.insert(args.end(), {"list", "--dsn", b.dsn, "--app", "BENCH", "--from", "1998-01-01", "--to", "1998-12-31",
                                 "--format", format, "--no-pager"});
    double peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(QString::fromStdString(file));
        state.ResumeTiming();
        double rss = 0;
        const bool ok = runCommand(args, stdoutFile, rss);
        peak = std::max(peak, rss);
        if (!ok) {
            state.SkipWithError(("failed: tallyquill " + args[1]).c_str());
            break;
        }
    }
    // A header line for text and CSV.
    const long long header = format == "text" || format == "csv" ? 1 : 0;
    if (!state.error_occurred() && countLines(QString::fromStdString(file)) != gRows + header)
        state.SkipWithError("the command wrote an unexpected number of lines");
    state.counters["child_peak_rss_MB"] = peak;
}
#endif

// --- Report --------------------------------------------------------------------

// Per back end: each contender's best and median, and the archive's ratios
// (rows per second of the archive over that of the other) on medians.
class ArchiveReporter : public tqbench::RatioReporter {
public:
    using RatioReporter::RatioReporter;

protected:
    void summarize() override
    {
        std::printf("\n%lld rows; seconds per run, best / median of the rounds; ratio = archive rate over the other's "
                    "rate, on medians\n",
                    gRows);
        for (const char* backend : {"sqlite", "postgres"}) {
            const std::string be = std::string("/") + backend;
#ifdef TQ_BENCH_LIST
            const Figures* cli = find("archive-cli" + be);
            for (const char* name : {"export-list", "export-csv", "copy", "archive-cli", "list-text", "list-csv",
                                     "list-json"}) {
                const Figures* f = find(std::string(name) + be);
                if (!f || f->runs.empty())
                    continue;
                std::printf("%-8s %-12s best %7.3f s  median %7.3f s  (%d runs)  peak RSS %.1f MB", backend, name,
                            *std::min_element(f->runs.begin(), f->runs.end()) / 1000.0, f->ms() / 1000.0,
                            int(f->runs.size()), f->peak("child_peak_rss_MB"));
                if (cli && !cli->runs.empty() && f != cli)
                    std::printf("  time / archive's %.2f", f->ms() / cli->ms());
                std::printf("\n");
            }
            if (cli)
                std::printf("%-8s goals: list <= 1.25 x archive's time, peak RSS < 32 MB; archive >= %s x the "
                            "export's rate\n",
                            backend, std::strcmp(backend, "sqlite") == 0 ? "0.5" : "0.4");
            continue;
#endif
            const Figures* arc = find("archive" + be);
            bool any = false;
            for (const char* name : {"export-list", "export-csv", "copy", "odbc-bound-read", "odbc-wide-read", "archive",
                                     "archive-delete"}) {
                const Figures* f = find(std::string(name) + be);
                if (!f || f->runs.empty())
                    continue;
                any = true;
                std::printf("%-8s %-16s best %7.3f s  median %7.3f s  (%d runs)", backend, name,
                            *std::min_element(f->runs.begin(), f->runs.end()) / 1000.0, f->ms() / 1000.0,
                            int(f->runs.size()));
                if (arc && !arc->runs.empty() && f != arc && std::strcmp(name, "archive-delete") != 0)
                    std::printf("  archive ratio %.2f", f->ms() / arc->ms());
                if (f->peak("peak_rss_over_start_MB") > 0)
                    std::printf("  peak RSS %.1f MB over the process's start, %.1f MB over the run's",
                                f->peak("peak_rss_over_start_MB"), f->peak("rss_growth_in_run_MB"));
                std::printf("\n");
            }
            if (any && arc)
                std::printf("%-8s goals: archive >= 0.38 x native export, >= 0.80 x bound read, peak RSS < 20 MB over "
                            "start\n",
                            backend);
        }
    }
};

// Takes --rows=N, --rounds=N and --delete out of the arguments.
struct Options {
    int rounds = 5;
    bool del = false;
};
Options takeOptions(int& argc, char** argv)
{
    Options o;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--rows=", 0) == 0)
            gRows = std::max(10LL, std::atoll(a.c_str() + 7)) / 10 * 10;
        else if (a.rfind("--rounds=", 0) == 0)
            o.rounds = std::max(1, std::atoi(a.c_str() + 9));
        else if (a == "--delete")
            o.del = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    gStartRss = rssMB();
    const Options options = takeOptions(argc, argv);
    benchmark::Initialize(&argc, argv);
    // Keep freed memory in the process, so that no contender pays page faults
    // for a heap another one handed back, as the command does. GLIBC_TUNABLES,
    // when set, decides.
    if (!qEnvironmentVariableIsSet("GLIBC_TUNABLES")) {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
    }
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);

    std::vector<Backend> backends;
    Backend sqlite{"sqlite", "tqbench_archive", {}, false};
    sqlite.dbFile =
        tallyquill::SetupEmbeddedDefault(sqlite.dsn, (dir.path() + QStringLiteral("/bench.sqlite")).toStdString());
    backends.push_back(sqlite);
    const std::string pg = qEnvironmentVariable("TQ_PG_DSN").toStdString();
    if (!pg.empty())
        backends.push_back({"postgres", pg, {}, true});

    for (const Backend& b : backends) {
        if (!generate(b))
            return 1;
        const std::string be = "/" + b.name;
        auto add = [](const std::string& name, auto fn, auto... args) {
            benchmark::RegisterBenchmark(name.c_str(), fn, args...)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(1);
        };
        for (int round = 0; round < options.rounds; ++round) {
#ifdef TQ_BENCH_LIST
            if (b.postgres) {
                add("copy" + be, Export, b, std::string("copy"));
            } else {
                add("export-list" + be, Export, b, std::string("list"));
                add("export-csv" + be, Export, b, std::string("csv"));
            }
            add("archive-cli" + be, Command, b, std::string("archive"));
            for (const char* format : {"text", "csv", "json"})
                add(std::string("list-") + format + be, Command, b, std::string(format));
            continue;
#endif
            if (b.postgres) {
                add("copy" + be, Export, b, std::string("copy"));
            } else {
                add("export-list" + be, Export, b, std::string("list"));
                add("export-csv" + be, Export, b, std::string("csv"));
            }
            add("odbc-bound-read" + be, OdbcRead, b, true);
            add("odbc-wide-read" + be, OdbcRead, b, false);
            add("archive" + be, Archive, b, false);
        }
        if (options.del)
            add("archive-delete" + be, Archive, b, true);
    }
    ArchiveReporter reporter(tqbench::ConsoleOptions());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    // The server's table is large; the next run makes it anew.
    for (const Backend& b : backends)
        if (b.postgres)
            try {
                tallyquill::odbc::Connection c;
                c.open(QString::fromStdString(b.dsn), {}, {});
                c.execute(QStringLiteral("DROP TABLE IF EXISTS ") + kTable);
            } catch (const std::exception&) {
            }
    return 0;
}
