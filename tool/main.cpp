// tallyquill: the command-line face of the library. It never opens a window
// for its headless verbs; every message goes to stderr.

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "writer/Spool.h"
#include "localize/clsLocalize.h"
#include "screens/FilterCheck.h"
#include "tallyquill/embedded.h"
#include "tallyquill/msg_logger.h"
#include "viewer/LogService.h"
#include "viewer/ViewerAdapter.h"
#include "writer/LogFile.h"
#include "writer/LogLine.h"
#include "writer/LogRecord.h"

#include <QDate>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kNothingDone = 1;
constexpr int kDatabaseError = 2;
constexpr int kUsage = 64;

const char* const kUsageText = R"(usage: tallyquill <verb> [options]

Verbs:
  write    Write one row into <APPID>_logs.
  list     Print the records that match a filter, in the print-file layout.
  archive  Write records up to a day to text files and/or delete them.
  setup    Register the embedded SQLite data source for this user.
  demo     Write varied demonstration records, as a host would.
  view     Open the log viewer (needs a display).
  spool    Show or deliver the records that spooled writers left waiting.

tallyquill write --dsn DSN [--login ID] [--password PW] --app APPID --ws WSID
                 [--user NAME] [--event TYPE] [--spool] TEXT
  --dsn DSN        ODBC data source name (required)
  --login ID       login sent as UID (default empty)
  --password PW    password sent as PWD; prefer the TALLYQUILL_PASSWORD
                   environment variable, which other users cannot read
  --app APPID      application ID: letters, digits and _ (stored in capitals)
  --ws WSID        workstation ID (stored in capitals)
  --user NAME      user name (stored in capitals, default empty)
  --event TYPE     event type (stored in capitals, default empty)
  TEXT             the activity text, stored as given
  --spool          append the row to the local spool and deliver it from
                   there; what cannot be delivered within 2 s waits for
                   the next spooled writer or `spool flush` (said on stderr)
  Exit status: 0 the row was written (or spooled), 1 nothing was written, 2
  the database refused (its SQLSTATE, number and description on stderr), 64
  bad usage.

tallyquill spool status
  One tab-separated line per spool under $XDG_STATE_HOME/tallyquill/spool:
  data source, table, pending records, oldest pending stamp, records set
  aside because the database refused them (kept in <spool>.rejected beside
  the spool), last delivery error. Exit status: 0.
tallyquill spool flush [--dsn DSN] [--app APPID] [--login ID] [--password PW]
                       [--timeout SECONDS]
  Delivers the spools now (those of DSN and APPID when given), waiting up to
  SECONDS (default 60) for another process that is delivering one. The login
  is the one the spool was written with unless given. Exit status: 0 every
  spool is empty, 1 records are left, 2 the database refused or was not
  reached (the reason on stderr), 64 bad usage.

