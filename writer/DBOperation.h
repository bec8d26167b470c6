#pragma once

#include <QString>

#include <cstdint>

namespace tallyquill {

namespace odbc {
class Connection;
}

// "UID=<login>;PWD=<password>;DSN=<name>;"
QString ConnectString(const QString& dsn, const QString& login, const QString& password);

// Opens the connection without prompting: 0 when connected, 1 when any step
// failed. Shows nothing.
int16_t OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login,
                          const QString& password);

} // namespace tallyquill
