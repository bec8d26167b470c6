#pragma once

// Dates and times as an operator types them on the command line, turned into
// the log's stored forms. Nothing here touches the database.

#include <QDateTime>
#include <QString>

#include <optional>
#include <stdexcept>

namespace tallyquill::cli {

// A value the operator typed that cannot be read: the viewer's own text for
// it when there is one (its string id, 0 when there is none) and the value.
struct BadValue : std::runtime_error {
    BadValue(int messageId, const std::string& english, const std::string& value = {})
        : std::runtime_error(value.empty() ? english : english + ": " + value),
          messageId(messageId),
          english(english),
          value(value)
    {
    }
    int messageId;
    std::string english;
    std::string value;
};

// How to read a/b/yyyy: unset reads it only where it cannot be misread.
enum class DateOrder { Unset, Dmy, Mdy };

enum class Edge { Start, End };

// One instant in the stored forms: "yyyymmdd" and "hhmmss".
struct Instant {
    QString date;
    QString time;
    friend bool operator==(const Instant&, const Instant&) = default;
    // Both forms are fixed-width digits, so text order is time order.
    friend bool operator<(const Instant& a, const Instant& b)
    {
        return a.date < b.date || (a.date == b.date && a.time < b.time);
    }
};

Instant ToInstant(const QDateTime& t);

// Reads YYYY-MM-DD (optionally followed by "T" or a space and a time),
// dd/mm/yyyy where it is unambiguous or the order says how, "today",
// "yesterday", "now" and -N followed by d, h or m (days, hours, minutes ago).
// A day without a time starts at 00:00:00 at the Start edge and ends at
// 23:59:59 at the End edge. Throws BadValue.
Instant ParseWhen(const QString& text, DateOrder order, Edge edge, const QDateTime& now);

// HH:MM:SS, or H:MM and H:MM:SS, as "hhmmss". Throws BadValue ("Invalid time").
QString ParseTimeOfDay(const QString& text);

// "90d" or "90": a number of days, at least 1. Throws BadValue.
int ParseDays(const QString& text);

} // namespace tallyquill::cli
