// tallyquill: the command-line face of the library. It never opens a window
// for its headless verbs; messages go to stderr, results to stdout.

#include "tool/ArchiveLine.h"
#include "tool/Dates.h"
#include "tool/Follow.h"
#include "tool/Formats.h"
#include "tool/Output.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "msgbox/MessageBox.h"
#include "tallyquill/embedded.h"
#include "tallyquill/msg_logger.h"
#include "viewer/CommandService.h"
#include "viewer/LogService.h"
#include "viewer/ViewerAdapter.h"
#include "writer/LogConnection.h"
#include "writer/RecordCheck.h"
#include "writer/Spool.h"

#include <CLI/CLI.hpp>

#include <QDate>
#include <QFile>
#include <QTemporaryFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <QElapsedTimer>

#include <unistd.h>

namespace {

using namespace tallyquill;
using namespace tallyquill::cli;

const char* const kFooter = R"(Environment:
  TALLYQUILL_DSN       default for --dsn in every verb
  TALLYQUILL_APP       default for --app in every verb
  TALLYQUILL_PASSWORD  default for --password (other users cannot read it)

Dates (--from/--since, --to/--until): YYYY-MM-DD, optionally with a time
(YYYY-MM-DDTHH:MM:SS); dd/mm/yyyy where it cannot be misread (day above 12)
or with --date-order dmy|mdy; today, yesterday, now, -7d, -12h, -30m. A day
given as --to includes all of it. Times of day: HH:MM:SS or H:MM[:SS].

Exit status:
   0  done (list: also when nothing matched)
   1  nothing was done (write: nothing was written; check: the table or its
      index is missing; view: no display)
   2  the database refused; its SQLSTATE and reason are on stderr
  64  bad usage: unknown option, bad value, invalid filter
  65  bad input data: import found lines it cannot restore exactly
  66  an input file cannot be opened
  69  the data source cannot be reached
  73  an output file cannot be created
  74  input/output error while writing
)";

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

QString q(const std::string& s) { return QString::fromStdString(s); }

// Options every verb that reads the log shares.
struct Conn {
    std::string dsn, login, password;
};

void addConnection(CLI::App* verb, Conn& c)
{
    verb->add_option("--dsn", c.dsn, "ODBC data source name")->type_name("DSN")->envname("TALLYQUILL_DSN")->required();
    verb->add_option("--login", c.login, "login sent as UID (default empty: the data source's own)")->type_name("ID");
    verb->add_option("--password", c.password, "password sent as PWD")->type_name("PW")->envname("TALLYQUILL_PASSWORD");
}

CLI::Option* addApp(CLI::App* verb, std::string& app, bool required = true)
{
    auto* o = verb->add_option("--app", app, "application ID: letters, digits and _ (names the table APPID_logs)")
                  ->type_name("APPID")
                  ->envname("TALLYQUILL_APP");
    return required ? o->required() : o;
}

// A whole number of at least 1, said in words a shell user reads.
const CLI::Validator kCount(
    [](std::string& value) -> std::string {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > 100000000)
            return "takes a whole number from 1 to 100000000, not \"" + value + "\"";
        return {};
    },
    "N");

CommandService serviceOf(const Conn& c) { return CommandService(q(c.dsn), q(c.login), q(c.password)); }

// The viewer's own message for a value it refuses, on stderr.
void showBadValue(const BadValue& e)
{
    if (e.messageId == 0) {
        std::cerr << "tallyquill: " << e.english << "\n";
        return;
    }
    ShowError(int16_t(e.messageId), q(e.english), MsgIcon::Warning,
              e.value.empty() ? QString() : QStringLiteral(": ") + q(e.value));
}

DateOrder dateOrderOf(const std::string& s)
{
    return s == "dmy" ? DateOrder::Dmy : s == "mdy" ? DateOrder::Mdy : DateOrder::Unset;
}

LineLayout layoutOf(const std::string& hide)
{
    LineLayout l;
    for (const QString& item : q(hide).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString k = item.trimmed().toLower();
        if (k == QLatin1String("app"))
            l.hideAppID = true;
        else if (k == QLatin1String("ws"))
            l.hideWsID = true;
        else if (k == QLatin1String("user"))
            l.hideUser = true;
        else if (k == QLatin1String("event"))
            l.hideEvent = true;
        else
            throw Usage("--hide takes app, ws, user and event, not " + item.toStdString());
    }
    return l;
}

// --- write -------------------------------------------------------------------

struct WriteOptions {
    Conn c;
    std::string app, ws, user, event, text;
    bool spool = false;
};

// A field of an output line, with the line layout's stand-ins for the
// characters that would split or forge lines.
std::string printable(const QString& text) { return VisibleText(text).toStdString(); }

int runWrite(const WriteOptions& o)
{
    std::string table;
    {
        MsgLogger logger;
        if (o.spool)
            logger.setSpooled(true);
        logger.setDSN(o.c.dsn);
        logger.setLoginID(o.c.login);
        logger.setPassword(o.c.password);
        logger.setAppID(o.app);
        logger.setWorkstationID(o.ws);
        table = logger.AppID() + "_logs";
        if (logger.WriteLog(o.user, o.event, o.text) != 0) {
            const QString why = LastOpenFailure();
            std::cerr << "tallyquill: nothing was written" << (why.isEmpty() ? "" : ": ") << why.toStdString()
                      << "\n";
            return kNothingDone;
        }
    }  // a spooled logger delivers what it can as it goes
    if (o.spool)
        for (const spool::SpoolStatus& s : spool::ListSpools())
            if (s.dsn.toStdString() == o.c.dsn && s.table.toStdString() == table && s.pending > 0)
                std::cerr << "tallyquill: " << s.pending << " record(s) wait in the spool"
                          << (s.lastError.isEmpty() ? std::string() : ": " + printable(s.lastError)) << "\n";
    return EX_OK;
}

// --- spool status / spool flush ----------------------------------------------

