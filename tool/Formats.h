#pragma once

// How `list` prints records: the print file's fixed-width text, RFC 4180 CSV
// with a header, or one JSON object per line. Pure functions of a record.

#include "service/Command.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>

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

// The same line as RecordLine(format, RecordOf(record), layout).toUtf8(),
// appended straight from the bytes the database handed; a value that is not
// plain ASCII takes the QString way for itself alone.
void AppendRecordLine(std::string& out, Format format, const RecordBytes& record, const LineLayout& layout);
// UTF-8 as text, each byte that is not UTF-8 as U+FFFD.
QString Decoded(std::string_view bytes);
// A record read as bytes, decoded as the archive's fast path decodes them.
Record RecordOf(const RecordBytes& record);

// Without the blanks a fixed-width column comes back padded with.
QString TrimEnd(const QString& s);

// "yyyymmdd" as "yyyy-mm-dd" and "hhmmss" as "hh:mm:ss".
QString IsoDate(const QString& stored);
QString IsoTime(const QString& stored);

} // namespace tallyquill::cli
