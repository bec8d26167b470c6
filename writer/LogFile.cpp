#include "writer/LogFile.h"

#include "tallyquill/error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tallyquill {

namespace {

constexpr qsizetype kBufferSize = 64 * 1024;

int openFlags(LogFile::Mode mode)
{
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    switch (mode) {
    case LogFile::Mode::Truncate:
        flags |= O_TRUNC;
        break;
    }
    return flags;
}

} // namespace

LogFile::LogFile(const QString& path, Mode mode) : path_(path)
{
    const QByteArray native = path.toLocal8Bit();
    if (native.isEmpty() || native.contains('\0'))
        throw Error("Cannot create \"" + path.toStdString() + "\": not a file name");
    do {
        fd_ = ::open(native.constData(), openFlags(mode), 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0)
        fail("create", errno);
    buffer_.reserve(kBufferSize);
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
    : path_(std::move(other.path_)), fd_(other.fd_), buffer_(std::move(other.buffer_))
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
        buffer_ = std::move(other.buffer_);
        other.fd_ = -1;
    }
    return *this;
}

void LogFile::writeLine(const QString& line)
{
    if (fd_ < 0)
        throw Error("Cannot write " + path_.toStdString() + ": the file is closed");
    buffer_ += line.toUtf8();
    buffer_ += "\r\n";
    if (buffer_.size() >= kBufferSize)
        flush();
}

void LogFile::flush()
{
    const char* at = buffer_.constData();
    qsizetype left = buffer_.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, at, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            buffer_.clear();
            fail("write", error);
        }
        at += n;
        left -= n;
    }
    buffer_.clear();
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

void LogFile::fail(const char* what, int error) const
{
    throw Error(std::string("Cannot ") + what + " " + path_.toStdString() + ": " + std::strerror(error));
}

} // namespace tallyquill
