#pragma once

// The log record, the unit in which records travel between the parts, and
// the stored and display forms of its date and time.

#include "tallyquill/export.h"
#include <QDateTime>
#include <QString>

#include <functional>

namespace tallyquill {

// One record's seven columns as text. Which form the date and time are in
// (stored "yyyymmdd"/"hhmmss" or display "dd/mm/yyyy"/"hh:mm:ss") is up to
// whoever holds it.
struct LogRecord {
    QString Date;
    QString Time;
    QString AppID;
    QString WsID;
    QString UserName;
    QString EventType;
    QString Activity;

    bool operator==(const LogRecord&) const = default;
};

// As the viewer screen lists it: display date and time, the other five
// without the blanks that char columns carry.
LogRecord DisplayForm(const LogRecord& stored);

// Without leading and trailing blanks (U+0020) only; a tab, a line break or
// an ideographic space is part of the text.
QString TrimBlanks(const QString& text);

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

} // namespace tallyquill
