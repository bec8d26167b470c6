// Registering a data source for this user.

#include "odbc/Odbc.h"
#include "odbc/Wide.h"

#include <odbcinst.h>

#include <QDir>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>

namespace tallyquill::odbc {

// --- DSN registration ---------------------------------------------------------

void writeUserDsn(const QString& name, const QString& driver,
                  const std::vector<std::pair<QString, QString>>& attributes)
{
    // A line break in a value would add settings of its own to the file.
    checkDataSourceName(name);
    auto plain = [](const QString& text) { return std::none_of(text.begin(), text.end(), isControl); };
    if (!plain(driver))
        throw Error("The driver name may not hold control characters");
    for (const auto& [key, value] : attributes)
        if (!plain(key) || !plain(value) || key.contains(QLatin1Char('=')))
            throw Error("The data source setting " + key.toStdString() + " may not hold control characters");
    // A new file holds passwords of other data sources, soon if not now.
    // unixODBC's own choice: $ODBCINI, else the account's home directory.
    QByteArray file = qgetenv("ODBCINI");
    if (file.isEmpty()) {
        const passwd* account = getpwuid(getuid());
        file = (account && account->pw_dir ? QByteArray(account->pw_dir) : QFile::encodeName(QDir::homePath()))
               + "/.odbc.ini";
    }
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    if (!SQLSetConfigMode(ODBC_USER_DSN))
        throw Error("Cannot select the per-user ODBC configuration");
    auto write = [&](const QString& key, const QString& value) {
        if (!SQLWritePrivateProfileStringW(wide(name), wide(key), wide(value), wide(QStringLiteral("odbc.ini")))) {
            DWORD code = 0;
            WCHAR msg[512] = {};
            WORD len = 0;
            SQLInstallerErrorW(1, &code, msg, WORD(std::size(msg)), &len);
            SQLSetConfigMode(ODBC_BOTH_DSN);
            throw Error(("Cannot register the data source " + name + ": "
                         + QString::fromUtf16(reinterpret_cast<const char16_t*>(msg), len)).toStdString());
        }
    };
    write(QStringLiteral("Driver"), driver);
    for (const auto& [key, value] : attributes)
        write(key, value);
    SQLSetConfigMode(ODBC_BOTH_DSN);
}

} // namespace tallyquill::odbc

namespace tallyquill {

DatabaseError::DatabaseError(std::string sqlstate, int32_t number, std::string description, bool connectionLost)
    : Error("[" + sqlstate + "] " + description),
      sqlstate_(std::move(sqlstate)),
      number_(number),
      description_(std::move(description)),
      connectionLost_(connectionLost)
{
}

InvalidAppIdError::InvalidAppIdError(const std::string& appId)
    : Error("Invalid AppID \"" + appId + "\": use letters, digits and _ only")
{
}

} // namespace tallyquill
