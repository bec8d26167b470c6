// spool status and spool flush: what spooled writers left waiting.

#include "tool/Output.h"
#include "tool/Verbs.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>

namespace tallyquill::cli {

namespace {

int runSpoolStatus()
{
    std::cout << "DSN\tTABLE\tPENDING\tOLDEST\tREJECTED\tLAST ERROR\n";
    for (const command::SpoolState& s : command::ListSpools()) {
        if (!s.problem.isEmpty()) {
            std::cout << printable(s.path) << "\t?\t?\t\t?\t" << printable(s.problem) << "\n";
            continue;
        }
        const QString oldest =
            s.oldestDate.isEmpty() ? QString() : IsoDate(s.oldestDate) + QLatin1Char(' ') + command::ShownTime(s.oldestTime);
        std::cout << printable(s.dsn) << "\t" << printable(s.table) << "\t" << s.pending << "\t" << printable(oldest)
                  << "\t" << s.rejected << "\t" << printable(s.note) << "\n";
    }
    return EX_OK;
}

struct SpoolFlushOptions {
    std::string dsn, app, login, password;
    bool loginGiven = false;
    int timeout = 60;
};

int runSpoolFlush(const SpoolFlushOptions& o)
{
    const QString dsn = q(o.dsn);
    const QString table = o.app.empty() ? QString() : q(o.app).toUpper() + QStringLiteral("_logs");
    const std::optional<QString> login = o.loginGiven ? std::optional<QString>(q(o.login)) : std::nullopt;
    int status = EX_OK;
    for (const command::SpoolState& s : command::ListSpools()) {
        if ((!dsn.isEmpty() && s.dsn != dsn) || (!table.isEmpty() && s.table != table))
            continue;
        const auto out = command::FlushSpool(s.path, login, q(o.password), std::chrono::seconds(o.timeout));
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

} // namespace

Verb setupSpool(CLI::App& app)
{
    CLI::App* spoolVerb = app.add_subcommand("spool", "Show or deliver the records that spooled writers left "
                                                      "waiting.");
    spoolVerb->require_subcommand(1);
    CLI::App* spoolStatus = spoolVerb->add_subcommand(
        "status", "One tab-separated line per spool under $XDG_STATE_HOME/tallyquill/spool: data source, table, "
                  "pending records, oldest pending stamp, records set aside (in <spool>.rejected), last error.");
    auto fl = std::make_shared<SpoolFlushOptions>();
    CLI::App* spoolFlush = spoolVerb->add_subcommand(
        "flush", "Deliver the spools now (those of DSN and APPID when given). Exit status: 0 every spool is "
                 "empty, 1 records are left or damaged bytes were set aside, 2 the database refused or was not "
                 "reached.");
    spoolFlush->add_option("--dsn", fl->dsn, "only the spools of this data source")->type_name("DSN")
        ->envname("TALLYQUILL_DSN");
    spoolFlush->add_option("--app", fl->app, "only the spools of this application")->type_name("APPID")
        ->envname("TALLYQUILL_APP");
    CLI::Option* flushLogin =
        spoolFlush->add_option("--login", fl->login, "login (default: the one the spool was written with)")
            ->type_name("ID");
    spoolFlush->add_option("--password", fl->password, "password sent as PWD")->type_name("PW")
        ->envname("TALLYQUILL_PASSWORD");
    spoolFlush->add_option("--timeout", fl->timeout, "seconds to wait for another process delivering a spool "
                                                     "(default 60)")
        ->type_name("SECONDS")->check(CLI::Range(0, 86400));
    return {spoolVerb, [spoolStatus, spoolFlush, flushLogin, fl] {
        if (*spoolStatus)
            return runSpoolStatus();
        if (*spoolFlush) {
            fl->loginGiven = flushLogin->count() > 0;
            return runSpoolFlush(*fl);
        }
        return EX_USAGE;
    }};
}

} // namespace tallyquill::cli
