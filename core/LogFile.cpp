#include "core/LogFile.h"

#include "core/Error.h"
#include "platform/FaultPoint.h"
#include "platform/Files.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyquill {

namespace {

constexpr qsizetype kBufferSize = 64 * 1024;

} // namespace

std::vector<FileIdentity> IdentitiesOf(const std::vector<QString>& paths)
{
    std::vector<FileIdentity> ids;
    for (const QString& p : paths) {
        struct stat st {};
        if (!p.isEmpty() && ::stat(QFile::encodeName(p).constData(), &st) == 0)
            ids.push_back({st.st_dev, st.st_ino});
    }
    return ids;
}

LogFile::LogFile(const QString& path, Mode mode, const std::vector<FileIdentity>& forbidden) : path_(path)
{
    const QByteArray native = path.toLocal8Bit();
    if (native.isEmpty() || native.contains('\0'))
        throw Failure(ErrorCategory::CannotCreate, "Cannot create \"" + path.toStdString() + "\": not a file name");
    if (mode == Mode::Append) {
        openAppend(native, forbidden);
    } else if (mode == Mode::Private) {
        openPrivate(native);
    } else {
        do {
            fd_ = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_TRUNC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0)
            failToCreate(errno);
    }
    buffer_.reserve(kBufferSize);
}

void LogFile::openAppend(const QByteArray& native, const std::vector<FileIdentity>& forbidden)
{
    // Not blocking: opening a FIFO for writing would wait for a reader. Read
    // too, to look at how the file ends.
    constexpr int flags = O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0; fd_ < 0; ++attempt) {
        fd_ = ::open(native.constData(), flags | O_CREAT | O_EXCL, 0600);
        if (fd_ >= 0) {
            created_ = true;
        } else if (errno != EEXIST && errno != EINTR) {
            failToCreate(errno);
        } else {
            fd_ = ::open(native.constData(), flags);
            // Gone between the two calls: try to make it again.
            if (fd_ < 0 && !(errno == EINTR || (errno == ENOENT && attempt < 3)))
                fail("open", errno);
        }
    }
    requireOwnRegularFile(forbidden);
    struct stat st {};
    // One writer at a time: a run takes back the lines of a day it could not
    // delete, which must never be another run's.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
        refuse(errno == EWOULDBLOCK ? std::string("another archive run is writing it") : std::strerror(errno));
    if (::fstat(fd_, &st) != 0)
        refuse(std::strerror(errno));
    written_ = uint64_t(st.st_size);
    // A run killed in the middle of a line left it cut. Its rows are still in
    // the table (nothing of that day was deleted), so the fragment goes: kept,
    // it would be imported as a wrong row. Only text of a line's size after
    // the last line end counts as one; anything else is ended and kept.
    try {
        takeBackFragment();
    } catch (const Error&) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

void LogFile::takeBackFragment()
{
    constexpr uint64_t kLongestFragment = uint64_t(1) << 20;
    if (written_ == 0)
        return;
    const uint64_t span = std::min(written_, kLongestFragment);
    std::string tail(size_t(span), '\0');
    if (!platform::PreadAll(fd_, tail.data(), tail.size(), off_t(written_ - span)))
        fail("read", errno);
    if (tail.back() == '\n')
        return;
    const size_t end = tail.rfind('\n');
    const bool fragment = (end != std::string::npos || written_ <= kLongestFragment)
                          && tail.find('\0', end == std::string::npos ? 0 : end) == std::string::npos;
    if (!fragment) {
        put("\r\n", 2);
        return;
    }
    const uint64_t keep = end == std::string::npos ? 0 : written_ - span + end + 1;
    if (::ftruncate(fd_, off_t(keep)) != 0)
        fail("truncate", errno);
    if (::fsync(fd_) != 0)
        fail("sync", errno);
    written_ = keep;
}

void LogFile::openPrivate(const QByteArray& native)
{
    // Not truncated on open: only once it is known to be ours. Not blocking:
    // a FIFO would wait for a reader.
    do {
        fd_ = ::open(native.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        if (errno == ELOOP)
            throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": it is a symbolic link");
        if (errno == ENXIO)
            throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": not a regular file");
        failToCreate(errno);
    }
    requireOwnRegularFile({});
    if (::ftruncate(fd_, 0) != 0)
        refuse(std::strerror(errno));
}

