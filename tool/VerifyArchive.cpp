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

QString where(const command::ArchiveFinding& f)
{
    return command::Visible(f.file) + (f.day.isEmpty() ? QString() : QLatin1Char(' ') + f.day);
}

} // namespace

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

} // namespace tallyquill::cli