int runSpoolStatus()
{
    std::cout << "DSN\tTABLE\tPENDING\tOLDEST\tREJECTED\tLAST ERROR\n";
    for (const spool::SpoolStatus& s : spool::ListSpools()) {
        if (!s.problem.isEmpty()) {
            std::cout << printable(s.path) << "\t?\t?\t\t?\t" << printable(s.problem) << "\n";
            continue;
        }
        const QString oldest =
            s.oldestDate.isEmpty() ? QString() : IsoDate(s.oldestDate) + QLatin1Char(' ') + DisplayTime(s.oldestTime);
        std::cout << printable(s.dsn) << "\t" << printable(s.table) << "\t" << s.pending << "\t" << printable(oldest)
                  << "\t" << s.rejected << "\t" << printable(spool::DamageNote(s)) << "\n";
    }
    return EX_OK;
}

struct FlushOptions {
    std::string dsn, app, login, password;
    bool loginGiven = false;
    int timeout = 60;
};

int runSpoolFlush(const FlushOptions& o)
{
    const QString dsn = q(o.dsn);
    const QString table = o.app.empty() ? QString() : q(o.app).toUpper() + QStringLiteral("_logs");
    const std::optional<QString> login = o.loginGiven ? std::optional<QString>(q(o.login)) : std::nullopt;
    int status = EX_OK;
    for (const spool::SpoolStatus& s : spool::ListSpools()) {
        if ((!dsn.isEmpty() && s.dsn != dsn) || (!table.isEmpty() && s.table != table))
            continue;
        const auto out = spool::FlushSpoolFile(s.path, login ? &*login : nullptr, q(o.password),
                                               std::chrono::seconds(o.timeout));
        if (out.remaining == 0 && out.error.isEmpty())
            continue;
        std::cerr << "tallyquill: "
                  << (s.problem.isEmpty() ? printable(s.dsn) + " " + printable(s.table) : printable(s.path)) << ": "
                  << (out.remaining < 0 ? std::string("unreadable") : std::to_string(out.remaining) + " left")
                  << (out.error.isEmpty() ? std::string() : ": " + printable(out.error)) << "\n";
        if (out.remaining != 0 || out.damageSetAside)
            status = std::max(status, out.databaseError ? kDatabaseError : kNothingDone);
    }
    return status;
}

// --- list --------------------------------------------------------------------

struct ListOptions {
    Conn c;
    std::string app, from, to, timeFrom, timeTo, dateOrder, activity, hide, output, format = "text";
    std::vector<std::string> ws, users, events;
    bool crlf = false, follow = false;
    int last = 0;
    double interval = 1.0;
};

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void onStopSignal(int) { stopRequested = 1; }

// Sleeps up to `seconds`, waking early when Ctrl-C or SIGTERM arrives.
void pause(double seconds)
{
    for (double left = seconds; left > 0 && !stopRequested; left -= 0.05) {
        const timespec slice{0, long(std::min(left, 0.05) * 1e9)};
        nanosleep(&slice, nullptr);
    }
}

std::vector<QString> capitals(const std::vector<std::string>& values)
{
    std::vector<QString> out;
    for (const std::string& v : values)
        out.push_back(q(v).toUpper());
    return out;
}

int runList(const ListOptions& o)
{
    const Format format = *FormatNamed(q(o.format));
    const LineLayout layout = layoutOf(o.hide);
    if (o.follow && !o.to.empty())
        throw Usage("--follow prints records as they arrive, so it takes no --to");

    const QDateTime now = QDateTime::currentDateTime();
    const DateOrder order = dateOrderOf(o.dateOrder);
    LogQuery query;
    query.appId = q(o.app);
    Instant from, to;
    if (!o.from.empty())
        from = ParseWhen(q(o.from), order, Edge::Start, now);
    else if (o.to.empty() && o.last == 0)
        from = ToInstant(now.addSecs(-24 * 3600));  // the last day, as journalctl users expect
    if (!o.to.empty())
        to = ParseWhen(q(o.to), order, Edge::End, now);
    if (!from.date.isEmpty() && !to.date.isEmpty() && to < from)
        throw BadValue(sid::InvalidDateRange, "Invalid date range");
    query.fromDate = from.date;
    query.fromTime = from.time;
    query.toDate = to.date;
    query.toTime = to.time;

    if (o.timeFrom.empty() != o.timeTo.empty()) {
        showBadValue(o.timeFrom.empty() ? BadValue(sid::NoStartTime, "No start time")
                                        : BadValue(sid::NoEndTime, "No end time"));
        std::cerr << "tallyquill: give --time-from and --time-to together\n";
        return EX_USAGE;
    }
    if (!o.timeFrom.empty()) {
        query.dayTimeFrom = ParseTimeOfDay(q(o.timeFrom));
        query.dayTimeTo = ParseTimeOfDay(q(o.timeTo));
        if (query.dayTimeTo < query.dayTimeFrom)
            throw BadValue(sid::InvalidTimeRange, "Invalid time range");
    }
    query.wsIds = capitals(o.ws);
    query.users = capitals(o.users);
    query.events = capitals(o.events);
    query.activity = q(o.activity);
    query.last = o.last;

    CommandService service = serviceOf(o.c);
    const bool toFile = !o.output.empty() && o.output != "-";
    // The print file keeps its CRLF; CSV has it by its standard; a terminal
    // and a pipe get the platform's LF.
    const bool crlf = format == Format::Csv || (format == Format::Text && (toFile || o.crlf));
    Output out(q(o.output), crlf);
    if (auto header = HeaderLine(format, layout))
        out.line(*header);

    FollowCursor cursor;
    int64_t printed = 0;
    // Only --follow reads records again, so only it remembers any.
    auto print = [&](const LogRecord& r) {
        if (o.follow && !cursor.admit(r))
            return;
        out.line(RecordLine(format, r, layout));
        ++printed;
    };
    if (o.follow) {
        // Ctrl-C ends the loop at the next look, and the output is complete.
        struct sigaction stop {};
        stop.sa_handler = onStopSignal;
        sigaction(SIGINT, &stop, nullptr);
        sigaction(SIGTERM, &stop, nullptr);
    }
    cursor.beginPoll(ToInstant(QDateTime::currentDateTime()));
    service.select(query, print);
    cursor.endPoll();
    out.flush();

    if (o.follow) {
        query.last = 0;
        bool warned = false;
        while (!stopRequested) {
            pause(o.interval);
            if (stopRequested)
                break;
            const Instant wall = ToInstant(QDateTime::currentDateTime());
            const Instant start = cursor.pollFrom(from, wall);
            query.fromDate = start.date;
            query.fromTime = start.time;
            try {
                cursor.beginPoll(wall);
                service.select(query, print);
                cursor.endPoll();
                warned = false;
            } catch (const DatabaseError& e) {
                // A server that went away is waited for; anything else ends it.
                if (service.connected())
                    throw;
                if (!warned)
                    std::cerr << "tallyquill: " << e.what() << " (trying again)\n";
                warned = true;
            } catch (const SourceUnavailable& e) {
                if (!warned)
                    std::cerr << "tallyquill: " << e.what() << " (trying again)\n";
                warned = true;
            }
            out.flush();
        }
    }
    out.close();
    if (printed == 0 && !o.follow)
        ShowMessage(Tr(sid::NoRecordFound, QStringLiteral("No Record Found")),
                    Tr(sid::RetrieveLogs, QStringLiteral("Retrieve Logs")), MsgIcon::Information);
    return EX_OK;
}

