// tallyquill: the command-line face of the library. It never opens a window
// for its headless verbs; messages go to stderr, results to stdout.

#include "tool/ArchiveLine.h"
#include "tool/Dates.h"
#include "tool/Follow.h"
#include "tool/Formats.h"
#include "tool/Help.h"
#include "tool/Options.h"
#include "tool/Output.h"
#include "tool/Verbs.h"

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

// prints the completion script made from it.
int dispatch(int argc, char** argv, bool completion)
{
    CLI::App app{"tallyquill: write, list, archive and restore the activity log of Tallyquill applications",
                 "tallyquill"};
    app.set_version_flag("--version", std::string("tallyquill ") + TQ_VERSION);
    app.require_subcommand(1);
    setupHelp(app);

    const Verb writeVerb = setupWrite(app);

    const Verb listVerb = setupList(app);

    const Verb appsVerb = setupApps(app);

    const Verb archiveVerb = setupArchive(app);

    const Verb retentionVerb = setupRetention(app);

    const Verb importVerb = setupImport(app);

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

    const Verb spoolVerb = setupSpool(app);

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

    if (*writeVerb.app)
        return writeVerb.run();
    if (*listVerb.app)
        return listVerb.run();
    if (*appsVerb.app)
        return appsVerb.run();
    if (*archiveVerb.app)
        return archiveVerb.run();
    if (*retentionVerb.app)
        return retentionVerb.run();
    if (*importVerb.app)
        return importVerb.run();
    if (*check)
        return runCheck(checkConn, checkApp);
    if (*setup)
        return runSetup(s);
    if (*view)
        return runView(v);
    if (*demo)
        return runDemo(d);
    if (*spoolVerb.app)
        return spoolVerb.run();
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