tallyquill list --dsn DSN [--login ID] [--password PW] --app APPID
                --from DATE --to DATE [--time-from HH:MM:SS --time-to HH:MM:SS]
                [--ws ID] [--user NAME] [--event TYPE] [--activity TEXT]
                [--hide app,ws,user,event] [--output FILE]
  --from, --to     date range, both days included: YYYY-MM-DD or DD/MM/YYYY
  --time-from, --time-to
                   time of day range, applied to every day of the range
  --ws, --user, --event
                   exact workstation ID, user and event type (capitals)
  --activity TEXT  activity containing TEXT (% and _ act as wildcards)
  --hide LIST      leave out these columns: app, ws, user, event
  --output FILE    write to FILE (UTF-8, CRLF line ends) instead of stdout
  Prints a header line and one fixed-width line per record, oldest first.
  Exit status: 0 listed (also when nothing matched), 2 the retrieval failed,
  64 bad usage or an invalid filter (the filter's message on stderr).

tallyquill archive --dsn DSN [--login ID] [--password PW] --app APPID
                   --until DATE (--file PATH | --daily DIR --prefix P) [--delete]
tallyquill archive --dsn DSN --app APPID --until DATE --delete
  --until DATE     last day archived, included: YYYY-MM-DD or DD/MM/YYYY
  --file PATH      append every record to PATH (made 0600 when missing)
  --daily DIR      append each day's records to DIR/<prefix><yyyymmdd>.log
  --prefix P       first part of each daily file's name
  --delete         delete the records up to DATE, one stored date at a time:
                   that day's lines are written and synced to the disk first,
                   and only the records written are deleted. SQLite's write
                   lock is held for one day's records at most.
  --hide LIST      leave these columns out of the lines, as for list
  Files are appended to, never emptied; a symbolic link, a target that is
  not a regular file, another user's file, the database's own file, or a
  file another archive run is writing is refused.
  Exit status: 0 done, 1 a file could not be written (or no connection),
  2 the database refused, 64 bad usage. A failed run stops after the last
  day it archived and deleted, names those days, and leaves the rest in the
  table.

tallyquill setup [--dsn NAME] [--database FILE]
  Registers the per-user ODBC data source NAME (default Tallyquill) on a
  SQLite file (default $XDG_DATA_HOME/tallyquill/NAME.sqlite) with StepAPI=1,
  JournalMode=WAL, SyncPragma=NORMAL and a busy timeout, and prints the file's
  path. Running it again is harmless.

tallyquill view --dsn DSN [--login ID] [--password PW] [--app APPID] [--caption T]
                [--hide app,ws,user,event] [--user-title T] [--event-title T]
                [--activity-title T] [--from DATE] [--to DATE]
  Opens the log viewer and returns when it is closed. --app fills the
  application ID (and names the table when the field is hidden); the titles
  head the user, event type and activity fields and columns; --from and --to
  replace the screen's starting date range of today. Exit status: 0 closed,
  1 no display to open it on, 64 bad usage.

tallyquill demo [--dsn NAME] [--app APPID] [--count N] [--days D]
  Writes N (default 300) records through the logger into APPID_logs
  (default DEMO), spread over the last D days (default 7) up to today, from
  several workstations, users and event types, some in Chinese. Prints the
  date range written.

tallyquill --help   This text.
)";

struct UsageError {
    std::string message;
};

// Options of the form --name VALUE; everything else is a positional argument.
struct Args {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;

    std::optional<std::string> get(const std::string& name) const
    {
        auto it = options.find(name);
        if (it == options.end())
            return std::nullopt;
        return it->second;
    }
    std::string require(const std::string& name) const
    {
        auto v = get(name);
        if (!v || v->empty())
            throw UsageError{"missing --" + name};
        return *v;
    }
};

// Options take a value, except the ones named in `flags`.
Args parse(int argc, char** argv, int first, const std::set<std::string>& known,
           const std::set<std::string>& flags = {})
{
    Args args;
    bool onlyPositional = false;
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (!onlyPositional && a == "--") {
            onlyPositional = true;
        } else if (!onlyPositional && a.rfind("--", 0) == 0) {
            std::string name = a.substr(2);
            std::string value;
            if (auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            } else if (flags.count(name)) {
                value = "1";
            } else {
                if (i + 1 >= argc)
                    throw UsageError{"--" + name + " needs a value"};
                value = argv[++i];
            }
            if (!known.count(name) && !flags.count(name))
                throw UsageError{"unknown option --" + name};
            args.options[name] = value;
        } else {
            args.positional.push_back(a);
        }
    }
    return args;
}

std::string passwordOf(const Args& a)
{
    if (auto p = a.get("password"))
        return *p;
    const char* env = std::getenv("TALLYQUILL_PASSWORD");
    return env ? env : "";
}

// A field of an output line: control characters would split or forge lines.
std::string printable(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029)
            c = QLatin1Char('?');
    }
    return out.toStdString();
}

