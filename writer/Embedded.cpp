#include "tallyquill/embedded.h"

#include "odbc/Odbc.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace tallyquill {

std::string SetupEmbeddedDefault(const std::string& dsn, const std::string& databasePath)
{
    const QString name = QString::fromStdString(dsn);
    if (name.isEmpty() || name.contains(QLatin1Char(']')) || name.contains(QLatin1Char('[')))
        throw Error("Invalid data source name \"" + dsn + "\"");
    QString path = QString::fromStdString(databasePath);
    if (path.isEmpty()) {
        QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
        if (dataHome.isEmpty())
            dataHome = QDir::homePath() + QStringLiteral("/.local/share");
        path = dataHome + QStringLiteral("/tallyquill/") + name + QStringLiteral(".sqlite");
    }
    path = QFileInfo(path).absoluteFilePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        throw Error("Cannot create the directory of " + path.toStdString());
    odbc::writeUserDsn(name, QStringLiteral("SQLite3"),
                       {{QStringLiteral("Description"), QStringLiteral("Tallyquill activity log")},
                        {QStringLiteral("Database"), path},
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
