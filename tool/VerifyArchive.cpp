// verify --archive: archive files against the manifest beside them, without
// the database; with the verification key, each recorded seal's MAC.

#include "tool/Output.h"
#include "tool/Verbs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <iostream>

namespace tallyquill::cli {

namespace {

struct VerifyArchiveOptions {
    std::string archive, key, format = "text";
};

QString where(const command::ArchiveFinding& f)
{
    return command::Visible(f.file) + (f.day.isEmpty() ? QString() : QLatin1Char(' ') + f.day);
}

int runVerifyArchive(const VerifyArchiveOptions& o)
{
    if (o.archive.empty())
        throw Usage("give --archive DIR|FILE");
    if (o.format != "text" && o.format != "json")
        throw Usage("--format takes text or json");
    std::optional<QByteArray> seed;
    if (!o.key.empty()) {
        const QByteArray raw = QByteArray::fromHex(QByteArray::fromStdString(o.key));
        if (raw.size() != 32 || raw.toHex() != QByteArray::fromStdString(o.key).toLower())
            throw Usage("--key takes the 64 hex digits seal --init printed");
        seed = raw;
    }
    const command::ArchiveVerification v = command::VerifyArchive(q(o.archive), seed);
    const bool ok = v.ok();
    size_t bad = 0;
    for (const auto& f : v.findings)
        bad += f.problem.isEmpty() ? 0 : 1;
    if (o.format == "json") {
        QJsonArray runs;
        for (const auto& f : v.findings)
            runs.append(QJsonObject{{"manifest", f.manifest},
                                    {"file", f.file},
                                    {"day", f.day.isEmpty() ? QJsonValue() : QJsonValue(f.day)},
                                    {"offset", qint64(f.offset)},
                                    {"length", qint64(f.length)},
                                    {"lines", qint64(f.lines)},
                                    {"sealed", f.sealed},
                                    {"macChecked", f.macChecked},
                                    {"forced", f.forced},
                                    {"ok", f.problem.isEmpty()},
                                    {"problem", f.problem}});
        std::cout << QJsonDocument(QJsonObject{{"intact", ok},
                                               {"manifests", v.manifests},
                                               {"runs", runs},
                                               {"notes", QJsonArray::fromStringList(QStringList(v.notes.begin(), v.notes.end()))}})
                         .toJson(QJsonDocument::Compact)
                         .toStdString()
                  << "\n";
    } else {
        for (const auto& f : v.findings) {
            if (!f.problem.isEmpty()) {
                std::cout << where(f).toStdString() << ": BAD: " << command::Visible(f.problem).toStdString() << "\n";
                continue;
            }
            std::cout << where(f).toStdString() << ": intact, " << f.lines << " lines"
                      << (f.sealed ? f.macChecked ? ", seal's MAC checked" : ", sealed (MAC not checked)" : "")
                      << (f.forced ? ", deleted although its records did not match its seal (--force)" : "") << "\n";
        }
        for (const QString& n : v.notes)
            std::cerr << "tallyquill: " << command::Visible(n).toStdString() << "\n";
    }
    if (v.manifests == 0) {
        std::cerr << "tallyquill: no archive manifest names " << o.archive << "\n";
        return EX_NOINPUT;
    }
    if (o.format == "text")
        std::cout << (ok ? "intact" : "NOT INTACT") << ": " << v.findings.size() - bad << " of " << v.findings.size()
                  << " checks in " << v.manifests << " manifest(s)\n";
    return ok ? EX_OK : EX_DATAERR;
}

} // namespace

Verb setupVerify(CLI::App& app)
{
    auto v = std::make_shared<VerifyArchiveOptions>();
    CLI::App* verify = app.add_subcommand(
        "verify", "With --archive: check archive files offline against the manifest beside them (every manifest "
                  "of a directory, or the entries that name one file): each run's bytes are there and hash to "
                  "the recorded SHA-256 with the recorded number of lines, and no bytes are named by no run. With "
                  "--key each recorded seal's MAC is checked too. Exits 0 when everything is intact, 65 when "
                  "anything is not, 66 when no manifest names the path.");
    verify->add_option("--archive", v->archive, "a directory of archive files, a manifest, or one archive file")
        ->type_name("DIR|FILE");
    verify->add_option("--key", v->key, "the verification key seal --init printed (64 hex digits)")
        ->type_name("SEED")
        ->envname("TALLYQUILL_SEAL_KEY");
    verify->add_option("--format,-o", v->format, "text or json")->type_name("FMT");
    return {verify, [v] { return runVerifyArchive(*v); }};
}

} // namespace tallyquill::cli
