#pragma once

// The log table's columns, once: the DDL, the size checks, the INSERT and
// SELECT column lists and the read buffers are all made from this table, so
// that no two of them can disagree with a table already stored.

#include "core/LogRecord.h"

#include <QString>

#include <array>
#include <cstddef>
#include <vector>

namespace tallyquill {

// In table order.
enum class LogColumn { AppID, WsID, Date, Time, User, EventType, Data };

struct ColumnSpec {
    const char* name;
    const char* type;      // as declared: char or varchar
    const char* typeName;  // as the servers name it in their refusals
    int width;             // characters
    bool required;         // not null
};

inline constexpr std::array<ColumnSpec, 7> kLogColumns = {{
    {"log_AppID", "char", "character", 10, true},
    {"log_WsID", "char", "character", 16, true},
    {"log_Date", "char", "character", 8, true},
    {"log_Time", "char", "character", 6, true},
    {"log_User", "char", "character", 15, false},
    {"log_EventType", "char", "character", 8, false},
    {"log_Data", "varchar", "character varying", 250, false},
}};

constexpr const ColumnSpec& Spec(LogColumn c) { return kLogColumns[size_t(c)]; }
constexpr int ColumnWidth(LogColumn c) { return Spec(c).width; }

// The order in which a record travels: date, time, application,
// workstation, user, event type, activity.
inline constexpr std::array<LogColumn, 7> kRecordOrder = {LogColumn::Date, LogColumn::Time,  LogColumn::AppID,
                                                          LogColumn::WsID, LogColumn::User,  LogColumn::EventType,
                                                          LogColumn::Data};

// The names for conditions and orderings.
namespace col {
inline constexpr QLatin1String AppID{Spec(LogColumn::AppID).name};
inline constexpr QLatin1String WsID{Spec(LogColumn::WsID).name};
inline constexpr QLatin1String Date{Spec(LogColumn::Date).name};
inline constexpr QLatin1String Time{Spec(LogColumn::Time).name};
inline constexpr QLatin1String User{Spec(LogColumn::User).name};
inline constexpr QLatin1String EventType{Spec(LogColumn::EventType).name};
inline constexpr QLatin1String Data{Spec(LogColumn::Data).name};
} // namespace col

// "log_AppID, log_WsID, ..., log_Data" in table order.
QString TableColumnList();
// "log_Date, log_Time, ..., log_Data" in record order.
QString RecordColumnList();
// "(log_AppID char(10) not null, ..., log_Data varchar(250))".
QString ColumnDefinitions();
// "INSERT INTO <table> (<table order>) VALUES (?,?,?,?,?,?,?)" with `rows`
// rows of parameters, separated by commas.
QString InsertSql(const QString& table, size_t rows = 1);
// A record's values in table order, as InsertSql binds them.
std::array<QString, 7> TableOrderValues(const LogRecord& record);
// The longest value of each column in UTF-8 bytes, in record order.
std::vector<size_t> RecordOrderByteCapacities();

// The positions of the record's columns in a result set, found by name once.
template <class ResultSet>
class RecordColumnsOf {
public:
    explicit RecordColumnsOf(const ResultSet& rs)
    {
        for (size_t i = 0; i < kRecordOrder.size(); ++i)
            at_[i] = rs.column(QLatin1String(Spec(kRecordOrder[i]).name));
    }
    LogRecord read(const ResultSet& rs) const
    {
        return {rs.text(at_[0]), rs.text(at_[1]), rs.text(at_[2]), rs.text(at_[3]),
                rs.text(at_[4]), rs.text(at_[5]), rs.text(at_[6])};
    }

private:
    std::array<int, 7> at_{};
};

} // namespace tallyquill
