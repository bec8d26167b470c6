#include "core/Schema.h"

namespace tallyquill {

namespace {

template <size_t N>
QString listOf(const std::array<LogColumn, N>& columns)
{
    QString out;
    for (LogColumn c : columns) {
        if (!out.isEmpty())
            out += QStringLiteral(", ");
        out += QLatin1String(Spec(c).name);
    }
    return out;
}

constexpr std::array<LogColumn, 7> kTableOrder = {LogColumn::AppID, LogColumn::WsID, LogColumn::Date,
                                                  LogColumn::Time,  LogColumn::User, LogColumn::EventType,
                                                  LogColumn::Data};

} // namespace

QString TableColumnList() { return listOf(kTableOrder); }

QString RecordColumnList() { return listOf(kRecordOrder); }

QString ColumnDefinitions()
{
    QString out = QStringLiteral("(");
    for (const ColumnSpec& c : kLogColumns) {
        if (out.size() > 1)
            out += QStringLiteral(", ");
        out += QStringLiteral("%1 %2(%3)").arg(QLatin1String(c.name), QLatin1String(c.type)).arg(c.width);
        if (c.required)
            out += QStringLiteral(" not null");
    }
    return out + QLatin1Char(')');
}

QString InsertSql(const QString& table, size_t rows)
{
    QString sql = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + TableColumnList()
                  + QStringLiteral(") VALUES ");
    QString row = QStringLiteral("(");
    for (size_t i = 0; i < kLogColumns.size(); ++i)
        row += i ? QStringLiteral(",?") : QStringLiteral("?");
    row += QLatin1Char(')');
    sql.reserve(sql.size() + qsizetype(rows) * (row.size() + 1));
    for (size_t r = 0; r < rows; ++r)
        sql += r ? QLatin1Char(',') + row : row;
    return sql;
}

std::array<QString, 7> TableOrderValues(const LogRecord& r)
{
    return {r.AppID, r.WsID, r.Date, r.Time, r.UserName, r.EventType, r.Activity};
}

std::vector<size_t> RecordOrderByteCapacities()
{
    // A character takes up to four bytes of UTF-8.
    std::vector<size_t> out;
    for (LogColumn c : kRecordOrder)
        out.push_back(size_t(4) * size_t(ColumnWidth(c)));
    return out;
}

} // namespace tallyquill
