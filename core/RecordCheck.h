#pragma once

// The checks a row passes before anything is written, shared by every way a
// row reaches the log table: every database then keeps the same rows, and
// a row refused by one is refused by all.

#include "tallyquill/export.h"

#include <QString>

#include <string>

namespace tallyquill {

// A host's UTF-8 text. Throws InvalidTextError, naming `field`, for bytes
// that are not UTF-8 (a stray byte, an overlong form, an encoded surrogate).
QString HostText(const std::string& utf8, const char* field);

// One row as it is stored: identifiers, user and event type already in
// capitals. Throws InvalidAppIdError for an application ID that cannot name a
// table, InvalidTextError for a NUL or a lone surrogate in any value, and
// DatabaseError 22001 (as PostgreSQL does) for a value longer than its
// column, counted in characters.
void CheckRecord(const QString& appId, const QString& wsId, const QString& user, const QString& eventType,
                 const QString& data);

} // namespace tallyquill
