#include "tallyquill/embedded.h"

#include "odbc/Odbc.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tallyquill {

namespace {

// Creates the missing folders of `dir` for the owner alone: the log may hold
// what users did, and who can list the folder sees its files.
void makeOwnPath(const QString& dir)
{
    if (const platform::DirectoryFault fault = platform::MakeDirectories(dir))
        throw Error("Cannot create the directory " + fault.path.toStdString() + ": " + std::strerror(fault.error));
}

} // namespace

std::string SetupEmbeddedDefault(const std::string& dsn, const std::string& databasePath)
{
    const QString name = QString::fromStdString(dsn);
    odbc::checkDataSourceName(name);
    QString path = QString::fromStdString(databasePath);
    if (path.isEmpty())
        path = platform::DatabaseDirectory() + QLatin1Char('/') + odbc::Dialect::sqlite().databaseFileName(name);
    path = QFileInfo(path).absoluteFilePath();
    if (std::any_of(path.begin(), path.end(), [](QChar c) { return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F); }))
        throw Error("The database path may not hold control characters");
    makeOwnPath(QFileInfo(path).absolutePath());
    // An empty file is an empty database; made here, it is the owner's alone,
    // and SQLite gives its journal files the same permissions.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    else if (errno != EEXIST)
        throw Error("Cannot create " + path.toStdString() + ": " + std::strerror(errno));
    odbc::writeUserDsn(name, odbc::Dialect::sqlite().driver(),
                       {{QStringLiteral("Description"), QStringLiteral("Tallyquill activity log")},
                        {odbc::Dialect::sqlite().databaseAttribute(), path},
                        // Fetch rows as they are stepped instead of materialising the result.
                        {QStringLiteral("StepAPI"), QStringLiteral("1")},
                        {QStringLiteral("JournalMode"), QStringLiteral("WAL")},
                        {QStringLiteral("SyncPragma"), QStringLiteral("NORMAL")},
                        // Milliseconds a writer waits for another's lock.
                        {QStringLiteral("Timeout"), QStringLiteral("30000")},
                        {QStringLiteral("LongNames"), QStringLiteral("0")},
                        {QStringLiteral("NoTXN"), QStringLiteral("0")}});
    return path.toStdString();
}

} // namespace tallyquill
