// check and setup: whether a data source answers, and registering one.

#include "tool/Output.h"
#include "tool/Verbs.h"

#include "service/Command.h"
#include "tallyquill/embedded.h"

#include <iostream>
#include <stdexcept>

namespace tallyquill::cli {

namespace {

struct CheckOptions {
    Conn c;
    std::string app;
};

int runCheck(const CheckOptions& o)
{
    const Conn& c = o.c;
    const std::string& app = o.app;
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
        std::cout << "index on (" << col::Date.data() << ", " << col::Time.data() << "): "
                  << (r.index.isEmpty() ? "missing (every listing sorts the whole table)" : r.index.toStdString())
                  << "\n";
    if (!r.table.isEmpty())
        std::cout << "activity index: "
                  << (r.activityIndex == ActivityIndexState::Present     ? "present"
                      : r.activityIndex == ActivityIndexState::OutOfStep ? "out of step, not used (run tallyquill "
                                                                           "index --activity again)"
                                                                         : "absent (tallyquill index --activity "
                                                                           "makes the activity filter fast)")
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

} // namespace

Verb setupCheck(CLI::App& app)
{
    auto ch = std::make_shared<CheckOptions>();
    CLI::App* check = app.add_subcommand("check", "Connect; name the driver and server; say whether the table "
                                                  "and its index exist.");
    addConnection(check, ch->c);
    addApp(check, ch->app, false);
    return {check, [ch] { return runCheck(*ch); }};
}

Verb setupSetup(CLI::App& app)
{
    auto s = std::make_shared<SetupOptions>();
    CLI::App* setup = app.add_subcommand("setup", "Register a per-user data source: the embedded SQLite file, or "
                                                  "a PostgreSQL server.");
    setup->add_option("--dsn", s->dsn, "data source name (default Tallyquill)")->type_name("NAME")->envname("TALLYQUILL_DSN");
    setup->add_option("--database", s->database, "the SQLite FILE (default $XDG_DATA_HOME/tallyquill/NAME.sqlite), "
                                                "or with --postgres the database name")
        ->type_name("FILE|DB");
    setup->add_option("--postgres", s->postgres, "register PostgreSQL on HOST[:PORT] (UseDeclareFetch=1, "
                                                "CommLog=0, Debug=0)")
        ->type_name("HOST[:PORT]");
    setup->add_option("--user", s->user, "PostgreSQL user name (default: the login's)")->type_name("USER");
    return {setup, [s] { return runSetup(*s); }};
}

} // namespace tallyquill::cli