int runWrite(int argc, char** argv)
{
    Args a = parse(argc, argv, 2, {"dsn", "login", "password", "app", "ws", "user", "event"}, {"spool"});
    if (a.positional.size() != 1)
        throw UsageError{"write takes exactly one TEXT argument"};
    const bool spooled = a.get("spool").has_value();
    std::string table;
    {
        tallyquill::MsgLogger logger;
        if (spooled)
            logger.setSpooled(true);
        logger.setDSN(a.require("dsn"));
        logger.setLoginID(a.get("login").value_or(""));
        logger.setPassword(passwordOf(a));
        logger.setAppID(a.require("app"));
        logger.setWorkstationID(a.require("ws"));
        table = logger.AppID() + "_logs";
        const int16_t rc = logger.WriteLog(a.get("user").value_or(""), a.get("event").value_or(""), a.positional[0]);
        if (rc != 0) {
            std::cerr << "tallyquill: nothing was written\n";
            return kNothingDone;
        }
    }  // a spooled logger delivers what it can as it goes
    if (spooled)
        for (const tallyquill::spool::SpoolStatus& s : tallyquill::spool::ListSpools())
            if (s.dsn.toStdString() == a.require("dsn") && s.table.toStdString() == table && s.pending > 0)
                std::cerr << "tallyquill: " << s.pending << " record(s) wait in the spool"
                          << (s.lastError.isEmpty() ? std::string() : ": " + printable(s.lastError)) << "\n";
    return kOk;
}

// --- spool status / spool flush ------------------------------------------------

int runSpoolStatus(const Args& a)
{
    if (!a.options.empty() || a.positional.size() != 1)
        throw UsageError{"spool status takes no arguments"};
    std::cout << "DSN\tTABLE\tPENDING\tOLDEST\tREJECTED\tLAST ERROR\n";
    for (const tallyquill::spool::SpoolStatus& s : tallyquill::spool::ListSpools()) {
        if (!s.problem.isEmpty()) {
            std::cout << printable(s.path) << "\t?\t?\t\t?\t" << printable(s.problem) << "\n";
            continue;
        }
        const QString oldest = s.oldestDate.isEmpty()
                                   ? QString()
                                   : QDate::fromString(s.oldestDate, QStringLiteral("yyyyMMdd")).toString(Qt::ISODate)
                                         + QLatin1Char(' ') + tallyquill::DisplayTime(s.oldestTime);
        std::cout << printable(s.dsn) << "\t" << printable(s.table) << "\t" << s.pending << "\t"
                  << printable(oldest) << "\t" << s.rejected << "\t" << printable(s.lastError) << "\n";
    }
    return kOk;
}

int runSpoolFlush(const Args& a)
{
    if (a.positional.size() != 1)
        throw UsageError{"spool flush takes no arguments"};
    const QString dsn = QString::fromStdString(a.get("dsn").value_or(""));
    const QString table = a.get("app") ? QString::fromStdString(*a.get("app")).toUpper() + QStringLiteral("_logs")
                                       : QString();
    int seconds = 60;
    if (auto t = a.get("timeout")) {
        bool ok = false;
        seconds = QString::fromStdString(*t).toInt(&ok);
        if (!ok || seconds < 0)
            throw UsageError{"--timeout takes a number of seconds"};
    }
    const std::optional<QString> login =
        a.get("login") ? std::optional<QString>(QString::fromStdString(*a.get("login"))) : std::nullopt;
    const QString password = QString::fromStdString(passwordOf(a));
    int status = kOk;
    for (const tallyquill::spool::SpoolStatus& s : tallyquill::spool::ListSpools()) {
        if ((!dsn.isEmpty() && s.dsn != dsn) || (!table.isEmpty() && s.table != table))
            continue;
        const auto out = tallyquill::spool::FlushSpoolFile(s.path, login ? &*login : nullptr, password,
                                                           std::chrono::seconds(seconds));
        if (out.remaining == 0 && out.error.isEmpty())
            continue;
        std::cerr << "tallyquill: " << printable(s.dsn) << " " << printable(s.table) << ": "
                  << (out.remaining < 0 ? std::string("unreadable") : std::to_string(out.remaining) + " left")
                  << (out.error.isEmpty() ? std::string() : ": " + printable(out.error)) << "\n";
        if (out.remaining != 0)
            status = std::max(status, out.databaseError ? kDatabaseError : kNothingDone);
    }
    return status;
}

int runSpool(int argc, char** argv)
{
    Args a = parse(argc, argv, 2, {"dsn", "app", "login", "password", "timeout"});
    const std::string what = a.positional.empty() ? std::string() : a.positional[0];
    if (what == "status")
        return runSpoolStatus(a);
    if (what == "flush")
        return runSpoolFlush(a);
    throw UsageError{"spool takes status or flush"};
}

