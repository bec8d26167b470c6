#pragma once

// Text between Qt and the wide (UTF-16) ODBC calls, for this room's files.

#include <sql.h>

#include <QString>

namespace tallyquill::odbc {

inline SQLWCHAR* wide(const QString& s)
{
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(reinterpret_cast<const char16_t*>(s.utf16())));
}

// Every unit as it came: fromUtf16 would take a leading U+FEFF or U+FFFE for
// a byte order mark, dropping the first or swapping every character.
inline QString fromWide(const SQLWCHAR* s, SQLLEN units)
{
    return QString(reinterpret_cast<const QChar*>(s), qsizetype(units));
}

inline bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7F && u <= 0x9F);
}

} // namespace tallyquill::odbc