// --- apps --------------------------------------------------------------------

QString stamp(const QString& s)
{
    return s.size() < 14 ? QString() : IsoDate(s.left(8)) + QLatin1Char(' ') + IsoTime(s.mid(8, 6));
}

int runApps(const Conn& c)
{
    CommandService service = serviceOf(c);
    const auto apps = service.apps();
    if (apps.empty()) {
        std::cerr << "tallyquill: no log tables (APPID_logs) on " << c.dsn << "\n";
        return EX_OK;
    }
    Output out(QString(), false);
    out.line(QStringLiteral("%1 %2  %3  %4").arg(QStringLiteral("App ID"), -10).arg(QStringLiteral("Records"), 10)
                 .arg(QStringLiteral("First"), -19).arg(QStringLiteral("Last")));
    for (const auto& a : apps) {
        if (!a.problem.isEmpty())
            out.line(QStringLiteral("%1 %2  %3").arg(a.appId, -10).arg(QStringLiteral("?"), 10)
                         .arg(QString::fromStdString(printable(a.problem))));
        else
            out.line(QStringLiteral("%1 %2  %3  %4").arg(a.appId, -10).arg(a.records, 10).arg(stamp(a.first), -19)
                         .arg(stamp(a.last)));
    }
    out.close();
    return EX_OK;
}

// --- archive and retention ---------------------------------------------------

struct ArchiveOptions {
    Conn c;
    std::string app, until, file, daily, prefix, hide, dateOrder;
    bool del = false, dryRun = false;
};

