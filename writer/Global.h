#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <functional>

class QWidget;

namespace tallyquill {

// What the viewer screen stored when it last loaded; read by the line layout,
// the screens and the print dialog. A non-zero flag hides its column.
struct ViewSettings {
    QString UserDesc;
    QString EventDesc;
    QString ActivityDesc;
    int16_t AppIDVisible = 0;
    int16_t WsIDVisible = 0;
    int16_t UserVisible = 0;
    int16_t EventVisible = 0;
};
ViewSettings& View();

// One record as a fixed-width line (no line end), leaving out hidden columns.
// Widths count characters, never halves of a surrogate pair.
QString BuildLogLine(const QString& date, const QString& time, const QString& appId, const QString& wsId,
                     const QString& user, const QString& eventType, const QString& activity);
// Pads or cuts to exactly `width` characters.
QString FitText(const QString& text, int width);

void BusyPointer(QWidget* screen);
void NormalPointer(QWidget* screen);

// Replaces the local clock, so that a test can watch how it is read.
void SetClock(std::function<QDateTime()> clock);  // empty restores the real one

// Stored date and time of one reading of the clock. Readings within the same
// second share the formatted texts, which keeps the time-zone lookup out of
// the writer's per-row cost.
struct Stamp {
    QString date;
    QString time;
};
Stamp CurrentStamp();

QString StoredDate(const QDateTime& t);  // "yyyymmdd"
QString StoredTime(const QDateTime& t);  // "hhmmss"

// dd/mm/yyyy from "yyyymmdd", hh:mm:ss from "hhmmss".
QString DisplayDate(const QString& stored);
QString DisplayTime(const QString& stored);

// A text as an SQL string literal: in single quotes, each quote doubled.
// Used where binding a parameter would make a driver materialise a result.
// Throws tallyquill::Error for a text holding a NUL, which no literal carries.
QString SqlLiteral(const QString& value);

// An application ID names a table, so only ASCII letters, digits and '_'.
bool IsValidAppId(const QString& appId);
QString TableName(const QString& appId);
// The log table as the writer creates it, and its (log_Date, log_Time) index.
QString CreateTableSql(const QString& table);
QString CreateIndexSql(const QString& table);

} // namespace tallyquill
