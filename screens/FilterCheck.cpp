#include "screens/FilterCheck.h"

#include "localize/StringIds.h"
#include "core/LogRecord.h"

#include <QDate>

#include <tuple>

namespace tallyquill {

namespace {

// 1-based character positions of the pieces inside a masked field's text.
struct Piece {
    qsizetype start;
    qsizetype length;
};

constexpr Piece kDay{1, 2}, kMonth{4, 2}, kYear{7, 4};
constexpr Piece kHours{1, 2}, kMinutes{4, 2}, kSeconds{7, 2};

QString CleanPiece(const QString& text, Piece piece)
{
    return ReplaceUnderscore(text.mid(piece.start - 1, piece.length));
}

// The typed digits of a piece as a number; nothing typed reads as 0.
int16_t PieceValue(const QString& text, Piece piece)
{
    return static_cast<int16_t>(CleanPiece(text, piece).toShort());
}

struct DateVals {
    int16_t YearVal, MonthVal, DateVal;
};
struct TimeVals {
    int16_t HourVal, MinVal, SecVal;
};

DateVals DateValues(const QString& text)
{
    return {PieceValue(text, kYear), PieceValue(text, kMonth), PieceValue(text, kDay)};
}

TimeVals TimeValues(const QString& text)
{
    return {PieceValue(text, kHours), PieceValue(text, kMinutes), PieceValue(text, kSeconds)};
}

bool IsAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

FilterProblem Problem(int16_t id, const char* english, FilterField focus)
{
    return {id, QString::fromLatin1(english), focus};
}

} // namespace

QString ReplaceUnderscore(const QString& InputStr)
{
    QString result = InputStr;
    result.remove(QLatin1Char('_'));
    return result;
}

bool IsValidTime(int16_t HourVal, int16_t MinVal, int16_t SecVal)
{
    return HourVal >= 0 && HourVal <= 23 && MinVal >= 0 && MinVal <= 59 && SecVal >= 0 && SecVal <= 59;
}

bool IsValidDateText(const QString& text)
{
    if (text.size() != 10 || text[2] != QLatin1Char('/') || text[5] != QLatin1Char('/'))
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i != 2 && i != 5 && !IsAsciiDigit(text[i]))
            return false;
    }
    const DateVals d = DateValues(text);
    return QDate(d.YearVal, d.MonthVal, d.DateVal).isValid();
}

QString DateKey(const QString& maskedDate)
{
    return CleanPiece(maskedDate, kYear) + CleanPiece(maskedDate, kMonth) + CleanPiece(maskedDate, kDay);
}

QString TimeKey(const QString& maskedTime)
{
    // The query must get the time the check judged: "1_:3_:__" is 01:03:00,
    // so "010300", not the typed digits "13".
    if ((CleanPiece(maskedTime, kHours) + CleanPiece(maskedTime, kMinutes) + CleanPiece(maskedTime, kSeconds))
            .isEmpty())
        return {};
    const TimeVals t = TimeValues(maskedTime);
    return QStringLiteral("%1%2%3")
        .arg(t.HourVal, 2, 10, QLatin1Char('0'))
        .arg(t.MinVal, 2, 10, QLatin1Char('0'))
        .arg(t.SecVal, 2, 10, QLatin1Char('0'));
}

std::optional<FilterProblem> CheckFilter(const FilterTexts& filter)
{
    const QString startDateKey = DateKey(filter.dateStart);
    const QString endDateKey = DateKey(filter.dateEnd);
    const QString startTimeKey = TimeKey(filter.timeStart);
    const QString endTimeKey = TimeKey(filter.timeEnd);

    if (startDateKey.isEmpty())
        return Problem(sid::DateRangeMandatory, "Date range is mandatory", FilterField::DateRangeStart);
    if (endDateKey.isEmpty())
        return Problem(sid::DateRangeMandatory, "Date range is mandatory", FilterField::DateRangeEnd);
    // Both times empty is fine (no time range); only one of them is not.
    if (startTimeKey.isEmpty() && !endTimeKey.isEmpty())
        return Problem(sid::NoStartTime, "No start time", FilterField::TimeRangeStart);
    if (!startTimeKey.isEmpty() && endTimeKey.isEmpty())
        return Problem(sid::NoEndTime, "No end time", FilterField::TimeRangeEnd);
    if (filter.appIdShown && TrimBlanks(filter.appId).isEmpty())
        return Problem(sid::AppIDMandatory, "Application ID is mandatory", FilterField::AppID);
    if (!IsValidDateText(filter.dateStart))
        return Problem(sid::InvalidDate, "Invalid date", FilterField::DateRangeStart);
    if (!IsValidDateText(filter.dateEnd))
        return Problem(sid::InvalidDate, "Invalid date", FilterField::DateRangeEnd);

    const DateVals ds = DateValues(filter.dateStart);
    const DateVals de = DateValues(filter.dateEnd);
    if (std::tie(ds.YearVal, ds.MonthVal, ds.DateVal) > std::tie(de.YearVal, de.MonthVal, de.DateVal))
        return Problem(sid::InvalidDateRange, "Invalid date range", FilterField::DateRangeStart);

    // Partly typed or untouched times are judged on their numeric pieces only.
    const TimeVals ts = TimeValues(filter.timeStart);
    const TimeVals te = TimeValues(filter.timeEnd);
    if (!IsValidTime(ts.HourVal, ts.MinVal, ts.SecVal))
        return Problem(sid::InvalidTime, "Invalid time", FilterField::TimeRangeStart);
    if (!IsValidTime(te.HourVal, te.MinVal, te.SecVal))
        return Problem(sid::InvalidTime, "Invalid time", FilterField::TimeRangeEnd);
    if (std::tie(ts.HourVal, ts.MinVal, ts.SecVal) > std::tie(te.HourVal, te.MinVal, te.SecVal))
        return Problem(sid::InvalidTimeRange, "Invalid time range", FilterField::TimeRangeStart);

    return std::nullopt;
}

} // namespace tallyquill