// YYYY-MM-DD becomes the screen's DD/MM/YYYY; anything else is checked as the
// screen would check what was typed.
QString maskedDate(const std::string& text)
{
    static const QRegularExpression iso(QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})$"));
    const QString t = QString::fromStdString(text);
    const auto m = iso.match(t);
    if (m.hasMatch())
        return m.captured(3) + QLatin1Char('/') + m.captured(2) + QLatin1Char('/') + m.captured(1);
    return t;
}

// The same message the viewer shows, on stderr.
int filterRejected(int16_t id, const QString& english)
{
    tallyquill::ShowError(id, english);
    return kUsage;
}

// The columns that --hide leaves out.
tallyquill::LineLayout parseHide(const Args& a)
{
    tallyquill::LineLayout layout;
    const QString list = QString::fromStdString(a.get("hide").value_or(""));
    for (const QString& item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString k = item.trimmed().toLower();
        if (k == QLatin1String("app"))
            layout.hideAppID = true;
        else if (k == QLatin1String("ws"))
            layout.hideWsID = true;
        else if (k == QLatin1String("user"))
            layout.hideUser = true;
        else if (k == QLatin1String("event"))
            layout.hideEvent = true;
        else
            throw UsageError{"--hide takes app, ws, user and event, not " + item.toStdString()};
    }
    return layout;
}

// The data source and application of the command line.
void prepareService(tallyquill::LogService& service, const Args& a)
{
    service.source.dsn = QString::fromStdString(a.require("dsn"));
    service.source.login = QString::fromStdString(a.get("login").value_or(""));
    service.source.password = QString::fromStdString(passwordOf(a));
    service.source.appId = QString::fromStdString(a.require("app"));
}

// Lines go to a file or to stdout, both UTF-8 with CRLF.
class LineSink {
public:
    explicit LineSink(const std::optional<std::string>& path)
    {
        if (path)
            file_.emplace(QString::fromStdString(*path));
    }
    void line(const QString& text)
    {
        const QByteArray bytes = text.toUtf8() + "\r\n";
        lines({bytes.constData(), size_t(bytes.size())});
    }
    // Lines already encoded, with their line ends.
    void lines(std::string_view bytes)
    {
        if (file_)
            file_->write(bytes);
        else if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size())
            throw tallyquill::Error("Cannot write to standard output");
    }
    void close()
    {
        if (file_)
            file_->close();
        else if (std::fflush(stdout) != 0)
            throw tallyquill::Error("Cannot write to standard output");
    }

private:
    std::optional<tallyquill::LogFile> file_;
};

int runList(int argc, char** argv)
{
    using namespace tallyquill;
    Args a = parse(argc, argv, 2,
                   {"dsn", "login", "password", "app", "from", "to", "time-from", "time-to", "ws", "user", "event",
                    "activity", "hide", "output"});
    if (!a.positional.empty())
        throw UsageError{"list takes no arguments"};
    LogService service;
    prepareService(service, a);
    const LineLayout layout = parseHide(a);

    FilterTexts f;
    if (auto v = a.get("from"))
        f.dateStart = maskedDate(*v);
    if (auto v = a.get("to"))
        f.dateEnd = maskedDate(*v);
    if (auto v = a.get("time-from"))
        f.timeStart = QString::fromStdString(*v);
    if (auto v = a.get("time-to"))
        f.timeEnd = QString::fromStdString(*v);
    f.appId = service.source.appId;
    if (auto problem = CheckFilter(f))
        return filterRejected(problem->messageId, problem->english);

    auto upper = [&](const char* name) { return QString::fromStdString(a.get(name).value_or("")).toUpper(); };
    const LogFilter filter{.StartDate = DateKey(f.dateStart),
                           .EndDate = DateKey(f.dateEnd),
                           .StartTime = TimeKey(f.timeStart),
                           .Endtime = TimeKey(f.timeEnd),
                           .AppID = f.appId,
                           .WsID = upper("ws"),
                           .UserName = upper("user"),
                           .EventType = upper("event"),
                           .Activity = QString::fromStdString(a.get("activity").value_or(""))};
    const Retrieval found = service.retrieve(filter);
    if (!found.ok)
        return kDatabaseError;

    LineSink out(a.get("output"));
    out.line(HeaderLine(layout));
    // Every record the selection returns, read to its end.
    if (found.total > 0) {
        try {
            service.writeLines(filter, layout, [&](std::string_view bytes) { out.lines(bytes); });
        } catch (const DatabaseError&) {
            ShowError(sid::MoreLogFailed, QStringLiteral("Error in retrieve records!"));
            return kDatabaseError;
        }
    }
    out.close();
    if (found.total == 0)
        ShowMessage(Tr(sid::NoRecordFound, QStringLiteral("No Record Found")),
                    Tr(sid::RetrieveLogs, QStringLiteral("Retrieve Logs")), MsgIcon::Information);
    return kOk;
}

