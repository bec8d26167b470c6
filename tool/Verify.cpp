// verify: every sealed and every closed day of each table against its rows
// and its table's chain; with the verification key, every seal's MAC.

#include "tool/ExitCode.h"
#include "tool/Output.h"
#include "tool/Sealing.h"
#include "tool/Verbs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <iostream>

namespace tallyquill::cli {

namespace {

struct VerifyOptions {
    Conn c;
    std::string app, grace = "48h", key, keyFile, format = "text", archive;
};

QJsonObject jsonOf(const CommandService::SealReport& r)
{
    QJsonArray days;
    for (const CommandService::SealedDay& d : r.days) {
        QJsonArray seals;
        for (const CommandService::SealLink& l : d.history)
            seals.append(QJsonObject{{"sealedAt", l.sealedAt},
                                     {"epoch", qint64(l.epoch)},
                                     {"rows", qint64(l.rows)},
                                     {"reason", l.reason}});
        days.append(QJsonObject{{"day", IsoDate(d.day)},
                                {"status", d.status},
                                {"detail", d.detail},
                                {"rows", qint64(d.rows)},
                                {"sealedRows", d.sealedRows < 0 ? QJsonValue() : QJsonValue(qint64(d.sealedRows))},
                                {"seals", seals}});
    }
    return QJsonObject{{"app", r.appId},
                       {"intact", r.intact},
                       {"problem", r.problem.isEmpty() ? QJsonValue() : QJsonValue(r.problem)},
                       {"macsChecked", r.macsChecked},
                       {"sealedUpTo", r.lastSealedDay.isEmpty() ? QJsonValue() : QJsonValue(IsoDate(r.lastSealedDay))},
                       {"lastChainHash", r.lastHash},
                       {"days", days}};
}

bool bad(const CommandService::SealedDay& d)
{
    return d.status != QLatin1String("intact") && d.status != QLatin1String("archived");
}

int runVerify(const VerifyOptions& o)
{
    if (!o.key.empty() && !o.keyFile.empty())
        throw Usage("give --key or --key-file, not both");
    const std::optional<Format> format = FormatNamed(q(o.format));
    if (!format || *format == Format::Csv)
        throw Usage("--format takes text or json");
    if (o.c.dsn.empty())
        throw Usage("--dsn is required (or --archive DIR|FILE)");
    CommandService service = serviceOf(o.c);
    const auto reports = service.verifySeals(q(o.app), LastClosedDay(o.grace, QDateTime::currentDateTime()),
                                             q(o.key), q(o.keyFile));
    bool intact = true;
    for (const auto& r : reports)
        intact = intact && r.intact;
    const QString keys = !o.key.empty() ? QStringLiteral("seed")
                         : !o.keyFile.empty() ? QStringLiteral("key file")
                                              : QStringLiteral("none");
    Output out(QString(), false);
    if (*format == Format::Json) {
        QJsonArray tables;
        for (const auto& r : reports)
            tables.append(jsonOf(r));
        out.line(QString::fromUtf8(
            QJsonDocument(QJsonObject{{"intact", intact}, {"keys", keys}, {"tables", tables}}).toJson(QJsonDocument::Compact)));
        out.close();
        return intact ? EX_OK : kNotVerified;
    }
    for (const auto& r : reports) {
        if (!r.problem.isEmpty()) {
            out.line(QStringLiteral("%1: NOT VERIFIED: %2").arg(r.appId, command::Visible(r.problem)));
            continue;
        }
        std::vector<const CommandService::SealedDay*> bads;
        for (const auto& d : r.days)
            if (bad(d))
                bads.push_back(&d);
        if (bads.empty())
            out.line(QStringLiteral("%1: intact, %2 days, sealed up to %3; last chain hash %4")
                         .arg(r.appId).arg(r.days.size())
                         .arg(r.lastSealedDay.isEmpty() ? QStringLiteral("-") : IsoDate(r.lastSealedDay),
                              r.lastHash.isEmpty() ? QStringLiteral("-") : r.lastHash));
        else
            out.line(QStringLiteral("%1: NOT INTACT, %2 of %3 days bad, the first %4")
                         .arg(r.appId).arg(bads.size()).arg(r.days.size()).arg(IsoDate(bads.front()->day)));
        for (const auto& d : r.days) {
            if (bad(d))
                out.line(QStringLiteral("%1 %2 %3: %4").arg(r.appId, IsoDate(d.day), d.status, d.detail));
            // A day sealed again shows each of its seals, and why.
            if (d.history.size() > 1 || (d.history.size() == 1 && !d.history.front().reason.isEmpty()))
                for (const auto& l : d.history)
                    out.line(QStringLiteral("%1 %2 sealed %3 (epoch %4, %5 rows)%6")
                                 .arg(r.appId, IsoDate(d.day), l.sealedAt).arg(l.epoch).arg(l.rows)
                                 .arg(l.reason.isEmpty() ? QString() : QStringLiteral(": ") + command::Visible(l.reason)));
        }
    }
    out.close();
    if (o.key.empty())
        std::cerr << (o.keyFile.empty()
                          ? "tallyquill: MACs not checked (no --key): digests and the chain only, which catch "
                            "accidents, not someone who can write the seal table\n"
                          : "tallyquill: MACs not checked: a key file holds only the key of seals not made yet; "
                            "checked the digests, the chain, and that no seal claims the key file's epoch or a "
                            "later one\n");
    if (reports.empty())
        std::cerr << "tallyquill: no log tables (APPID_logs) on " << o.c.dsn << "\n";
    return intact ? EX_OK : kNotVerified;
}

} // namespace

Verb setupVerify(CLI::App& app)
{
    auto v = std::make_shared<VerifyOptions>();
    CLI::App* verify = app.add_subcommand(
        "verify", "Check each sealed day of each table against its rows, and the chain of seals: every day is "
                  "intact, changed (rows changed, added or deleted since it was sealed), has its seal missing "
                  "inside the chain, a forged seal (or one made with a later epoch's key), a broken chain, or a "
                  "cut one (closed days with rows that the chain does not reach). Oldest days gone from the "
                  "table are taken as archived. With --key every seal's MAC is checked too; without it, only "
                  "what catches accidents. Exits 0 when all is intact, 65 when anything is not.");
    addConnection(verify, v->c);
    verify->get_option("--dsn")->required(false);  // --archive needs no database
    addApp(verify, v->app, false);
    verify->add_option("--key", v->key, "the verification key seal --init printed (64 hex digits)")
        ->type_name("SEED")
        ->envname("TALLYQUILL_SEAL_KEY");
    verify->add_option("--key-file", v->keyFile, "without the seed: the sealing key file, which proves only that "
                                                 "no seal claims its epoch or a later one")
        ->type_name("PATH");
    verify->add_option("--grace", v->grace, "a day is closed this long after its end, as for seal (default 48h)")
        ->type_name("TIME");
    verify->add_option("--format,-o", v->format, "text or json")->type_name("FMT");
    verify->add_option("--archive", v->archive, "instead of the database: check a directory of archive files, a "
                                                "manifest, or one archive file offline against the manifest the "
                                                "archive wrote beside them (66 when no manifest names it)")
        ->type_name("DIR|FILE");
    return {verify, [v] {
                return v->archive.empty() ? runVerify(*v) : runVerifyArchive({v->archive, v->key, v->format});
            }};
}

} // namespace tallyquill::cli
