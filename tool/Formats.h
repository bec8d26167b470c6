#pragma once

// How `list` prints records: the print file's fixed-width text, RFC 4180 CSV
// with a header, or one JSON object per line. Pure functions of a record.

#include <QString>

#include <optional>

namespace tallyquill::cli {

// One log record as read, stored forms ("yyyymmdd", "hhmmss"); fixed-width
// columns may carry their padding.
struct Record {
    QString date, time, app, ws, user, event, activity;
};

enum class Format { Text, Csv, Json };
std::optional<Format> FormatNamed(const QString& name);

// The text layout's column selection and titles.
struct TextLayout {
    bool hideApp = false, hideWs = false, hideUser = false, hideEvent = false;
    QString userTitle = QStringLiteral("User");
    QString eventTitle = QStringLiteral("Event Type");
    QString activityTitle = QStringLiteral("Activity");
};

// The first line (none for JSON) and one record's line, without a line end.
std::optional<QString> HeaderLine(Format format, const TextLayout& layout);
QString RecordLine(Format format, const Record& record, const TextLayout& layout);

// "yyyymmdd" as "yyyy-mm-dd" and "hhmmss" as "hh:mm:ss".
QString IsoDate(const QString& stored);
QString IsoTime(const QString& stored);

} // namespace tallyquill::cli