void LogFile::requireOwnRegularFile(const std::vector<FileIdentity>& forbidden)
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        refuse(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        refuse("not a regular file");
    if (std::find(forbidden.begin(), forbidden.end(), FileIdentity{st.st_dev, st.st_ino}) != forbidden.end())
        refuse("it is a file of the database itself");
    // A file someone else planted would hand them the log's lines.
    if (st.st_uid != ::geteuid())
        refuse("it belongs to another user");
    const int fl = ::fcntl(fd_, F_GETFL);
    if (fl < 0 || ::fcntl(fd_, F_SETFL, fl & ~O_NONBLOCK) != 0)
        refuse(std::strerror(errno));
}

void LogFile::refuse(const std::string& why)
{
    ::close(fd_);
    fd_ = -1;
    throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": " + why);
}

LogFile::~LogFile()
{
    try {
        close();
    } catch (const std::exception&) {
        // Only reached on a path that already failed, or without close().
    }
}

LogFile::LogFile(LogFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_), created_(other.created_), written_(other.written_),
      buffer_(std::move(other.buffer_))
{
    other.fd_ = -1;
}

LogFile& LogFile::operator=(LogFile&& other) noexcept
{
    if (this != &other) {
        try {
            close();
        } catch (const std::exception&) {
        }
        path_ = std::move(other.path_);
        fd_ = other.fd_;
        created_ = other.created_;
        written_ = other.written_;
        buffer_ = std::move(other.buffer_);
        other.fd_ = -1;
    }
    return *this;
}

void LogFile::writeLine(const QString& line)
{
    if (fd_ < 0)
        throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": the file is closed");
    buffer_ += line.toUtf8();
    buffer_ += "\r\n";
    if (buffer_.size() >= kBufferSize)
        flush();
}

void LogFile::write(std::string_view bytes)
{
    if (fd_ < 0)
        throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": the file is closed");
    if (qsizetype(bytes.size()) + buffer_.size() < kBufferSize) {
        buffer_.append(bytes.data(), qsizetype(bytes.size()));
        return;
    }
    flush();
    put(bytes.data(), bytes.size());
}

void LogFile::flush()
{
    try {
        put(buffer_.constData(), size_t(buffer_.size()));
    } catch (const Error&) {
        buffer_.clear();
        throw;
    }
    buffer_.clear();
}

void LogFile::put(const char* at, size_t left)
{
    // A test's kill in the middle of a write: the file ends in a cut line.
    if (left > 1 && fault::armed("logfile.midwrite")) {
        putBytes(at, left / 2);
        fault::point("logfile.midwrite");
        at += left / 2;
        left -= left / 2;
    }
    putBytes(at, left);
}

void LogFile::putBytes(const char* at, size_t left)
{
    const size_t done = platform::WriteAll(fd_, at, left);
    written_ += uint64_t(done);
    if (done < left)
        fail("write", errno);
}

void LogFile::truncate(uint64_t size)
{
    if (fd_ < 0)
        throw Failure(ErrorCategory::InputOutput, "Cannot write " + path_.toStdString() + ": the file is closed");
    if (size >= written_) {
        buffer_.truncate(qsizetype(std::min<uint64_t>(size - written_, uint64_t(buffer_.size()))));
        return;
    }
    buffer_.clear();
    // Only what this file wrote: if the file grew behind it, keep it all.
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        fail("cut back", errno);
    if (uint64_t(st.st_size) != written_)
        throw Failure(ErrorCategory::InputOutput, "Cannot cut back " + path_.toStdString() + ": another writer added to it");
    if (::ftruncate(fd_, off_t(size)) != 0)
        fail("cut back", errno);
    written_ = size;
}

void LogFile::sync()
{
    if (fd_ < 0)
        return;
    flush();
    if (::fsync(fd_) != 0)
        fail("sync", errno);
}

void LogFile::close()
{
    if (fd_ < 0)
        return;
    int error = 0;
    try {
        flush();
    } catch (const Error&) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
    if (::close(fd_) != 0 && errno != EINTR)
        error = errno;
    fd_ = -1;
    if (error)
        fail("write", error);
}

void SyncDirectory(const QString& dir)
{
    if (const int error = platform::SyncDirectory(dir))
        throw Failure(ErrorCategory::InputOutput, "Cannot sync the directory " + dir.toStdString() + ": " + std::strerror(error));
}

void LogFile::fail(const char* what, int error) const
{
    throw Failure(ErrorCategory::InputOutput, std::string("Cannot ") + what + " " + path_.toStdString() + ": " + std::strerror(error));
}

void LogFile::failToCreate(int error) const
{
    throw Failure(ErrorCategory::CannotCreate, "Cannot create " + path_.toStdString() + ": " + std::strerror(error));
}

} // namespace tallyquill
