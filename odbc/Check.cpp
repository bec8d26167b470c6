// What a failed call says: one check() turns every return code into a
// DatabaseError with the driver's first diagnostic record, and the questions
// callers ask of such an error.

#include "odbc/Odbc.h"
#include "odbc/Dialect.h"
#include "odbc/Wide.h"

#include <algorithm>

namespace tallyquill::odbc {

bool isConnectionLost(const QString& sqlstate)
{
    return sqlstate.startsWith(QLatin1String("08"));
}

bool isMissingTable(const DatabaseError& e) { return Dialect::isMissingTableInAny(e); }

bool isExistingTable(const DatabaseError& e)
{
    return e.sqlstate() == "42S01" || e.sqlstate() == "42P07"
           || (e.description().find("table") != std::string::npos
               && e.description().find("already exists") != std::string::npos);
}

bool isRefusedData(const DatabaseError& e)
{
    const std::string& state = e.sqlstate();
    if (state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0)
        return true;
    // SQLITE_CONSTRAINT is 19; extended codes keep it in the low byte.
    return state == "HY000"
           && ((e.number() & 0xff) == 19 || e.description().find("constraint failed") != std::string::npos);
}

void checkDataSourceName(const QString& name)
{
    static const QString forbidden = QStringLiteral("[]{}(),;?*=!@\\");
    if (name.isEmpty())
        throw Error("No data source name given");
    const bool control = std::any_of(name.begin(), name.end(), isControl);
    if (control)
        throw Error("The data source name may not hold control characters");
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return forbidden.contains(c); }))
        throw Error("Invalid data source name \"" + name.toStdString()
                    + "\": it may not hold any of []{}(),;?*=!@\\");
    if (name.size() > SQL_MAX_DSN_LENGTH)
        throw Error("Invalid data source name \"" + name.toStdString() + "\": longer than "
                    + std::to_string(SQL_MAX_DSN_LENGTH) + " characters");
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* what, const Session* session)
{
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA)
        return;
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[SQL_MAX_MESSAGE_LENGTH * 2] = {};
    SQLSMALLINT length = 0;
    QString sqlstate = QStringLiteral("HY000");
    QString text;
    if (handle != SQL_NULL_HANDLE
        && SQL_SUCCEEDED(SQLGetDiagRecW(handleType, handle, 1, state, &native, message,
                                        SQLSMALLINT(std::size(message)), &length))) {
        sqlstate = fromWide(state, 5);
        text = fromWide(message, std::min<SQLLEN>(length, SQLLEN(std::size(message)) - 1)).trimmed();
    } else {
        text = QStringLiteral("%1 failed with return code %2").arg(QLatin1String(what)).arg(rc);
    }
    if (session && session->timedOut()) {
        const int seconds = session->watchdogSeconds();
        throw DatabaseError("HYT00", native,
                            "The database server did not answer within " + std::to_string(seconds)
                                + " s; the connection was closed, and whether the last statement took effect "
                                  "is not known (" + sqlstate.toStdString() + " " + text.toStdString() + ")",
                            true);
    }
    bool lost = isConnectionLost(sqlstate);
    if (!lost && handleType == SQL_HANDLE_DBC && handle != SQL_NULL_HANDLE) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        if (SQL_SUCCEEDED(SQLGetConnectAttr(handle, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
            lost = dead == SQL_CD_TRUE;
    }
    throw DatabaseError(sqlstate.toStdString(), native, text.toStdString(), lost);
}


} // namespace tallyquill::odbc
