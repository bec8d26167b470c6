#include "platform/Files.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyquill::platform {

namespace {

// Writes until all is written or a call fails for another reason than a
// signal; a call that writes nothing without saying why is a full disk.
template <class WriteSome>
size_t writeLoop(size_t size, WriteSome&& writeSome)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = writeSome(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += size_t(n);
    }
    return done;
}

} // namespace

size_t WriteAll(int fd, const char* data, size_t size)
{
    return writeLoop(size, [&](size_t done) { return ::write(fd, data + done, size - done); });
}

size_t PwriteAll(int fd, const char* data, size_t size, off_t at)
{
    return writeLoop(size, [&](size_t done) { return ::pwrite(fd, data + done, size - done, at + off_t(done)); });
}

bool PreadAll(int fd, char* data, size_t size, off_t at)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= size_t(n);
        at += n;
    }
    return true;
}

int SyncDirectory(const QString& dir)
{
    const QByteArray native = QFile::encodeName(dir.isEmpty() ? QStringLiteral(".") : dir);
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

namespace {

// mkdir for each level, from the root down: one that exists is passed.
DirectoryFault makeLevels(const QString& dir)
{
    QString path = dir.startsWith(QLatin1Char('/')) ? QString() : QStringLiteral(".");
    for (const QString& part : dir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)
            return {DirectoryFault::Create, path, errno};
    }
    return {};
}

} // namespace

DirectoryFault MakeDirectories(const QString& dir)
{
    if (const DirectoryFault fault = makeLevels(dir))
        return fault;
    struct stat st {};
    if (::stat(QFile::encodeName(dir.isEmpty() ? QStringLiteral(".") : dir).constData(), &st) != 0)
        return {DirectoryFault::Open, dir, errno};
    if (!S_ISDIR(st.st_mode))
        return {DirectoryFault::Create, dir, ENOTDIR};
    return {};
}

DirectoryFault MakePrivateDirectory(const QString& dir)
{
    if (const DirectoryFault fault = makeLevels(dir))
        return fault;
    const QByteArray p = QFile::encodeName(dir);
    struct stat st {};
    if (::lstat(p.constData(), &st) != 0)
        return {DirectoryFault::Open, dir, errno};
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return {DirectoryFault::NotOwn, dir, 0};
    if ((st.st_mode & 077) != 0 && ::chmod(p.constData(), 0700) != 0)
        return {DirectoryFault::MakePrivate, dir, errno};
    return {};
}

int ReplaceFile(const QString& path, const QByteArray& bytes, mode_t mode)
{
    const QFileInfo info(path);
    const QString dir = info.path();
    QByteArray tmp = QFile::encodeName(dir + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);  // made 0600
    if (fd < 0)
        return errno;
    int error = 0;
    if (WriteAll(fd, bytes.constData(), size_t(bytes.size())) != size_t(bytes.size())
        || (mode != 0600 && ::fchmod(fd, mode) != 0) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(tmp.constData(), QFile::encodeName(path).constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(tmp.constData());
        return error;
    }
    return SyncDirectory(dir);
}

} // namespace tallyquill::platform
