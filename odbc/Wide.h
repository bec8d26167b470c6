#pragma once

// Text between Qt and the wide (UTF-16) ODBC calls, for this room's files.

#include <sql.h>

#include <QString>

namespace tallyquill::odbc {

inline SQLWCHAR* wide(const QString& s)
{
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(reinterpret_cast<const char16_t*>(s.utf16())));
}

inline QString fromWide(const SQLWCHAR* s, SQLLEN units)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(s), units);
}

inline bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7F && u <= 0x9F);
}

} // namespace tallyquill::odbc
