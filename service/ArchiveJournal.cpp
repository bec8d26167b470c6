#include "service/ArchiveJournal.h"

#include "core/Error.h"
#include "core/LogFile.h"
#include "platform/Files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyquill {

namespace {

constexpr char kHead[] = "tallyquill archive pending\n";
constexpr char kEnd[] = "end\n";

std::string hex(const QByteArray& bytes) { return bytes.toHex().toStdString(); }

} // namespace

ArchiveJournal::ArchiveJournal(QString path) : path_(std::move(path))
{
    const QByteArray native = QFile::encodeName(path_);
    auto fail = [&](const std::string& why) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": " + why);
    };
    // Not blocking: a FIFO planted here would wait for a reader.
    constexpr int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0;; ++attempt) {
        created_ = false;
        fd_ = ::open(native.constData(), flags | O_CREAT | O_EXCL, 0600);
        if (fd_ >= 0)
            created_ = true;
        else if (errno == EEXIST || errno == EINTR)
            fd_ = ::open(native.constData(), flags);
        if (fd_ < 0) {
            if ((errno == ENOENT || errno == EINTR) && attempt < 3)
                continue;
            fail(errno == ELOOP ? std::string("it is a symbolic link") : std::strerror(errno));
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0)
            fail(std::strerror(errno));
        if (!S_ISREG(st.st_mode))
            fail("not a regular file");
        if (st.st_uid != ::geteuid())
            fail("it belongs to another user");
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
            fail(errno == EWOULDBLOCK ? std::string("another archive run is writing there") : std::strerror(errno));
        // A run that ended removed the file while this one waited to lock
        // it: lock the one at the path.
        struct stat now {};
        if (::stat(native.constData(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            break;
        ::close(fd_);
        fd_ = -1;
        if (attempt >= 3)
            fail("it keeps being replaced");
    }
    const int fl = ::fcntl(fd_, F_GETFL);
    if (fl < 0 || ::fcntl(fd_, F_SETFL, fl & ~O_NONBLOCK) != 0)
        fail(std::strerror(errno));
    try {
        empty_ = !pending();
    } catch (const Error&) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

ArchiveJournal::~ArchiveJournal()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<PendingDay> ArchiveJournal::pending() const
{
    std::string text(4096, '\0');
    ssize_t n;
    do {
        n = ::pread(fd_, text.data(), text.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        throw Failure(ErrorCategory::InputOutput, "Cannot read " + path_.toStdString() + ": " + std::strerror(errno));
    text.resize(size_t(n));
    // Cut short: its day's lines had not begun.
    if (text.size() < sizeof kEnd || text.compare(text.size() - (sizeof kEnd - 1), std::string::npos, kEnd) != 0)
        return std::nullopt;
    const QList<QByteArray> lines = QByteArray::fromStdString(text).split('\n');
    PendingDay day;
    bool ok = lines.size() == 6 && lines[0] + '\n' == kHead && lines[1].startsWith("day ")
              && lines[2].startsWith("from ") && lines[3].startsWith("hidden ") && lines[4] == "end";
    if (ok) {
        const QByteArray date = QByteArray::fromHex(lines[1].mid(4));
        day.day = QString::fromUtf8(date);
        bool number = false, bits = false;
        day.from = lines[2].mid(5).toULongLong(&number);
        const uint hidden = lines[3].mid(7).toUInt(&bits);
        day.hidden = uint8_t(hidden);
        ok = number && bits && hidden < 16 && date.toHex() == lines[1].mid(4) && day.day.toUtf8() == date;
    }
    if (!ok)
        throw Failure(ErrorCategory::InputOutput, "Cannot read " + path_.toStdString()
                    + ": it is not an archive run's note of a pending day; move it away once its archive file "
                      "is checked");
    return day;
}

void ArchiveJournal::record(const PendingDay& day)
{
    const std::string text = kHead + ("day " + hex(day.day.toUtf8())) + "\nfrom " + std::to_string(day.from)
                             + "\nhidden " + std::to_string(day.hidden) + "\n" + kEnd;
    auto fail = [&](int error) {
        throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": " + std::strerror(error));
    };
    if (::ftruncate(fd_, 0) != 0)
        fail(errno);
    empty_ = false;
    if (platform::PwriteAll(fd_, text.data(), text.size(), 0) != text.size())
        fail(errno);
    if (::fsync(fd_) != 0)
        fail(errno);
    if (created_ && !dirSynced_) {
        SyncDirectory(QFileInfo(path_).absolutePath());
        dirSynced_ = true;
    }
}

void ArchiveJournal::clear()
{
    // Not synced: a note that comes back names a day whose rows are gone,
    // and a later run keeps its lines.
    if (::ftruncate(fd_, 0) != 0)
        throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": " + std::strerror(errno));
    empty_ = true;
}

void ArchiveJournal::close()
{
    if (fd_ < 0)
        return;
    // Removed while still locked: a run that opens it meanwhile sees that it
    // went and makes its own.
    if (empty_)
        ::unlink(QFile::encodeName(path_).constData());
    ::close(fd_);
    fd_ = -1;
}

} // namespace tallyquill
