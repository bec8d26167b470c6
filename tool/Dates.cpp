#include "tool/Dates.h"

#include "service/Command.h"

#include <QRegularExpression>

namespace tallyquill::cli {

namespace {

constexpr int kInvalidDate = command::msg::InvalidDate;
constexpr int kInvalidTime = command::msg::InvalidTime;

[[noreturn]] void invalidDate(const QString& text)
{
    throw BadValue(kInvalidDate, "Invalid date", text.toStdString());
}

// "H:MM", "H:MM:SS" or "HH:MM:SS"; nothing else, not even trailing text.
std::optional<QTime> timeOfDay(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2}))?$"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const int h = m.captured(1).toInt(), mi = m.captured(2).toInt();
    const int s = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    if (h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    return QTime(h, mi, s);
}

QDate slashDate(const QString& text, int a, int b, int year, DateOrder order)
{
    int day = a, month = b;
    if (order == DateOrder::Mdy) {
        day = b;
        month = a;
    } else if (order == DateOrder::Unset && a <= 12 && a != b) {
        // Either order would make a date (or the second reading is no date at
        // all): say so rather than guess.
        if (b <= 12)
            throw BadValue(0, "Ambiguous date " + text.toStdString() + ": write it as YYYY-MM-DD, or give "
                              "--date-order dmy (day first) or mdy (month first)");
    }
    const QDate d(year, month, day);
    if (!d.isValid())
        invalidDate(text);
    return d;
}

} // namespace

Instant ToInstant(const QDateTime& t)
{
    return {t.toString(QStringLiteral("yyyyMMdd")), t.toString(QStringLiteral("HHmmss"))};
}

Instant ParseWhen(const QString& input, DateOrder order, Edge edge, const QDateTime& now)
{
    const QString text = input.trimmed();
    const QTime dayStart(0, 0, 0), dayEnd(23, 59, 59);
    auto wholeDay = [&](const QDate& d) { return ToInstant(QDateTime(d, edge == Edge::Start ? dayStart : dayEnd)); };

    const QString lower = text.toLower();
    if (lower == QLatin1String("today"))
        return wholeDay(now.date());
    if (lower == QLatin1String("yesterday"))
        return wholeDay(now.date().addDays(-1));
    if (lower == QLatin1String("tomorrow"))
        return wholeDay(now.date().addDays(1));
    if (lower == QLatin1String("now"))
        return ToInstant(now);

    // A span back from now, as journalctl takes it: -7d, -1w, -90s, "2 hours
    // ago", "1 week ago".
    static const QString units = QStringLiteral("(w|weeks?|d|days?|h|hours?|m|min|minutes?|s|sec|seconds?)");
    static const QRegularExpression back(QStringLiteral("^-(\\d{1,6}) ?") + units + QStringLiteral("$"));
    static const QRegularExpression ago(QStringLiteral("^(\\d{1,6}) ?") + units + QStringLiteral(" ago$"));
    auto span = back.match(lower);
    if (!span.hasMatch())
        span = ago.match(lower);
    if (span.hasMatch()) {
        const qint64 n = span.captured(1).toLongLong();
        const QChar unit = span.captured(2).at(0);
        // Days and weeks count calendar days, so that -1d at 10:00 is
        // yesterday 10:00 across a daylight saving change too.
        if (unit == QLatin1Char('w') || unit == QLatin1Char('d'))
            return ToInstant(now.addDays(-(unit == QLatin1Char('w') ? 7 * n : n)));
        const qint64 secs = unit == QLatin1Char('h') ? n * 3600 : unit == QLatin1Char('m') ? n * 60 : n;
        return ToInstant(now.addSecs(-secs));
    }
    // A bare time of day: today at that time.
    if (const auto t = timeOfDay(text))
        return ToInstant(QDateTime(now.date(), *t));

    // A date, then optionally "T" or one space and a time of day.
    static const QRegularExpression dated(
        QStringLiteral("^(?:(\\d{4})-(\\d{2})-(\\d{2})|(\\d{1,2})/(\\d{1,2})/(\\d{4}))(?:[T ](.+))?$"));
    const auto m = dated.match(text);
    if (!m.hasMatch())
        invalidDate(text);
    QDate day;
    if (!m.captured(1).isEmpty()) {
        day = QDate(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        if (!day.isValid())
            invalidDate(text);
    } else {
        day = slashDate(text, m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(), order);
    }
    if (m.captured(7).isEmpty())
        return wholeDay(day);
    const auto t = timeOfDay(m.captured(7));
    if (!t)
        throw BadValue(kInvalidTime, "Invalid time", text.toStdString());
    return {day.toString(QStringLiteral("yyyyMMdd")), t->toString(QStringLiteral("HHmmss"))};
}

QString ParseTimeOfDay(const QString& text)
{
    const auto t = timeOfDay(text);
    if (!t)
        throw BadValue(kInvalidTime, "Invalid time", text.toStdString());
    return t->toString(QStringLiteral("HHmmss"));
}

int ParseDays(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,5})d?$"));
    const auto m = re.match(text.trimmed());
    const int n = m.hasMatch() ? m.captured(1).toInt() : 0;
    if (n < 1)
        throw BadValue(0, "--keep takes a number of days such as 90d, not " + text.toStdString());
    return n;
}

} // namespace tallyquill::cli
