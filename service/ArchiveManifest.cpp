#include "service/ArchiveManifest.h"

#include "core/Error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>

namespace tallyquill {

namespace {

constexpr char kTag[] = "tallyquill archive manifest 1\n";

// The fields of a run line, in their order.
const char* const kRunKeys[] = {"file",     "day",    "offset", "length", "lines",  "sha256",
                                "check",    "table",  "rows",   "digest", "previous", "epoch",
                                "sealed",   "reason", "replaces", "mac",  "hash"};
constexpr size_t kRunFields = sizeof kRunKeys / sizeof kRunKeys[0];

const char* checkName(ManifestEntry::Check c)
{
    switch (c) {
    case ManifestEntry::Check::Matched:
        return "matched";
    case ManifestEntry::Check::Forced:
        return "forced";
    case ManifestEntry::Check::None:
        break;
    }
    return "none";
}

QByteArray number(uint64_t n) { return QByteArray::number(qulonglong(n)); }

// The values of `line` after its kind, when its keys are `keys` in order.
std::optional<std::vector<QByteArray>> fields(const QByteArray& line, const char* const* keys, size_t n)
{
    const QList<QByteArray> tokens = line.split(' ');
    if (size_t(tokens.size()) != n + 1)
        return std::nullopt;
    std::vector<QByteArray> values;
    for (size_t i = 0; i < n; ++i) {
        const QByteArray key = QByteArray(keys[i]) + '=';
        if (!tokens[qsizetype(i + 1)].startsWith(key))
            return std::nullopt;
        values.push_back(tokens[qsizetype(i + 1)].mid(key.size()));
    }
    return values;
}

std::optional<uint64_t> toNumber(const QByteArray& s)
{
    bool ok = false;
    const qulonglong n = s.toULongLong(&ok);
    if (!ok || s.isEmpty() || number(n) != s)
        return std::nullopt;
    return uint64_t(n);
}

// Lower-case hex of `size` bytes (any when negative), or nothing.
std::optional<QByteArray> fromHex(const QByteArray& s, qsizetype size = -1)
{
    const QByteArray raw = QByteArray::fromHex(s);
    if (raw.toHex() != s || (size >= 0 && raw.size() != size))
        return std::nullopt;
    return raw;
}

std::optional<ManifestEntry> parseRun(const QByteArray& line)
{
    const auto v = fields(line, kRunKeys, kRunFields);
    if (!v)
        return std::nullopt;
    ManifestEntry e;
    const auto file = FromManifestText((*v)[0]), day = FromManifestText((*v)[1]);
    const auto offset = toNumber((*v)[2]), length = toNumber((*v)[3]), lines = toNumber((*v)[4]);
    const auto sha = fromHex((*v)[5], 32);
    if (!file || file->isEmpty() || !day || !offset || !length || !lines || !sha)
        return std::nullopt;
    e.file = *file;
    e.day = *day;
    e.offset = *offset;
    e.length = *length;
    e.lines = int64_t(*lines);
    e.sha256 = *sha;
    const QByteArray check = (*v)[6];
    if (check == "matched")
        e.check = ManifestEntry::Check::Matched;
    else if (check == "forced")
        e.check = ManifestEntry::Check::Forced;
    else if (check != "none")
        return std::nullopt;
    bool unsealed = true;
    for (size_t i = 7; i < kRunFields; ++i)
        unsealed = unsealed && (*v)[i].isEmpty();
    if (unsealed)
        return e;
    ManifestSeal s;
    const auto table = FromManifestText((*v)[7]), sealedAt = FromManifestText((*v)[12]),
               reason = FromManifestText((*v)[13]);
    const auto rows = toNumber((*v)[8]), epoch = toNumber((*v)[11]);
    const auto digest = fromHex((*v)[9]), previous = fromHex((*v)[10]), replaces = fromHex((*v)[14]),
               mac = fromHex((*v)[15]), hash = fromHex((*v)[16]);
    if (!table || !sealedAt || !reason || !rows || !epoch || !digest || !previous || !replaces || !mac || !hash)
        return std::nullopt;
    s.table = *table;
    s.rows = int64_t(*rows);
    s.digest = *digest;
    s.previous = *previous;
    s.epoch = int64_t(*epoch);
    s.sealedAt = *sealedAt;
    s.reason = *reason;
    s.replaces = *replaces;
    s.mac = *mac;
    s.hash = *hash;
    e.seal = s;
    return e;
}

} // namespace

QByteArray ManifestText(const QString& text) { return text.toUtf8().toPercentEncoding(); }

std::optional<QString> FromManifestText(const QByteArray& field)
{
    const QByteArray bytes = QByteArray::fromPercentEncoding(field);
    const QString text = QString::fromUtf8(bytes);
    // Only the one spelling: a field cannot hide a second meaning.
    if (ManifestText(text) != field)
        return std::nullopt;
    return text;
}

QByteArray ManifestRunLine(const ManifestEntry& e)
{
    QByteArray line = "run file=" + ManifestText(e.file) + " day=" + ManifestText(e.day) + " offset="
                      + number(e.offset) + " length=" + number(e.length) + " lines=" + number(uint64_t(e.lines))
                      + " sha256=" + e.sha256.toHex() + " check=" + checkName(e.check);
    if (e.seal) {
        const ManifestSeal& s = *e.seal;
        line += " table=" + ManifestText(s.table) + " rows=" + number(uint64_t(s.rows)) + " digest="
                + s.digest.toHex() + " previous=" + s.previous.toHex() + " epoch=" + number(uint64_t(s.epoch))
                + " sealed=" + ManifestText(s.sealedAt) + " reason=" + ManifestText(s.reason)
                + " replaces=" + s.replaces.toHex() + " mac=" + s.mac.toHex() + " hash=" + s.hash.toHex();
    } else {
        for (size_t i = 7; i < kRunFields; ++i)
            line += ' ' + QByteArray(kRunKeys[i]) + '=';
    }
    return line + '\n';
}

QByteArray ManifestCutLine(const QString& file, uint64_t size)
{
    return "cut file=" + ManifestText(file) + " size=" + number(size) + '\n';
}

QString SingleFileManifest(const QString& file) { return file + QStringLiteral(".manifest"); }

QString DailyManifest(const QString& directory, const QString& prefix)
{
    return directory + QDir::separator() + prefix + QStringLiteral("manifest");
}

ManifestContents ReadManifest(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        throw Failure(ErrorCategory::InputOutput, "Cannot read " + path.toStdString() + ": " + in.errorString().toStdString());
    if (in.readLine(sizeof kTag) != kTag)
        throw Failure(ErrorCategory::CorruptFile, "Cannot read " + path.toStdString() + ": not an archive manifest");
    ManifestContents m;
    static const char* const kCutKeys[] = {"file", "size"};
    for (int number = 2; !in.atEnd(); ++number) {
        QByteArray line = in.readLine();
        if (!line.endsWith('\n')) {
            m.problems.push_back(QStringLiteral("line %1 is cut short").arg(number));
            break;
        }
        line.chop(1);
        if (line.startsWith("run ")) {
            if (auto e = parseRun(line)) {
                m.entries.push_back(std::move(*e));
                continue;
            }
        } else if (line.startsWith("cut ")) {
            const auto v = fields(line, kCutKeys, 2);
            const auto file = v ? FromManifestText((*v)[0]) : std::nullopt;
            const auto size = v ? toNumber((*v)[1]) : std::nullopt;
            if (file && size) {
                std::erase_if(m.entries, [&](const ManifestEntry& e) {
                    return e.file == *file && e.offset + e.length > *size;
                });
                continue;
            }
        }
        m.problems.push_back(QStringLiteral("line %1 is not a manifest line").arg(number));
    }
    if (in.error() != QFileDevice::NoError)
        throw Failure(ErrorCategory::InputOutput, "Cannot read " + path.toStdString() + ": " + in.errorString().toStdString());
    return m;
}

ManifestWriter::ManifestWriter(QString path, std::vector<FileIdentity> forbidden)
    : path_(std::move(path)), forbidden_(std::move(forbidden))
{
}

LogFile& ManifestWriter::open()
{
    if (file_)
        return *file_;
    LogFile& f = file_.emplace(path_, LogFile::Mode::Append, forbidden_);
    if (f.size() == 0) {
        f.write(kTag);
    } else {
        QFile in(path_);
        if (!in.open(QIODevice::ReadOnly) || in.readLine(sizeof kTag) != kTag) {
            file_.reset();
            throw Failure(ErrorCategory::CorruptFile, "Cannot write " + path_.toStdString()
                                                          + ": it is there and is no archive manifest");
        }
    }
    return f;
}

void ManifestWriter::add(const ManifestEntry& entry)
{
    const QByteArray line = ManifestRunLine(entry);
    open().write({line.constData(), size_t(line.size())});
    dirty_ = true;
}

void ManifestWriter::cut(const QString& file, uint64_t size)
{
    if (!file_ && !QFileInfo::exists(path_))
        return;
    sync();
    bool claimed = false;
    for (const ManifestEntry& e : ReadManifest(path_).entries)
        claimed = claimed || (e.file == file && e.offset + e.length > size);
    if (!claimed)
        return;
    const QByteArray line = ManifestCutLine(file, size);
    open().write({line.constData(), size_t(line.size())});
    dirty_ = true;
    sync();
}

void ManifestWriter::sync()
{
    if (!file_ || !dirty_)
        return;
    file_->sync();
    if (file_->created() && !dirSynced_) {
        SyncDirectory(QFileInfo(path_).absolutePath());
        dirSynced_ = true;
    }
    dirty_ = false;
}

void ManifestWriter::close()
{
    sync();
    if (file_)
        file_->close();
    file_.reset();
}

} // namespace tallyquill