int runArchive(int argc, char** argv)
{
    using namespace tallyquill;
    Args a = parse(argc, argv, 2, {"dsn", "login", "password", "app", "until", "file", "daily", "prefix", "hide"},
                   {"delete"});
    const bool del = a.get("delete").has_value();
    if (!a.positional.empty())
        throw UsageError{"archive takes no arguments"};
    const bool toFile = a.get("file") || a.get("daily");
    if (a.get("file") && a.get("daily"))
        throw UsageError{"give --file or --daily, not both"};
    if (a.get("daily") && a.require("prefix").empty())
        throw UsageError{"--daily needs --prefix"};
    if (!toFile && !del)
        throw UsageError{"nothing to do: give --file, --daily or --delete"};
    LogService service;
    prepareService(service, a);
    const LineLayout layout = parseHide(a);
    const QString until = maskedDate(a.require("until"));
    if (!IsValidDateText(until))
        return filterRejected(sid::InvalidDate, QStringLiteral("Invalid date"));

    const ArchiveOutcome outcome =
        service.archive({.AppID = service.source.appId,
                         .ArchiveDate = DateKey(until),
                         .ToFile = toFile,
                         .DelRecord = del,
                         .MultiFile = a.get("daily").has_value(),
                         .FilePrefix = QString::fromStdString(a.get("prefix").value_or("")),
                         .Filename = QString::fromStdString(a.get("daily").value_or(a.get("file").value_or("")))},
                        layout);
    if (!outcome.ok) {
        ShowError(sid::ArchiveFailed, QStringLiteral("Error in archive record"), MsgIcon::Warning,
                  QStringLiteral(": ") + outcome.reason);
        return outcome.fromDatabase ? kDatabaseError : kNothingDone;
    }
    return kOk;
}

int runView(int argc, char** argv)
{
    using namespace tallyquill;
    Args a = parse(argc, argv, 2,
                   {"dsn", "login", "password", "app", "caption", "hide", "user-title", "event-title",
                    "activity-title", "from", "to"});
    if (!a.positional.empty())
        throw UsageError{"view takes no arguments"};
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::cerr << "tallyquill: no display to open the viewer on (DISPLAY is not set)\n";
        return kNothingDone;
    }
    ViewerAdapter viewer;
    viewer.service.source.dsn = QString::fromStdString(a.require("dsn"));
    viewer.service.source.login = QString::fromStdString(a.get("login").value_or(""));
    viewer.service.source.password = QString::fromStdString(passwordOf(a));
    viewer.service.source.appId = QString::fromStdString(a.get("app").value_or(""));
    if (auto v = a.get("caption"))
        viewer.caption = QString::fromStdString(*v);
    if (auto v = a.get("user-title"))
        viewer.userDesc = QString::fromStdString(*v);
    if (auto v = a.get("event-title"))
        viewer.eventDesc = QString::fromStdString(*v);
    if (auto v = a.get("activity-title"))
        viewer.activityDesc = QString::fromStdString(*v);
    const LineLayout hide = parseHide(a);
    viewer.appIdVisible = hide.hideAppID ? -1 : 0;
    viewer.wsIdVisible = hide.hideWsID ? -1 : 0;
    viewer.userVisible = hide.hideUser ? -1 : 0;
    viewer.eventVisible = hide.hideEvent ? -1 : 0;
    if (auto v = a.get("from"))
        viewer.firstStartDate = maskedDate(*v);
    if (auto v = a.get("to"))
        viewer.firstEndDate = maskedDate(*v);
    viewer.fillAppID = true;
    return viewer.showLog(true) ? kOk : kNothingDone;
}

