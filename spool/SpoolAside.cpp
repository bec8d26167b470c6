#include "spool/SpoolLayout.h"

#include "localize/StringIds.h"
#include "platform/FaultPoint.h"

#include <QDateTime>
#include <QFile>

#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace tallyquill::spool {

using namespace detail;

QString SpoolFile::rejectedPath() const { return path_.chopped(6) + QStringLiteral(".rejected"); }

namespace {

// Side-file text: tabs, line ends and control bytes escaped, so that one
// line stays one line; with `ascii`, bytes over 0x7e too (raw bytes are no
// text).
QByteArray escapedBytes(const QByteArray& bytes, bool ascii)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto u = uint8_t(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (u < 0x20 || u == 0x7f || (ascii && u > 0x7e))
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

QByteArray escaped(const QString& text) { return escapedBytes(text.toUtf8(), false); }

// Appends the lines (each "time\tid\toffset\t...\n", by rising offset) to a
// side file, leaving out those its last line already covers: a deliverer
// killed after the sync below and before it moved the mark meets the same
// bytes again. A line a kill cut short is taken back first. On disk when
// this returns.
void appendAside(const QString& path, const QByteArray& id, const std::vector<std::pair<uint64_t, QByteArray>>& lines)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        fail(sid::CannotOpenFile, QStringLiteral("Cannot open %1: %2"), {path});
    FdCloser closer{fd};
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw SpoolError(sid::NotARegularFile, QStringLiteral("Cannot write to %1: not a regular file"), {path});
    // The last two line ends, read backwards.
    auto size = uint64_t(st.st_size);
    std::vector<uint64_t> ends;  // offsets just after a '\n'
    char chunk[4096];
    for (uint64_t at = size; at > 0 && ends.size() < 2;) {
        const uint64_t from = at > sizeof chunk ? at - sizeof chunk : 0;
        if (!preadAll(fd, chunk, size_t(at - from), off_t(from)))
            fail(sid::CannotReadFile, QStringLiteral("Cannot read %1: %2"), {path});
        for (uint64_t i = at; i > from && ends.size() < 2; --i)
            if (chunk[i - 1 - from] == '\n')
                ends.push_back(i);
        at = from;
    }
    const uint64_t whole = ends.empty() ? 0 : ends[0];
    if (whole < size) {
        if (::ftruncate(fd, off_t(whole)) != 0)
            fail(sid::CannotWriteFile, QStringLiteral("Cannot write to %1: %2"), {path});
        size = whole;
    }
    std::optional<uint64_t> covered;
    if (size > 0) {
        const uint64_t lineStart = ends.size() > 1 ? ends[1] : 0;
        QByteArray head(int(std::min<uint64_t>(size - lineStart, 128)), '\0');
        if (!preadAll(fd, head.data(), size_t(head.size()), off_t(lineStart)))
            fail(sid::CannotReadFile, QStringLiteral("Cannot read %1: %2"), {path});
        const QList<QByteArray> f = head.split('\t');
        bool ok = false;
        if (f.size() > 3 && f[1] == id) {
            const qulonglong offset = f[2].toULongLong(&ok);
            if (ok)
                covered = offset;
        }
    }
    QByteArray out;
    for (const auto& [offset, line] : lines)
        if (!covered || offset > *covered)
            out += line;
    if (!out.isEmpty() && !pwriteAll(fd, out.constData(), size_t(out.size()), off_t(size)))
        fail(sid::CannotWriteFile, QStringLiteral("Cannot write to %1: %2"), {path});
    if (::fdatasync(fd) != 0)
        fail(sid::CannotWriteFile, QStringLiteral("Cannot write to %1: %2"), {path});
    fault::point("spool-aside-synced");
}

QByteArray asideStart(const QByteArray& id, uint64_t offset)
{
    return escaped(QDateTime::currentDateTime().toString(Qt::ISODate)) + '\t' + id + '\t'
           + QByteArray::number(qulonglong(offset));
}

} // namespace

void SpoolFile::setAside(const Batch& batch, const QString& reason)
{
    std::vector<std::pair<uint64_t, QByteArray>> lines;
    for (size_t i = 0; i < batch.size(); ++i) {
        // The frame of record i: its payload starts five bytes before its
        // first field, behind i frame heads.
        const uint64_t offset = batch.start + 8 * i + (batch.field(i, 0).offset - 5);
        const Record r = batch.record(i);
        QByteArray line = asideStart(id_, offset);
        for (const QString* f : {&reason, &r.appId, &r.wsId, &r.date, &r.time, &r.user, &r.eventType, &r.data})
            line += '\t' + escaped(*f);
        lines.emplace_back(offset, line + '\n');
    }
    appendAside(rejectedPath(), id_, lines);
}

QString SpoolFile::damagedPath() const { return path_.chopped(6) + QStringLiteral(".damaged"); }

void SpoolFile::setAsideDamage(const Damage& damage)
{
    QByteArray raw(qsizetype(damage.resume - damage.at), '\0');
    if (!preadAll(fd_, raw.data(), size_t(raw.size()), off_t(damage.at)))
        fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
    const QByteArray line = asideStart(id_, damage.at) + '\t' + QByteArray::number(qulonglong(raw.size())) + '\t'
                            + escaped(damage.reason) + '\t' + escapedBytes(raw, true) + '\n';
    appendAside(damagedPath(), id_, {{damage.at, line}});
}

SpoolFile::AsideCount SpoolFile::damagedCount() const
{
    AsideCount count;
    QFile f(damagedPath());
    if (!f.open(QIODevice::ReadOnly))
        return count;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine();
        if (!line.endsWith('\n'))
            break;
        ++count.lines;
        count.bytes += line.split('\t').value(3).toULongLong();
    }
    return count;
}

int64_t SpoolFile::rejectedCount() const
{
    QFile f(rejectedPath());
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    int64_t lines = 0;
    while (!f.atEnd()) {
        const QByteArray chunk = f.read(1 << 16);
        lines += chunk.count('\n');
    }
    return lines;
}
} // namespace tallyquill::spool
