#pragma once

// A log record as one line of fixed-width columns: archive files, print files
// and the command's listing all use it.

#include "tallyquill/export.h"
#include "writer/LogRecord.h"

#include <QString>

namespace tallyquill {

// Column widths of a log line.
constexpr int kDateWidth = 10;
constexpr int kTimeWidth = 8;
constexpr int kAppIdWidth = 10;
constexpr int kWsIdWidth = 16;
constexpr int kUserWidth = 20;
constexpr int kEventWidth = 8;

// Which columns a line leaves out, and the titles that head the user, event
// type and activity columns. Each caller passes its own.
struct LineLayout {
    bool hideAppID = false;
    bool hideWsID = false;
    bool hideUser = false;
    bool hideEvent = false;
    QString userTitle = QStringLiteral("User");
    QString eventTitle = QStringLiteral("Event Type");
    QString activityTitle = QStringLiteral("Activity");
};

// One record as a fixed-width line (no line end), leaving out hidden columns.
// Widths count characters, never halves of a surrogate pair.
TQ_INTERNAL_API QString BuildLogLine(const LogRecord& record, const LineLayout& layout = {});
// The header line of a print file, in the same columns.
TQ_INTERNAL_API QString HeaderLine(const LineLayout& layout);
// Pads or cuts to exactly `width` characters.
QString FitText(const QString& text, int width);

} // namespace tallyquill