int runDemo(int argc, char** argv)
{
    using namespace tallyquill;
    Args a = parse(argc, argv, 2, {"dsn", "app", "count", "days", "login", "password"});
    if (!a.positional.empty())
        throw UsageError{"demo takes no arguments"};
    const int count = std::stoi(a.get("count").value_or("300"));
    const int days = std::stoi(a.get("days").value_or("7"));
    if (count < 1 || days < 1)
        throw UsageError{"--count and --days must be positive"};
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
    logger.setDSN(a.get("dsn").value_or("Tallyquill"));
    logger.setLoginID(a.get("login").value_or(""));
    logger.setPassword(passwordOf(a));
    logger.setAppID(a.get("app").value_or("DEMO"));
    // Spread the stamps evenly over the days, oldest first, ending now.
    const QDateTime end = QDateTime::currentDateTime();
    const QDateTime start = QDateTime(end.date().addDays(1 - days), QTime(7, 0));
    const qint64 span = std::max<qint64>(1, start.secsTo(end));
    for (int i = 0; i < count; ++i) {
        const QDateTime at = start.addSecs(span * i / count);
        SetClock([at] { return at; });
        const Event& e = events[(i * 7 + i / 3) % std::size(events)];
        logger.setWorkstationID(QStringLiteral("WS%1").arg(1 + (i * 5 + i / 4) % 5, 2, 10, QLatin1Char('0')).toStdString());
        QString text = QString::fromUtf8(e.text);
        if (text.contains(QLatin1String("%1")))
            text = text.arg(1000 + i);
        if (logger.WriteLog(e.user, e.type, text.toStdString()) != 0) {
            SetClock({});
            std::cerr << "tallyquill: nothing was written\n";
            return kNothingDone;
        }
    }
    SetClock({});
    std::cout << "Wrote " << count << " records to " << logger.AppID() << "_logs from "
              << start.date().toString(Qt::ISODate).toStdString() << " to "
              << end.date().toString(Qt::ISODate).toStdString() << "\n";
    return kOk;
}

int runSetup(int argc, char** argv)
{
    Args a = parse(argc, argv, 2, {"dsn", "database"});
    if (!a.positional.empty())
        throw UsageError{"setup takes no arguments"};
    const std::string path = tallyquill::SetupEmbeddedDefault(a.get("dsn").value_or("Tallyquill"),
                                                              a.get("database").value_or(""));
    std::cout << path << "\n";
    return kOk;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << kUsageText;
        return kUsage;
    }
    const std::string verb = argv[1];
    if (verb == "--help" || verb == "-h" || verb == "help") {
        std::cout << kUsageText;
        return kOk;
    }
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) {
            std::cout << kUsageText;
            return kOk;
        }
    try {
        if (verb == "write")
            return runWrite(argc, argv);
        if (verb == "setup")
            return runSetup(argc, argv);
        if (verb == "list")
            return runList(argc, argv);
        if (verb == "demo")
            return runDemo(argc, argv);
        if (verb == "view")
            return runView(argc, argv);
        if (verb == "archive")
            return runArchive(argc, argv);
        if (verb == "spool")
            return runSpool(argc, argv);
        throw UsageError{"unknown verb " + verb};
    } catch (const UsageError& e) {
        std::cerr << "tallyquill: " << e.message << "\n(see tallyquill --help)\n";
        return kUsage;
    } catch (const tallyquill::DatabaseError& e) {
        std::cerr << "tallyquill: database error " << e.number() << " [" << e.sqlstate() << "]: " << e.description()
                  << "\n";
        return kDatabaseError;
    } catch (const tallyquill::InvalidAppIdError& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return kNothingDone;
    } catch (const std::exception& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return kNothingDone;
    }
}
