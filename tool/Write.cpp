// write: one row through the logger, as a host writes it.

#include "tool/Output.h"
#include "tool/Verbs.h"

#include "tallyquill/msg_logger.h"

#include <iostream>

namespace tallyquill::cli {

namespace {

struct WriteOptions {
    Conn c;
    std::string app, ws, user, event, text;
    bool spool = false;
};

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
            const QString why = command::LastOpenFailure();
            std::cerr << "tallyquill: nothing was written" << (why.isEmpty() ? "" : ": ") << why.toStdString()
                      << "\n";
            return kNothingDone;
        }
    }  // a spooled logger delivers what it can as it goes
    if (o.spool)
        for (const command::SpoolState& s : command::ListSpools())
            if (s.dsn.toStdString() == o.c.dsn && s.table.toStdString() == table && s.pending > 0)
                std::cerr << "tallyquill: " << s.pending << " record(s) wait in the spool"
                          << (s.lastError.isEmpty() ? std::string() : ": " + printable(s.lastError)) << "\n";
    return EX_OK;
}

} // namespace

Verb setupWrite(CLI::App& app)
{
    auto w = std::make_shared<WriteOptions>();
    CLI::App* write = app.add_subcommand("write", "Write one row into APPID_logs, as a host's WriteLog would.");
    addConnection(write, w->c);
    addApp(write, w->app);
    write->add_option("--ws", w->ws, "workstation ID (stored in capitals)")->type_name("WSID")->required();
    write->add_option("--user", w->user, "user name (stored in capitals, default empty)")->type_name("NAME");
    write->add_option("--event", w->event, "event type (stored in capitals, default empty)")->type_name("TYPE");
    write->add_flag("--spool", w->spool, "append the row to the local spool and deliver it from there; what "
                                         "cannot be delivered within 2 s waits for the next spooled writer or "
                                         "spool flush");
    write->add_option("TEXT", w->text, "the activity, stored as given (after -- it may begin with -)")->required();
    return {write, [w] { return runWrite(*w); }};
}

} // namespace tallyquill::cli
