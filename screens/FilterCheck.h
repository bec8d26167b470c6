#pragma once

// The rules that decide whether a log filter may be retrieved, apart from any
// widget: the viewer screen and the command line apply the same ones.

#include <QString>

#include <cstdint>
#include <optional>

namespace tallyquill {

enum class FilterField { DateRangeStart, DateRangeEnd, TimeRangeStart, TimeRangeEnd, AppID };

// The filter as the screen's fields hold it: dates "dd/mm/yyyy" and times
// "hh:mm:ss" with their separators, "_" where nothing was typed.
struct FilterTexts {
    QString dateStart = QStringLiteral("__/__/____");
    QString dateEnd = QStringLiteral("__/__/____");
    QString timeStart = QStringLiteral("__:__:__");
    QString timeEnd = QStringLiteral("__:__:__");
    QString appId;
    bool appIdShown = true;
};

// The first rule that fails: its message (string id and English text) and
// the field that gets the focus.
struct FilterProblem {
    int16_t messageId;
    QString english;
    FilterField focus;
};

std::optional<FilterProblem> CheckFilter(const FilterTexts& filter);

QString ReplaceUnderscore(const QString& InputStr);
bool IsValidTime(int16_t HourVal, int16_t MinVal, int16_t SecVal);
// A real calendar date read as dd/mm/yyyy; any prompt left makes it invalid.
bool IsValidDateText(const QString& text);
// "yyyymmdd" from the typed digits; empty for an untouched field.
QString DateKey(const QString& maskedDate);
// "hhmmss" of the time the check reads (pieces zero-padded, an empty piece
// 00); empty for an untouched field.
QString TimeKey(const QString& maskedTime);

} // namespace tallyquill
