#include "odbc/Dialect.h"

namespace tallyquill::odbc {

const Dialect& Dialect::sqlite()
{
    static const Dialect d(Kind::SQLite);
    return d;
}

const Dialect& Dialect::postgresql()
{
    static const Dialect d(Kind::PostgreSQL);
    return d;
}

const Dialect& Dialect::ofDbms(const QString& dbmsName)
{
    static const Dialect other(Kind::Other);
    if (dbmsName.startsWith(QLatin1String("SQLite"), Qt::CaseInsensitive))
        return sqlite();
    if (dbmsName.startsWith(QLatin1String("PostgreSQL"), Qt::CaseInsensitive))
        return postgresql();
    return other;
}

QString Dialect::backslashEscapesQuery() const
{
    // Off for a role, a database or in the DSN's connect settings.
    return kind_ == Kind::PostgreSQL ? QStringLiteral("SHOW standard_conforming_strings") : QString();
}

bool Dialect::backslashEscapesFromAnswer(const QString& answer) const
{
    return kind_ == Kind::PostgreSQL && answer.trimmed().compare(QLatin1String("on"), Qt::CaseInsensitive) != 0;
}

QString Dialect::asciiCaseFolded(const QString& column) const
{
    switch (kind_) {
    case Kind::SQLite:
        return column;
    case Kind::PostgreSQL:
        return QStringLiteral("translate(") + column
               + QStringLiteral(", 'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz')");
    case Kind::Other:
        break;
    }
    // The pattern comes lowered: a database we do not know must lower the
    // column too, or an exact LIKE would miss every capital.
    return QStringLiteral("LOWER(") + column + QLatin1Char(')');
}

QString Dialect::writeLockBegin() const
{
    // The SQLite driver cannot stream a result inside its own transactions.
    return kind_ == Kind::SQLite ? QStringLiteral("BEGIN IMMEDIATE") : QString();
}

QString Dialect::byteCollation() const
{
    return kind_ == Kind::SQLite ? QStringLiteral(" COLLATE BINARY") : QStringLiteral(" COLLATE \"C\"");
}

bool Dialect::isMissingTable(const DatabaseError& e) const
{
    if (e.sqlstate() == "42S02")
        return true;
    switch (kind_) {
    case Kind::PostgreSQL:
        return e.sqlstate() == "42P01";
    case Kind::SQLite:
        return e.sqlstate() == "HY000" && e.description().find("no such table") != std::string::npos;
    case Kind::Other:
        break;
    }
    return false;
}

bool Dialect::isMissingTableInAny(const DatabaseError& e)
{
    return sqlite().isMissingTable(e) || postgresql().isMissingTable(e);
}

QString Dialect::driver() const
{
    switch (kind_) {
    case Kind::SQLite:
        return QStringLiteral("SQLite3");
    case Kind::PostgreSQL:
        return QStringLiteral("PostgreSQL Unicode");
    case Kind::Other:
        break;
    }
    return QString();
}

QString Dialect::databaseFileName(const QString& dsn) const
{
    return kind_ == Kind::SQLite ? dsn + QStringLiteral(".sqlite") : QString();
}

QString Dialect::databaseFilesQuery() const
{
    return kind_ == Kind::SQLite ? QStringLiteral("PRAGMA database_list") : QString();
}

std::vector<QString> Dialect::databaseFileSuffixes() const
{
    if (kind_ != Kind::SQLite)
        return {};
    return {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")};
}

QString Dialect::lockWaitAttribute() const { return kind_ == Kind::SQLite ? QStringLiteral("Timeout") : QString(); }

} // namespace tallyquill::odbc
