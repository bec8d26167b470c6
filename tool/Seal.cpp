// seal: the closed days of each table sealed into its chain; --init makes
// the key, --reseal seals a day again with a reason.

#include "tool/ExitCode.h"
#include "tool/Output.h"
#include "tool/Sealing.h"
#include "tool/Verbs.h"

#include <QRegularExpression>

#include <iostream>

namespace tallyquill::cli {

QString LastClosedDay(const std::string& grace, const QDateTime& now)
{
    const QString g = q(grace).trimmed().toLower();
    static const QRegularExpression form(QStringLiteral("^(\\d{1,6})([dhm]?)$"));
    const QRegularExpressionMatch m = form.match(g);
    if (!m.hasMatch())
        throw Usage("--grace takes hours, days or minutes, as 48h, 2d or 90m: " + grace);
    const qint64 n = m.captured(1).toLongLong();
    const QString unit = m.captured(2);
    const qint64 seconds = n * (unit == QLatin1String("d") ? 86400 : unit == QLatin1String("m") ? 60 : 3600);
    // A day is closed once its end, midnight after it, is `grace` ago.
    return now.addSecs(-seconds).date().addDays(-1).toString(QStringLiteral("yyyyMMdd"));
}

QString KeyFileOf(const std::string& option)
{
    return option.empty() ? command::DefaultSealKeyFile() : q(option);
}

bool SealAndReport(CommandService& service, const std::string& app, const QString& lastClosedDay,
                   const QString& keyFile)
{
    Output out(QString(), false);
    bool ok = true;
    for (const CommandService::SealReport& r : service.seal(q(app), lastClosedDay, keyFile)) {
        if (!r.problem.isEmpty()) {
            std::cerr << "tallyquill: " << r.appId.toStdString() << " not sealed: " << printable(r.problem) << "\n";
            ok = false;
            continue;
        }
        QString what;
        if (r.sealedNow.empty())
            what = QStringLiteral("nothing new to seal");
        else if (r.sealedNow.size() == 1)
            what = QStringLiteral("sealed 1 day (%1)").arg(IsoDate(r.sealedNow.front()));
        else
            what = QStringLiteral("sealed %1 days (%2 to %3)")
                       .arg(r.sealedNow.size())
                       .arg(IsoDate(r.sealedNow.front()), IsoDate(r.sealedNow.back()));
        out.line(QStringLiteral("%1: %2; sealed up to %3; last chain hash %4")
                     .arg(r.appId, what, r.lastSealedDay.isEmpty() ? QStringLiteral("-") : IsoDate(r.lastSealedDay),
                          r.lastHash.isEmpty() ? QStringLiteral("-") : r.lastHash));
    }
    out.close();
    return ok;
}

namespace {

struct SealOptions {
    Conn c;
    std::string app, grace = "48h", keyFile, reseal, reason, dateOrder;
    bool init = false, force = false;
};

int runSeal(const SealOptions& o)
{
    if (o.init) {
        const QString path = KeyFileOf(o.keyFile);
        const QString seed = command::InitSealKey(path, o.force);
        std::cout << "verification key: " << seed.toStdString() << "\n"
                  << "Store this verification key offline now: it is shown only this once, no file keeps it, "
                     "and tallyquill verify --key needs it to prove the seals.\n"
                  << "sealing key written to " << path.toStdString() << " (epoch 0)\n";
        return EX_OK;
    }
    if (o.c.dsn.empty())
        throw Usage("seal needs --dsn (or TALLYQUILL_DSN)");
    CommandService service = serviceOf(o.c);
    if (o.reseal.empty()) {
        if (!o.reason.empty())
            throw Usage("--reason goes with --reseal DAY");
        return SealAndReport(service, o.app, LastClosedDay(o.grace, QDateTime::currentDateTime()), KeyFileOf(o.keyFile))
                   ? EX_OK
                   : kNothingDone;
    }
    if (o.app.empty() || o.reason.empty())
        throw Usage("--reseal DAY needs --app and --reason");
    const QString day = ParseWhen(q(o.reseal), dateOrderOf(o.dateOrder), Edge::Start, QDateTime::currentDateTime()).date;
    if (day > LastClosedDay(o.grace, QDateTime::currentDateTime()))
        throw Usage("--reseal " + o.reseal + ": the day is not closed yet (see --grace)");
    const CommandService::SealReport r = service.reseal(q(o.app), day, q(o.reason), KeyFileOf(o.keyFile));
    Output out(QString(), false);
    out.line(QStringLiteral("%1: sealed %2 again (%3); last chain hash %4")
                 .arg(r.appId, IsoDate(day), command::Visible(q(o.reason)), r.lastHash));
    out.close();
    return EX_OK;
}

} // namespace

Verb setupSeal(CLI::App& app)
{
    auto s = std::make_shared<SealOptions>();
    CLI::App* seal = app.add_subcommand(
        "seal", "Seal each closed day (older than --grace) of each table that is not sealed yet, in date order: "
                "its row count and a digest of its rows, linked to the table's previous seal and signed with "
                "the key file's key, which then steps on so that it cannot sign an older seal again. Prints the "
                "last chain hash per table: keep a copy elsewhere. Days without rows get no seal.");
    addConnection(seal, s->c);
    seal->get_option("--dsn")->required(false);
    addApp(seal, s->app, false);
    seal->add_option("--grace", s->grace, "a day is closed this long after its end (default 48h; also 2d, 90m)")
        ->type_name("TIME");
    seal->add_option("--key-file", s->keyFile, "the sealing key (default " + command::DefaultSealKeyFile().toStdString()
                                                    + ")")
        ->type_name("PATH");
    auto* init = seal->add_flag("--init", s->init, "make a new verification key, print it once, and write the "
                                                   "first sealing key to the key file (0600)");
    seal->add_flag("--force", s->force, "with --init: replace an existing key file")->needs(init);
    auto* reseal = seal->add_option("--reseal", s->reseal, "seal DAY again as a new link naming the old seal "
                                                           "(after late rows, say), with --reason")
                       ->type_name("DAY");
    seal->add_option("--reason", s->reason, "why the day is sealed again (kept in the seal)")->type_name("TEXT");
    seal->add_option("--date-order", s->dateOrder, "read a/b/yyyy as dmy or mdy")->check(CLI::IsMember({"dmy", "mdy"}));
    init->excludes(reseal);
    return {seal, [s] { return runSeal(*s); }};
}

} // namespace tallyquill::cli
