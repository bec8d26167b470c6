#pragma once

// A log record as one line of fixed-width columns: archive files, print files
// and the command's listing all use it.

#include "tallyquill/export.h"
#include "core/LogRecord.h"
#include "core/Schema.h"

#include <QString>

namespace tallyquill {

// Column widths of a log line. The identifiers and the event type show their
// whole table column; the user gets more room.
constexpr int kDateWidth = 10;
constexpr int kTimeWidth = 8;
constexpr int kAppIdWidth = ColumnWidth(LogColumn::AppID);
constexpr int kWsIdWidth = ColumnWidth(LogColumn::WsID);
constexpr int kUserWidth = 20;
constexpr int kEventWidth = ColumnWidth(LogColumn::EventType);

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
    // Bidirectional controls as stored, not as stand-ins: for archive lines,
    // which import must restore exactly and which they cannot break.
    bool keepBidi = false;
};

// The stand-in a line shows for a character that would break the line, move
// a reader's cursor or start a terminal sequence: C0 controls as their Control
// Pictures (U+2400 + code), DEL as U+2421, and C1 controls, LINE SEPARATOR,
// PARAGRAPH SEPARATOR and the bidirectional controls (which reorder what a
// reader sees) as U+FFFD. One character for one, so widths hold; every other
// character is itself. Whatever writes a record line maps through this.
constexpr char32_t kHiddenCharStandIn = 0xFFFD;
constexpr bool IsBidiControl(char32_t c) noexcept
{
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}
constexpr char32_t VisibleChar(char32_t c, bool keepBidi = false) noexcept
{
    if (c < 0x20)
        return 0x2400 + c;
    if (c == 0x7F)
        return 0x2421;
    if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (!keepBidi && IsBidiControl(c)))
        return kHiddenCharStandIn;
    return c;
}
// `text` with each character mapped through VisibleChar.
QString VisibleText(QString text);

// One record as a fixed-width line (no line end), leaving out hidden columns.
// Widths count characters, never halves of a surrogate pair. The stored text
// is shown through VisibleChar, so a record is always one line.
QString BuildLogLine(const LogRecord& record, const LineLayout& layout = {});
// The header line of a print file, in the same columns.
QString HeaderLine(const LineLayout& layout);
// Pads or cuts to exactly `width` characters.
QString FitText(const QString& text, int width);

} // namespace tallyquill
