#pragma once

// How `list` prints records: the print file's fixed-width text, RFC 4180 CSV
// with a header, or one JSON object per line. Pure functions of a record.

#include "service/Command.h"

#include <QString>

#include <optional>

namespace tallyquill::cli {

// Records arrive in stored form ("yyyymmdd", "hhmmss"); fixed-width columns
// may carry their padding.
using Record = LogRecord;

enum class Format { Text, Csv, Json };
std::optional<Format> FormatNamed(const QString& name);

// The first line (none for JSON) and one record's line, without a line end.
// Only the text format leaves out the columns the layout hides.
std::optional<QString> HeaderLine(Format format, const LineLayout& layout);
QString RecordLine(Format format, const Record& record, const LineLayout& layout);

// Without the blanks a fixed-width column comes back padded with.
QString TrimEnd(const QString& s);

// "yyyymmdd" as "yyyy-mm-dd" and "hhmmss" as "hh:mm:ss".
QString IsoDate(const QString& stored);
QString IsoTime(const QString& stored);

} // namespace tallyquill::cli