// Rows and rows per second on a terminal, a few times a second; nothing
// when stderr is a file or a pipe.
class Progress {
public:
    Progress() : shown_(isatty(STDERR_FILENO) == 1) { clock_.start(); }
    ~Progress() { done(); }
    void operator()(int64_t rows)
    {
        if (!shown_ || clock_.elapsed() < next_)
            return;
        next_ = clock_.elapsed() + 250;
        const double secs = std::max<qint64>(1, clock_.elapsed()) / 1000.0;
        std::fprintf(stderr, "\r%lld rows, %.0f rows/s ", static_cast<long long>(rows), double(rows) / secs);
        drawn_ = true;
    }
    void done()
    {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

private:
    bool shown_;
    bool drawn_ = false;
    QElapsedTimer clock_;
    qint64 next_ = 250;
};

int runArchive(const ArchiveOptions& o)
{
    const bool toFile = !o.file.empty() || !o.daily.empty();
    if (!toFile && !o.del)
        throw Usage("nothing to do: give --file, --daily or --delete");
    if (!o.daily.empty() && o.prefix.empty())
        throw Usage("--daily needs --prefix");
    const LineLayout layout = layoutOf(o.hide);
    const QString until = ParseWhen(q(o.until), dateOrderOf(o.dateOrder), Edge::End, QDateTime::currentDateTime()).date;
    // Connecting first gives an unreachable data source its own status and
    // the driver's reason.
    CommandService command = serviceOf(o.c);
    command.connect();

    if (o.dryRun) {
        int64_t total = 0;
        for (const auto& [day, count] : command.archivePlan(q(o.app), until)) {
            total += count;
            if (!o.daily.empty()) {
                const QString path = q(o.daily) + QLatin1Char('/') + q(o.prefix) + day + QStringLiteral(".log");
                std::cout << "would write " << count << " records to " << path.toStdString()
                          << (QFile::exists(path) ? " (the file exists)" : "") << "\n";
            }
        }
        if (!o.file.empty())
            std::cout << "would write " << total << " records to " << o.file << "\n";
        std::cout << "would " << (o.del ? "delete " : "keep ") << total << " records of " << o.app
                  << " dated up to " << IsoDate(until).toStdString() << "; nothing was changed\n";
        return EX_OK;
    }

    LogService service;
    service.source = {q(o.c.dsn), q(o.c.login), q(o.c.password), q(o.app)};
    ArchiveRequest request;
    request.AppID = q(o.app);
    request.ArchiveDate = until;
    request.ToFile = toFile;
    request.DelRecord = o.del;
    request.MultiFile = !o.daily.empty();
    request.FilePrefix = q(o.prefix);
    request.Filename = q(o.daily.empty() ? o.file : o.daily);
    Progress progress;
    request.progress = [&](int64_t rows) { progress(rows); };
    const ArchiveOutcome outcome = service.archive(request, layout);
    progress.done();
    std::cout << "archived " << outcome.written << " records to " << outcome.files << " file(s); deleted "
              << outcome.deleted << " records\n";
    if (!outcome.ok) {
        ShowError(sid::ArchiveFailed, QStringLiteral("Error in archive record"), MsgIcon::Warning,
                  QStringLiteral(": ") + outcome.reason);
        if (outcome.fromDatabase)
            return kDatabaseError;
        return outcome.reason.startsWith(QLatin1String("Cannot create")) ? EX_CANTCREAT : EX_IOERR;
    }
    return EX_OK;
}

// --- import ------------------------------------------------------------------

struct ImportOptions {
    Conn c;
    std::string app;
    std::vector<std::string> files;
};

// No archive line is longer: fixed fields and 250 characters of up to four
// bytes each. A longer one is refused without being held.
constexpr qsizetype kMaxArchiveLine = 8192;

// Reads a file's lines, without their line ends, into `line`, once: pipes,
// process substitutions and "-" (standard input) read like files.
class LineReader {
public:
    explicit LineReader(const std::string& path) : path_(path)
    {
        file_ = path == "-" ? stdin : std::fopen(path.c_str(), "rbe");
        if (!file_)
            throw Failure(EX_NOINPUT, "Cannot open " + path + ": " + std::strerror(errno));
    }
    ~LineReader()
    {
        if (file_ && file_ != stdin)
            std::fclose(file_);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // False at the end. `tooLong` is set for a line over kMaxArchiveLine
    // bytes, whose bytes are skipped.
    bool next(QByteArray& line, bool& tooLong)
    {
        line.clear();
        tooLong = false;
        int c = 0;
        bool any = false;
        while ((c = getc_unlocked(file_)) != EOF) {
            any = true;
            if (c == '\n')
                break;
            if (line.size() < kMaxArchiveLine)
                line += char(c);
            else
                tooLong = true;
        }
        if (std::ferror(file_))
            throw Failure(EX_IOERR, "Cannot read " + path_ + ": " + std::strerror(errno));
        if (!any)
            return false;
        if (line.endsWith('\r') && !tooLong)
            line.chop(1);
        ++number_;
        return true;
    }
    int number() const { return number_; }

private:
    std::string path_;
    FILE* file_ = nullptr;
    int number_ = 0;
};

int runImport(const ImportOptions& o)
{
    // Each input is read once and its checked lines are kept in a private
    // temporary file, so that a pipe or a file changed meanwhile imports what
    // was checked. Every file then goes in one transaction: a refused line or
    // a failed insert leaves the table as it was.
    QTemporaryFile spool;
    if (!spool.open())
        throw Failure(EX_CANTCREAT, "Cannot create a temporary file: " + spool.errorString().toStdString());
    const QString app = q(o.app).toUpper();
    int refused = 0;
    std::vector<int64_t> counts;
    for (const std::string& f : o.files) {
        LineReader in(f);
        QByteArray line;
        bool tooLong = false;
        int64_t count = 0;
        while (in.next(line, tooLong)) {
            QString why;
            if (tooLong) {
                why = QStringLiteral("is longer than any archive line (%1 bytes)").arg(kMaxArchiveLine);
            } else {
                auto parsed = ParseArchiveLine(line);
                if (const QString* w = std::get_if<QString>(&parsed)) {
                    why = *w;
                } else {
                    const Record& r = std::get<Record>(parsed);
                    try {
                        CheckRecord(r.AppID, r.WsID, r.UserName, r.EventType, r.Activity);
                        if (r.AppID.toUpper() != app)
                            why = QStringLiteral("belongs to application %1, not %2").arg(r.AppID, app);
                    } catch (const std::exception& e) {
                        why = QString::fromUtf8(e.what());
                    }
                }
            }
            if (!why.isEmpty()) {
                if (++refused <= 20)
                    std::cerr << f << ":" << in.number() << ": " << why.toStdString() << "\n";
                continue;
            }
            if (spool.write(line + '\n') != line.size() + 1)
                throw Failure(EX_IOERR, "Cannot write a temporary file: " + spool.errorString().toStdString());
            ++count;
        }
        counts.push_back(count);
    }
    if (refused) {
        std::cerr << "tallyquill: " << refused << " line(s) cannot be restored exactly; nothing was imported\n";
        return EX_DATAERR;
    }
    if (!spool.flush() || !spool.seek(0))
        throw Failure(EX_IOERR, "Cannot read a temporary file: " + spool.errorString().toStdString());
    CommandService service = serviceOf(o.c);
    QByteArray line;
    service.import(app, [&](LogRecord& row) {
        line = spool.readLine(kMaxArchiveLine + 2);
        if (line.isEmpty()) {
            if (spool.error() != QFileDevice::NoError)
                throw Failure(EX_IOERR, "Cannot read a temporary file: " + spool.errorString().toStdString());
            return false;
        }
        line.chop(1);
        auto parsed = ParseArchiveLine(line);
        if (!std::holds_alternative<Record>(parsed))
            throw Failure(EX_IOERR, "Cannot read a temporary file: it changed");
        row = std::get<Record>(parsed);
        return true;
    });
    for (size_t i = 0; i < o.files.size(); ++i)
        std::cout << "imported " << counts[i] << " records from " << o.files[i] << " into " << o.app << "_logs\n";
    return EX_OK;
}

// --- check and setup ---------------------------------------------------------

int runCheck(const Conn& c, const std::string& app)
{
    CommandService service = serviceOf(c);
    const auto r = service.check(q(app));
    std::cout << "data source: " << c.dsn << " (connected)\n"
              << "driver: " << r.driver.toStdString() << " " << r.driverVersion.toStdString() << "\n"
              << "server: " << r.dbms.toStdString() << " " << r.dbmsVersion.toStdString() << "\n";
    if (app.empty())
        return EX_OK;
    const std::string table = app + "_logs";
    std::cout << "table " << table << ": " << (r.table.isEmpty() ? "missing (the first write creates it)" : "present")
              << "\n";
    if (!r.table.isEmpty())
        std::cout << "index on (log_Date, log_Time): "
                  << (r.index.isEmpty() ? "missing (every listing sorts the whole table)" : r.index.toStdString())
                  << "\n";
    return r.table.isEmpty() || r.index.isEmpty() ? kNothingDone : EX_OK;
}

struct SetupOptions {
    std::string dsn = "Tallyquill", database, postgres, user;
};

int runSetup(const SetupOptions& o)
{
    if (o.postgres.empty()) {
        if (!o.user.empty())
            throw Usage("--user goes with --postgres");
        std::cout << SetupEmbeddedDefault(o.dsn, o.database) << "\n";
        return EX_OK;
    }
    if (o.database.empty())
        throw Usage("--postgres needs --database DB");
    // HOST, HOST:PORT, an IPv6 address alone, or [IPv6]:PORT; the address is
    // registered without its brackets, as the driver takes it.
    QString host = q(o.postgres), portText;
    const auto refuse = [&] { return Usage("--postgres takes HOST or HOST:PORT ([IPv6]:PORT), not " + o.postgres); };
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        if (close < 0)
            throw refuse();
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            throw refuse();
        portText = rest.isEmpty() ? QString() : rest.mid(1);
        if (!rest.isEmpty() && portText.isEmpty())
            throw refuse();
        host = host.mid(1, close - 1);
    } else if (host.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = host.indexOf(QLatin1Char(':'));
        portText = host.mid(colon + 1);
        if (portText.isEmpty())
            throw refuse();
        host.truncate(colon);
    }
    if (host.isEmpty())
        throw refuse();
    int port = 5432;
    if (!portText.isEmpty()) {
        bool ok = false;
        port = portText.toInt(&ok);
        if (!ok || port < 1 || port > 65535 || !portText.front().isDigit())
            throw refuse();
    }
    try {
        CommandService::registerPostgres(q(o.dsn), host, port, q(o.database), q(o.user));
    } catch (const std::invalid_argument& e) {
        throw Usage(e.what());
    }
    std::cout << "Registered the data source " << o.dsn << " (PostgreSQL Unicode, " << host.toStdString() << ":"
              << port << ", database " << o.database << ") in your odbc.ini.\n"
              << "Next: put the password in ~/.pgpass (or TALLYQUILL_PASSWORD), then run\n"
              << "  tallyquill check --dsn " << o.dsn << " --app APPID\n";
    return EX_OK;
}

// --- view and demo -----------------------------------------------------------

struct ViewOptions {
    Conn c;
    std::string app, caption, hide, userTitle, eventTitle, activityTitle, from, to, dateOrder;
};

int runView(const ViewOptions& o)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::cerr << "tallyquill: no display to open the viewer on (DISPLAY is not set)\n";
        return kNothingDone;
    }
    const LineLayout l = layoutOf(o.hide);
    const QDateTime now = QDateTime::currentDateTime();
    auto screenDate = [&](const std::string& text, Edge edge) {
        return text.empty() ? QString() : DisplayDate(ParseWhen(q(text), dateOrderOf(o.dateOrder), edge, now).date);
    };
    ViewerAdapter viewer;
    viewer.service.source = {q(o.c.dsn), q(o.c.login), q(o.c.password), q(o.app)};
    if (!o.caption.empty())
        viewer.caption = q(o.caption);
    if (!o.userTitle.empty())
        viewer.userDesc = q(o.userTitle);
    if (!o.eventTitle.empty())
        viewer.eventDesc = q(o.eventTitle);
    if (!o.activityTitle.empty())
        viewer.activityDesc = q(o.activityTitle);
    viewer.appIdVisible = l.hideAppID ? -1 : 0;
    viewer.wsIdVisible = l.hideWsID ? -1 : 0;
    viewer.userVisible = l.hideUser ? -1 : 0;
    viewer.eventVisible = l.hideEvent ? -1 : 0;
    viewer.firstStartDate = screenDate(o.from, Edge::Start);
    viewer.firstEndDate = screenDate(o.to, Edge::End);
    viewer.fillAppID = true;
    return viewer.showLog(true) ? EX_OK : kNothingDone;
}

