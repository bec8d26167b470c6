#include "tool/Output.h"

#include "platform/Files.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyquill::cli {

namespace {

std::string why(const QString& path, const char* what)
{
    return std::string(what) + " " + path.toStdString() + ": " + std::strerror(errno);
}

// A SQLite database begins with these 16 bytes; listing over it would
// destroy the log it was read from.
bool isSqliteDatabase(int fd)
{
    char head[16] = {};
    return pread(fd, head, sizeof head, 0) == sizeof head && std::memcmp(head, "SQLite format 3", 16) == 0;
}

} // namespace

Output::Output(const QString& path, bool crlf) : path_(path), eol_(crlf ? "\r\n" : "\n")
{
    if (path.isEmpty() || path == QLatin1String("-"))
        return;
    const QByteArray name = path.toLocal8Bit();
    auto refuse = [&](int fd, const std::string& why) {
        ::close(fd);
        throw Failure(EX_CANTCREAT, "Cannot create " + path.toStdString() + ": " + why);
    };
    // A new file is made by us alone; an existing one must be ours, or the
    // user who planted it would read the log we write into it.
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            break;
        fd = ::open(name.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0 && errno == EACCES)
            fd = ::open(name.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0 && !(errno == ENOENT && attempt < 3))
            break;
    }
    if (fd < 0)
        throw Failure(EX_CANTCREAT, errno == ELOOP ? "Cannot create " + path.toStdString() + ": it is a symbolic link"
                                                   : why(path, "Cannot create"));
    struct stat st {};
    if (fstat(fd, &st) != 0)
        refuse(fd, std::strerror(errno));
    // Devices such as /dev/null stay usable; files, pipes and sockets that
    // another user made are not.
    if (!S_ISCHR(st.st_mode) && st.st_uid != ::geteuid())
        refuse(fd, "it belongs to another user");
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
        refuse(fd, std::strerror(errno));
    if (S_ISREG(st.st_mode)) {
        if (isSqliteDatabase(fd))
            refuse(fd, "it is a SQLite database");
        if (ftruncate(fd, 0) != 0) {
            const std::string message = why(path, "Cannot empty");
            ::close(fd);
            throw Failure(EX_CANTCREAT, message);
        }
    }
    fd_ = fd;
}

Output::~Output()
{
    if (fd_ > 2)
        ::close(fd_);
}

void Output::line(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    buffer_.append(bytes.constData(), size_t(bytes.size()));
    endLine();
}

void Output::writeAll(const char* data, size_t size)
{
    if (platform::WriteAll(fd_, data, size) != size)
        throw Failure(EX_IOERR, why(toFile() ? path_ : QStringLiteral("standard output"), "Cannot write to"));
}

void Output::flush()
{
    // Emptied before the write, so that a failed write is not written again
    // by close(); after a good one the buffer keeps its room.
    std::string pending;
    pending.swap(buffer_);
    writeAll(pending.data(), pending.size());
    pending.clear();
    buffer_.swap(pending);
}

void Output::close()
{
    flush();
    if (!toFile())
        return;
    const int fd = std::exchange(fd_, 1);
    struct stat st {};
    // A file on disk is synced so that a full disk or a failing device is
    // reported now rather than lost at the next crash.
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if ((regular && fsync(fd) != 0) || ::close(fd) != 0)
        throw Failure(EX_IOERR, why(path_, "Cannot write to"));
}

} // namespace tallyquill::cli
