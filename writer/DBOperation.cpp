#include "DBOperation.h"

#include "Odbc.h"

namespace tallyquill {

QString ConnectString(const QString& dsn, const QString& login, const QString& password)
{
    return QStringLiteral("UID=") + login + QStringLiteral(";PWD=") + password + QStringLiteral(";DSN=") + dsn
           + QStringLiteral(";");
}

int16_t OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login, const QString& password)
{
    try {
        conn.open(ConnectString(dsn, login, password));
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

} // namespace tallyquill