struct DemoOptions {
    Conn c;
    std::string app = "DEMO";
    int count = 300, days = 7;
};

int runDemo(const DemoOptions& o)
{
    struct Event {
        const char* user;
        const char* type;
        const char* text;
    };
    static const Event events[] = {
        {"john", "login", "Signed on"},
        {"john", "order", "Order %1 entered for ACME Ltd"},
        {"mary", "login", "Signed on"},
        {"mary", "print", "Printed invoice %1"},
        {"mary", "logout", "Signed off"},
        {"张伟", "登录", "用户登录系统"},
        {"张伟", "查询", "查询客户资料 %1"},
        {"李娜", "打印", "打印發票 %1 (繁體)"},
        {"ahmed", "error", "Printer PRN2 out of paper"},
        {"ahmed", "backup", "Nightly backup finished, %1 files"},
    };
    MsgLogger logger;
    logger.setDSN(o.c.dsn);
    logger.setLoginID(o.c.login);
    logger.setPassword(o.c.password);
    logger.setAppID(o.app);
    // Spread the stamps evenly over the days, oldest first, ending now.
    const QDateTime end = QDateTime::currentDateTime();
    const QDateTime start = QDateTime(end.date().addDays(1 - o.days), QTime(7, 0));
    const qint64 span = std::max<qint64>(1, start.secsTo(end));
    struct ClockReset {
        ~ClockReset() { SetClock({}); }
    } reset;
    for (int i = 0; i < o.count; ++i) {
        const QDateTime at = start.addSecs(span * i / o.count);
        SetClock([at] { return at; });
        const Event& e = events[(i * 7 + i / 3) % std::size(events)];
        logger.setWorkstationID(
            QStringLiteral("WS%1").arg(1 + (i * 5 + i / 4) % 5, 2, 10, QLatin1Char('0')).toStdString());
        QString text = QString::fromUtf8(e.text);
        if (text.contains(QLatin1String("%1")))
            text = text.arg(1000 + i);
        if (logger.WriteLog(e.user, e.type, text.toStdString()) != 0) {
            const QString why = LastOpenFailure();
            std::cerr << "tallyquill: nothing was written" << (why.isEmpty() ? "" : ": ") << why.toStdString()
                      << "\n";
            return kNothingDone;
        }
    }
    std::cout << "Wrote " << o.count << " records to " << logger.AppID() << "_logs from "
              << start.date().toString(Qt::ISODate).toStdString() << " to "
              << end.date().toString(Qt::ISODate).toStdString() << "\n";
    return EX_OK;
}

