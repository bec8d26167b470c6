// Archive files checked against their manifests, without the database.

#include "service/ArchiveManifest.h"
#include "service/Command.h"

#include "core/Seal.h"
#include "core/Sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <map>
#include <set>

namespace tallyquill::command {

namespace {

constexpr char kTag[] = "tallyquill archive manifest 1\n";

bool isManifest(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.readLine(sizeof kTag) == kTag;
}

// What a run's byte range holds now.
struct RangeSeen {
    uint64_t bytes = 0;  // of the range that the file still has
    QByteArray sha256;
    int64_t lines = 0;
    std::set<QString> otherDays;  // dates of lines that are not the run's day
};

RangeSeen readRange(QFile& in, const ManifestEntry& e)
{
    RangeSeen seen;
    Sha256 hash;
    const uint64_t size = uint64_t(in.size());
    const uint64_t end = std::min(size, e.offset + e.length);
    if (e.offset < end && in.seek(qint64(e.offset))) {
        const QByteArray day = e.day.toUtf8();
        QByteArray start;  // the first bytes of the current line
        bool atStart = true;
        uint64_t left = end - e.offset;
        while (left > 0) {
            const QByteArray chunk = in.read(qint64(std::min<uint64_t>(left, 1 << 20)));
            if (chunk.isEmpty())
                break;
            hash.add(chunk);
            left -= uint64_t(chunk.size());
            seen.bytes += uint64_t(chunk.size());
            for (char c : chunk) {
                if (atStart && start.size() < day.size())
                    start += c;
                if (atStart && start.size() == day.size()) {
                    if (start != day)
                        seen.otherDays.insert(QString::fromUtf8(start));
                    atStart = false;
                }
                if (c == '\n') {
                    ++seen.lines;
                    atStart = true;
                    start.clear();
                }
            }
        }
    }
    seen.sha256 = hash.finish();
    return seen;
}

QString rangeProblem(const ManifestEntry& e, const RangeSeen& seen, uint64_t fileSize)
{
    if (seen.bytes == e.length && seen.sha256 == e.sha256)
        return {};
    QStringList why;
    if (!seen.otherDays.empty())
        why << QStringLiteral("holds lines of %1, not of %2 (swapped with another day's file?)")
                   .arg(QStringList(seen.otherDays.begin(), seen.otherDays.end()).join(QStringLiteral(", ")), e.day);
    if (seen.bytes < e.length)
        why << QStringLiteral("ends at byte %1, before the %2 bytes the run wrote from byte %3 (lines deleted or the "
                              "file cut)")
                   .arg(fileSize)
                   .arg(e.length)
                   .arg(e.offset);
    else if (seen.lines != e.lines)
        why << QStringLiteral("holds %1 lines where the run wrote %2 (lines deleted or added)")
                   .arg(seen.lines)
                   .arg(e.lines);
    if (why.isEmpty())
        why << QStringLiteral("its bytes differ from what the run wrote (changed)");
    return why.join(QStringLiteral("; "));
}

QString sealProblem(const ManifestEntry& e, const std::optional<QByteArray>& seed, bool& macChecked)
{
    macChecked = false;
    if (!e.seal)
        return {};
    const ManifestSeal& s = *e.seal;
    QStringList why;
    if (e.check == ManifestEntry::Check::Matched && s.rows != e.lines)
        why << QStringLiteral("the rows were checked against a seal of %1 rows but the run wrote %2 lines")
                   .arg(s.rows)
                   .arg(e.lines);
    seal::SealRecord r;
    r.table = s.table;
    r.day = e.day;
    r.rows = s.rows;
    r.digest = s.digest;
    r.previous = s.previous;
    r.epoch = s.epoch;
    r.sealedAt = s.sealedAt;
    r.reason = s.reason;
    r.replaces = s.replaces;
    r.mac = s.mac;
    if (r.hash() != s.hash)
        why << QStringLiteral("the seal's chain hash is not the hash of its fields");
    if (seed) {
        macChecked = true;
        if (!seal::MacValid(seal::KeyOfEpoch(*seed, s.epoch), r))
            why << QStringLiteral("the seal's MAC is not that of epoch %1's key (forged or changed)").arg(s.epoch);
    }
    return why.join(QStringLiteral("; "));
}

// Checks the entries of `manifest` (those naming `only`, when given).
void verifyManifest(const QString& manifest, const QString& only, const std::optional<QByteArray>& seed,
                    ArchiveVerification& out)
{
    ArchiveFinding head;
    head.manifest = manifest;
    head.file = manifest;
    ManifestContents contents;
    try {
        contents = ReadManifest(manifest);
    } catch (const std::exception& e) {
        head.problem = QString::fromUtf8(e.what());
        out.findings.push_back(head);
        ++out.manifests;
        return;
    }
    const QString dir = QFileInfo(manifest).absolutePath();
    std::map<QString, std::vector<const ManifestEntry*>> byFile;
    for (const ManifestEntry& e : contents.entries) {
        const QString path = dir + QLatin1Char('/') + e.file;
        if (only.isEmpty() || QFileInfo(path) == QFileInfo(only))
            byFile[e.file].push_back(&e);
    }
    if (!only.isEmpty() && byFile.empty())
        return;
    ++out.manifests;
    for (const QString& p : contents.problems) {
        head.problem = p;
        out.findings.push_back(head);
    }
    for (const ManifestEntry& e : contents.entries) {
        if (!byFile.count(e.file))
            continue;
        ArchiveFinding f;
        f.manifest = manifest;
        f.file = dir + QLatin1Char('/') + e.file;
        f.day = e.day;
        f.offset = e.offset;
        f.length = e.length;
        f.lines = e.lines;
        f.sealed = e.seal.has_value();
        f.forced = e.check == ManifestEntry::Check::Forced;
        QFile in(f.file);
        QStringList why;
        if (!QFileInfo::exists(f.file))
            why << QStringLiteral("the file is missing");
        else if (!in.open(QIODevice::ReadOnly))
            why << QStringLiteral("cannot be read: ") + in.errorString();
        else if (const QString p = rangeProblem(e, readRange(in, e), uint64_t(in.size())); !p.isEmpty())
            why << p;
        if (const QString p = sealProblem(e, seed, f.macChecked); !p.isEmpty())
            why << p;
        f.problem = why.join(QStringLiteral("; "));
        out.findings.push_back(f);
    }
    // Bytes no run names: after the first run's, lines added or a run that
    // did not finish; before it, what the file held when the manifest began.
    for (auto& [name, entries] : byFile) {
        const QString path = dir + QLatin1Char('/') + name;
        if (!QFileInfo::exists(path))
            continue;
        const uint64_t size = uint64_t(QFileInfo(path).size());
        std::vector<const ManifestEntry*> sorted = entries;
        std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->offset < b->offset; });
        uint64_t at = sorted.front()->offset;
        if (at > 0)
            out.notes.push_back(QStringLiteral("%1: bytes 0 to %2 were there before its manifest began").arg(path).arg(at));
        ArchiveFinding f;
        f.manifest = manifest;
        f.file = path;
        for (const ManifestEntry* e : sorted) {
            if (e->offset > at)
                f.problem = QStringLiteral("bytes %1 to %2 are named by no run (lines added, or a run that did not "
                                           "finish)").arg(at).arg(e->offset);
            else if (e->offset < at)
                f.problem = QStringLiteral("two runs claim the bytes from %1").arg(e->offset);
            if (!f.problem.isEmpty())
                break;
            at = e->offset + e->length;
        }
        if (f.problem.isEmpty() && size > at)
            f.problem = QStringLiteral("bytes %1 to %2 are named by no run (lines added, or a run that did not finish)")
                            .arg(at)
                            .arg(size);
        if (!f.problem.isEmpty())
            out.findings.push_back(f);
    }
}

} // namespace

ArchiveVerification VerifyArchive(const QString& path, const std::optional<QByteArray>& seed)
{
    ArchiveVerification out;
    const QFileInfo info(path);
    if (info.isDir()) {
        const QDir dir(path);
        for (const QString& name : dir.entryList({QStringLiteral("*manifest")}, QDir::Files, QDir::Name))
            if (isManifest(dir.filePath(name)))
                verifyManifest(dir.filePath(name), {}, seed, out);
        return out;
    }
    if (isManifest(path)) {
        verifyManifest(path, {}, seed, out);
        return out;
    }
    // The manifests an archive file may have: its own, and that of the
    // daily files of its prefix.
    QStringList candidates{SingleFileManifest(path)};
    static const QRegularExpression daily(QStringLiteral("^(.*)[0-9]{8}\\.log$"));
    const QRegularExpressionMatch m = daily.match(info.fileName());
    if (m.hasMatch())
        candidates << DailyManifest(info.absolutePath(), m.captured(1));
    for (const QString& c : candidates)
        if (QFileInfo(c).isFile())
            verifyManifest(c, path, seed, out);
    return out;
}

} // namespace tallyquill::command
