#include "platform/IniLines.h"

#include "platform/Files.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyquill::platform {

namespace {

// The file a path names: a symbolic link is followed to its target. None
// (ELOOP) for a loop.
std::optional<QString> followLinks(QString path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        const QString target = QFileInfo(path).symLinkTarget();
        if (target.isEmpty())
            return std::nullopt;
        path = target;
    }
    errno = ELOOP;
    return std::nullopt;
}

} // namespace

std::optional<IniLines> IniLines::read(const QString& path, qint64 maxSize)
{
    const std::optional<QString> file = followLinks(path);
    if (!file)
        return std::nullopt;
    IniLines ini;
    ini.file_ = *file;
    ini.sections_.push_back({});
    // Not blocking: a FIFO would wait for a writer for ever.
    const int fd = ::open(QFile::encodeName(*file).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return ini;
        return std::nullopt;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    ini.exists_ = true;
    ini.mode_ = st.st_mode & 07777;
    char buf[8192];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            ini.original_.append(buf, n);
        else if (n == 0)
            break;
        else if (errno != EINTR)
            ok = false;
        if (maxSize >= 0 && ini.original_.size() > maxSize) {
            errno = EFBIG;
            ok = false;
        }
    }
    const int error = errno;
    ::close(fd);
    if (!ok) {
        errno = error;
        return std::nullopt;
    }
    QList<QByteArray> lines = ini.original_.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();  // after the final line end
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.size() >= 2 && line.startsWith('[') && line.endsWith(']'))
            ini.sections_.push_back({QString::fromUtf8(line.mid(1, line.size() - 2)).trimmed(), raw, {}});
        else
            ini.sections_.back().lines.push_back(raw);
    }
    return ini;
}

void IniLines::put(const QString& name, QList<QByteArray> lines)
{
    lines.push_back({});
    const auto at = std::find_if(sections_.begin() + 1, sections_.end(),
                                 [&name](const Section& s) { return s.name == name; });
    if (at != sections_.end()) {
        at->lines = std::move(lines);
        return;
    }
    if (!sections_.back().lines.isEmpty() && !sections_.back().lines.last().trimmed().isEmpty())
        sections_.back().lines.push_back({});
    sections_.push_back({name, '[' + name.toUtf8() + ']', std::move(lines)});
}

void IniLines::remove(const QString& name)
{
    sections_.erase(std::remove_if(sections_.begin() + 1, sections_.end(),
                                   [&name](const Section& s) { return s.name == name; }),
                    sections_.end());
}

QByteArray IniLines::text() const
{
    QByteArray out;
    for (const Section& section : sections_) {
        if (!section.header.isEmpty())
            out += section.header + '\n';
        for (const QByteArray& l : section.lines)
            out += l + '\n';
    }
    return out;
}

int IniLines::save() const
{
    const QByteArray bytes = text();
    if (exists_ && bytes == original_)
        return 0;
    if (const DirectoryFault fault = MakeDirectories(QFileInfo(file_).path()))
        return fault.error ? fault.error : ENOTDIR;
    return ReplaceFile(file_, bytes, mode_);
}

} // namespace tallyquill::platform