// --- the command line --------------------------------------------------------

// Each verb in the full help under a heading of its own, which help2man turns
// into a section of the manual page.
class VerbFormatter : public CLI::Formatter {
public:
    std::string make_expanded(const CLI::App* verb) const override
    {
        std::stringstream out;
        std::string path = verb->get_name();
        for (const CLI::App* p = verb->get_parent(); p && p->get_parent(); p = p->get_parent())
            path = p->get_name() + " " + path;
        out << "\n" << path << ":\n  " << verb->get_description() << "\n\n  "
            << make_usage(verb, "tallyquill " + path) << "\n";
        for (const CLI::Option* o : verb->get_options([](const CLI::Option* o) { return o->get_positional(); }))
            out << make_option(o, true);
        for (const CLI::Option* o : verb->get_options([verb](const CLI::Option* o) {
                 return o->nonpositional() && o != verb->get_help_ptr();
             }))
            out << make_option(o, false);
        for (const CLI::App* sub : verb->get_subcommands({}))
            out << make_expanded(sub);
        return out.str();
    }
};

// A bash completion script made from the verbs and options themselves.
std::string completionScript(const CLI::App& app)
{
    std::string verbs, cases;
    for (const CLI::App* verb : app.get_subcommands({})) {
        verbs += verb->get_name() + " ";
        std::string options = "--help";
        std::vector<const CLI::App*> parts{verb};
        for (const CLI::App* sub : verb->get_subcommands({})) {
            options += " " + sub->get_name();
            parts.push_back(sub);
        }
        std::set<std::string> seen{"help"};
        for (const CLI::App* part : parts)
            for (const CLI::Option* o : part->get_options())
                for (const std::string& name : o->get_lnames())
                    if (seen.insert(name).second)
                        options += " --" + name;
        cases += "    " + verb->get_name() + ") opts=\"" + options + "\" ;;\n";
    }
    return "# bash completion for tallyquill, made by tallyquill --bash-completion\n"
           "_tallyquill() {\n"
           "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} opts\n"
           "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
           "    COMPREPLY=($(compgen -W \"" + verbs + "--help --version\" -- \"$cur\")); return\n"
           "  fi\n"
           "  case $prev in\n"
           "    --output|--file|--database) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
           "    --daily) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
           "    --format) COMPREPLY=($(compgen -W \"text csv json\" -- \"$cur\")); return ;;\n"
           "    --date-order) COMPREPLY=($(compgen -W \"dmy mdy\" -- \"$cur\")); return ;;\n"
           "    --dsn) COMPREPLY=($(compgen -W \"$(odbcinst -q -s 2>/dev/null | tr -d '[]')\" -- \"$cur\")); "
           "return ;;\n"
           "  esac\n"
           "  case ${COMP_WORDS[1]} in\n" + cases +
           "    *) opts= ;;\n"
           "  esac\n"
           "  if [[ $cur == -* || ${COMP_WORDS[1]} == spool ]]; then COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"));\n"
           "  elif [ \"${COMP_WORDS[1]}\" = import ]; then COMPREPLY=($(compgen -f -- \"$cur\")); fi\n"
           "}\n"
           "complete -F _tallyquill tallyquill\n";
}

// Builds the command line and runs the verb it names; with `completion`, only
// prints the completion script made from it.
int dispatch(int argc, char** argv, bool completion)
{
    CLI::App app{"tallyquill: write, list, archive and restore the activity log of Tallyquill applications",
                 "tallyquill"};
    app.set_version_flag("--version", std::string("tallyquill ") + TQ_VERSION);
    app.require_subcommand(1);
    app.footer(kFooter);
    auto formatter = std::make_shared<VerbFormatter>();
    formatter->column_width(32);
    formatter->label("SUBCOMMAND", "VERB");
    app.formatter(formatter);

    auto dates = [](CLI::App* verb, std::string& from, std::string& to, std::string& order) {
        verb->add_option("--from,--since", from, "first day or instant, included (default: 24 hours ago)")->type_name("DATE");
        verb->add_option("--to,--until", to, "last day or instant, included")->type_name("DATE");
        verb->add_option("--date-order", order, "read a/b/yyyy as day/month (dmy) or month/day (mdy)")
            ->check(CLI::IsMember({"dmy", "mdy"}));
    };
    auto many = [](CLI::App* verb, const char* name, std::vector<std::string>& into, const char* what) {
        verb->add_option(name, into, what)->type_name("VALUE")->allow_extra_args(false)->take_all();
    };

    WriteOptions w;
    CLI::App* write = app.add_subcommand("write", "Write one row into APPID_logs, as a host's WriteLog would.");
    addConnection(write, w.c);
    addApp(write, w.app);
    write->add_option("--ws", w.ws, "workstation ID (stored in capitals)")->type_name("WSID")->required();
    write->add_option("--user", w.user, "user name (stored in capitals, default empty)")->type_name("NAME");
    write->add_option("--event", w.event, "event type (stored in capitals, default empty)")->type_name("TYPE");
    write->add_flag("--spool", w.spool, "append the row to the local spool and deliver it from there; what "
                                        "cannot be delivered within 2 s waits for the next spooled writer or "
                                        "spool flush");
    write->add_option("TEXT", w.text, "the activity, stored as given (after -- it may begin with -)")->required();

    ListOptions l;
    CLI::App* list = app.add_subcommand("list", "Print the records that match a filter, oldest first.");
    addConnection(list, l.c);
    addApp(list, l.app);
    dates(list, l.from, l.to, l.dateOrder);
    list->add_option("--time-from", l.timeFrom, "time of day range, applied to every day")->type_name("HH:MM:SS");
    list->add_option("--time-to", l.timeTo, "end of the time of day range")->type_name("HH:MM:SS");
    many(list, "--ws", l.ws, "workstation ID; repeat it for any of several");
    many(list, "--user", l.users, "user name; repeat it for any of several");
    many(list, "--event", l.events, "event type; repeat it for any of several");
    list->add_option("--activity", l.activity, "activity containing TEXT (% and _ act as wildcards)");
    list->add_option("--format", l.format, "text (the print file's layout), csv (RFC 4180) or json (one object "
                                           "per line)")
        ->check(CLI::IsMember({"text", "csv", "json"}));
    list->add_option("--hide", l.hide, "leave these text columns out: app,ws,user,event")->type_name("LIST");
    list->add_option("--output", l.output, "write to FILE (created 0600, CRLF for text) instead of stdout; - is "
                                           "stdout")
        ->type_name("FILE");
    list->add_flag("--crlf", l.crlf, "end text lines with CRLF on stdout too");
    list->add_option("--last", l.last, "only the newest N records (still printed oldest first)")
        ->check(kCount);
    list->add_flag("--follow,-f", l.follow, "then print new records as they arrive, until Ctrl-C");
    list->add_option("--interval", l.interval, "seconds between two looks for new records (default 1)")
        ->check(CLI::Range(0.05, 3600.0));

    Conn appsConn;
    CLI::App* apps = app.add_subcommand("apps", "List the applications with a log table, their record counts "
                                                "and date ranges.");
    addConnection(apps, appsConn);

    ArchiveOptions a;
    CLI::App* archive = app.add_subcommand(
        "archive", "Write records up to a day to text files and/or delete them. Files are appended to, never "
                   "emptied; a symbolic link, a target that is not a regular file, another user's file, the "
                   "database's own file, or a file another run is writing is refused. With --delete the run goes "
                   "one stored date at a time: that day's lines are written and synced to the disk, only those "
                   "records are deleted, and SQLite's write lock is held for one day's records at most. A failed "
                   "run stops after the last day it archived and deleted, names those days, and leaves the rest "
                   "in the table.");
    addConnection(archive, a.c);
    addApp(archive, a.app);
    archive->add_option("--until,--to", a.until, "last day archived, included")->type_name("DATE")->required();
    archive->add_option("--date-order", a.dateOrder, "read a/b/yyyy as dmy or mdy")
        ->check(CLI::IsMember({"dmy", "mdy"}));
    auto* file = archive->add_option("--file", a.file, "append every record to PATH")->type_name("PATH");
    auto* daily = archive->add_option("--daily", a.daily, "append each day's records to DIR/<prefix><yyyymmdd>.log")->type_name("DIR");
    file->excludes(daily);
    archive->add_option("--prefix", a.prefix, "first part of each daily file's name")->type_name("P");
    archive->add_flag("--delete", a.del, "delete the records up to the day; with files, only those written");
    archive->add_option("--hide", a.hide, "leave these columns out of the lines (such files cannot be imported)")
        ->type_name("LIST");
    archive->add_flag("--dry-run", a.dryRun, "say what a run would write and delete; change nothing");

    ArchiveOptions r;
    std::string keep;
    CLI::App* retention = app.add_subcommand("retention", "Archive to daily files and delete what is older than "
                                                          "--keep: the nightly job in one line.");
    addConnection(retention, r.c);
    addApp(retention, r.app);
    retention->add_option("--keep", keep, "days kept in the table, today included (90d or 90)")->type_name("DAYS")->required();
    retention->add_option("--daily", r.daily, "directory of the daily files")->type_name("DIR")->required();
    retention->add_option("--prefix", r.prefix, "first part of each daily file's name")->type_name("P")->required();
    retention->add_flag("--dry-run", r.dryRun, "say what a run would do; change nothing");

    ImportOptions im;
    CLI::App* import = app.add_subcommand("import", "Read archive files back into APPID_logs.");
    addConnection(import, im.c);
    addApp(import, im.app);
    import->add_option("FILE", im.files, "archive files, written with every column shown")->required();

    Conn checkConn;
    std::string checkApp;
    CLI::App* check = app.add_subcommand("check", "Connect; name the driver and server; say whether the table "
                                                  "and its index exist.");
    addConnection(check, checkConn);
    addApp(check, checkApp, false);

    SetupOptions s;
    CLI::App* setup = app.add_subcommand("setup", "Register a per-user data source: the embedded SQLite file, or "
                                                  "a PostgreSQL server.");
    setup->add_option("--dsn", s.dsn, "data source name (default Tallyquill)")->type_name("NAME")->envname("TALLYQUILL_DSN");
    setup->add_option("--database", s.database, "the SQLite FILE (default $XDG_DATA_HOME/tallyquill/NAME.sqlite), "
                                                "or with --postgres the database name")
        ->type_name("FILE|DB");
    setup->add_option("--postgres", s.postgres, "register PostgreSQL on HOST[:PORT] (UseDeclareFetch=1, "
                                                "CommLog=0, Debug=0)")
        ->type_name("HOST[:PORT]");
    setup->add_option("--user", s.user, "PostgreSQL user name (default: the login's)")->type_name("USER");

    ViewOptions v;
    CLI::App* view = app.add_subcommand("view", "Open the log viewer and return when it is closed (needs a "
                                                "display).");
    addConnection(view, v.c);
    addApp(view, v.app, false);
    view->add_option("--caption", v.caption, "the screen's title")->type_name("TEXT");
    view->add_option("--hide", v.hide, "hide these fields and columns: app,ws,user,event")->type_name("LIST");
    view->add_option("--user-title", v.userTitle, "title of the user field and column");
    view->add_option("--event-title", v.eventTitle, "title of the event type field and column");
    view->add_option("--activity-title", v.activityTitle, "title of the activity field and column");
    view->add_option("--from", v.from, "first day of the screen's starting range (default today)")
        ->type_name("DATE");
    view->add_option("--to", v.to, "last day of the screen's starting range")->type_name("DATE");
    view->add_option("--date-order", v.dateOrder, "read a/b/yyyy as dmy or mdy")->check(CLI::IsMember({"dmy", "mdy"}));

    CLI::App* spoolVerb = app.add_subcommand("spool", "Show or deliver the records that spooled writers left "
                                                      "waiting.");
    spoolVerb->require_subcommand(1);
    CLI::App* spoolStatus = spoolVerb->add_subcommand(
        "status", "One tab-separated line per spool under $XDG_STATE_HOME/tallyquill/spool: data source, table, "
                  "pending records, oldest pending stamp, records set aside (in <spool>.rejected), last error.");
    FlushOptions fl;
    CLI::App* spoolFlush = spoolVerb->add_subcommand(
        "flush", "Deliver the spools now (those of DSN and APPID when given). Exit status: 0 every spool is "
                 "empty, 1 records are left or damaged bytes were set aside, 2 the database refused or was not "
                 "reached.");
    spoolFlush->add_option("--dsn", fl.dsn, "only the spools of this data source")->type_name("DSN")
        ->envname("TALLYQUILL_DSN");
    spoolFlush->add_option("--app", fl.app, "only the spools of this application")->type_name("APPID")
        ->envname("TALLYQUILL_APP");
    CLI::Option* flushLogin =
        spoolFlush->add_option("--login", fl.login, "login (default: the one the spool was written with)")
            ->type_name("ID");
    spoolFlush->add_option("--password", fl.password, "password sent as PWD")->type_name("PW")
        ->envname("TALLYQUILL_PASSWORD");
    spoolFlush->add_option("--timeout", fl.timeout, "seconds to wait for another process delivering a spool "
                                                    "(default 60)")
        ->type_name("SECONDS")->check(CLI::Range(0, 86400));

    DemoOptions d;
    CLI::App* demo = app.add_subcommand("demo", "Write varied demonstration records through the logger, as a "
                                                "host would.");
    demo->add_option("--dsn", d.c.dsn, "data source name (default Tallyquill)")->type_name("DSN")->envname("TALLYQUILL_DSN");
    d.c.dsn = "Tallyquill";
    demo->add_option("--login", d.c.login, "login sent as UID")->type_name("ID");
    demo->add_option("--password", d.c.password, "password sent as PWD")->type_name("PW")->envname("TALLYQUILL_PASSWORD");
    demo->add_option("--app", d.app, "application ID (default DEMO)")->type_name("APPID")->envname("TALLYQUILL_APP");
    demo->add_option("--count", d.count, "records written (default 300)")->check(kCount);
    demo->add_option("--days", d.days, "days they are spread over, up to today (default 7)")
        ->check(kCount);

    for (CLI::App* verb : app.get_subcommands({}))
        verb->group("Verbs");
    if (completion) {
        std::cout << completionScript(app);
        return EX_OK;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << (app.get_subcommands().empty() ? app.help("", CLI::AppFormatMode::All) : app.help());
        return EX_OK;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return EX_OK;
    } catch (const CLI::ParseError& e) {
        std::cerr << "tallyquill: " << e.what() << "\n(see tallyquill "
                  << (app.get_subcommands().empty() ? std::string() : app.get_subcommands().front()->get_name() + " ")
                  << "--help)\n";
        return EX_USAGE;
    }

    if (*write)
        return runWrite(w);
    if (*list)
        return runList(l);
    if (*apps)
        return runApps(appsConn);
    if (*archive)
        return runArchive(a);
    if (*retention) {
        const int days = ParseDays(q(keep));
        r.until = QDate::currentDate().addDays(-days).toString(Qt::ISODate).toStdString();
        r.del = true;
        return runArchive(r);
    }
    if (*import)
        return runImport(im);
    if (*check)
        return runCheck(checkConn, checkApp);
    if (*setup)
        return runSetup(s);
    if (*view)
        return runView(v);
    if (*demo)
        return runDemo(d);
    if (*spoolStatus)
        return runSpoolStatus();
    if (*spoolFlush) {
        fl.loginGiven = flushLogin->count() > 0;
        return runSpoolFlush(fl);
    }
    return EX_USAGE;
}

} // namespace

int main(int argc, char** argv)
{
    // "tallyquill help" as well as --help; the completion script is made at
    // build time.
    if (argc == 2 && std::strcmp(argv[1], "help") == 0)
        argv[1] = const_cast<char*>("--help");
    const bool completion = argc == 2 && std::strcmp(argv[1], "--bash-completion") == 0;
    try {
        const int status = dispatch(argc, argv, completion);
        // Every verb's report goes through stdio; a full disk or a closed pipe
        // only shows when the buffer is written out, so check it once here
        // rather than letting the verb's status claim success.
        std::cout.flush();
        errno = 0;
        if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::cerr << "tallyquill: Cannot write to standard output: "
                      << (errno ? std::strerror(errno) : "write error") << "\n";
            return status == 0 ? EX_IOERR : status;
        }
        return status;
    } catch (const Usage& e) {
        std::cerr << "tallyquill: " << e.what() << "\n(see tallyquill --help)\n";
        return EX_USAGE;
    } catch (const BadValue& e) {
        showBadValue(e);
        return EX_USAGE;
    } catch (const Failure& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return e.code;
    } catch (const SourceUnavailable& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return EX_UNAVAILABLE;
    } catch (const DatabaseError& e) {
        std::cerr << "tallyquill: database error " << e.number() << " [" << e.sqlstate() << "]: " << e.description()
                  << "\n";
        return kDatabaseError;
    } catch (const InvalidAppIdError& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return EX_USAGE;
    } catch (const InvalidTextError& e) {
        std::cerr << "tallyquill: " << e.what() << "; nothing was written\n";
        return EX_USAGE;
    } catch (const std::exception& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return kNothingDone;
    }
}
