#include "core/LogTable.h"

#include "core/Schema.h"
#include "tallyquill/error.h"

#include <vector>

namespace tallyquill {

bool IsValidAppId(const QString& appId)
{
    if (appId.isEmpty())
        return false;
    for (QChar c : appId) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u'_';
        if (!ok)
            return false;
    }
    return true;
}

QString TableName(const QString& appId) { return appId + QStringLiteral("_logs"); }

QString CreateTableSql(const QString& table) { return QStringLiteral("CREATE TABLE ") + table + ColumnDefinitions(); }

QString CreateIndexSql(const QString& table)
{
    // Without it every first page of the viewer sorts the whole table.
    return QStringLiteral("CREATE INDEX ") + table + QStringLiteral("_date_time ON ") + table + QStringLiteral(" (")
           + col::Date + QStringLiteral(", ") + col::Time + QLatin1Char(')');
}

QString SqlLiteral(const QString& value, bool backslashEscapes)
{
    if (value.contains(QChar(u'\0')))
        throw Error("A filter value may not hold a NUL character");
    QString out;
    out.reserve(value.size() + 2);
    out += QLatin1Char('\'');
    for (QChar c : value) {
        if (c == QLatin1Char('\'') || (backslashEscapes && c == QLatin1Char('\\')))
            out += c;
        out += c;
    }
    out += QLatin1Char('\'');
    return out;
}

} // namespace tallyquill

namespace tallyquill {

QString ActivityContains(const QString& activity, bool backslashEscapes, const QString& column,
                         const QString& prefilter)
{
    QString pattern = QStringLiteral("%");
    for (QChar ch : activity) {
        if (ch == QLatin1Char('\\'))
            pattern += ch;
        pattern += ch >= QLatin1Char('A') && ch <= QLatin1Char('Z') ? QChar(ch.unicode() + 32) : ch;
    }
    pattern += QLatin1Char('%');
    const QString like = column + QStringLiteral(" LIKE ") + SqlLiteral(pattern, backslashEscapes)
                         + QStringLiteral(" ESCAPE ") + SqlLiteral(QStringLiteral("\\"), backslashEscapes);
    if (prefilter.isEmpty())
        return like;
    return QLatin1Char('(') + prefilter + QStringLiteral(" AND ") + like + QLatin1Char(')');
}

QStringList ActivityLiterals(const QString& activity)
{
    QStringList out;
    QString piece;
    auto keep = [&] {
        // Trigrams count code points: a pair of surrogates is one.
        if (piece.toUcs4().size() >= 3)
            out << piece;
        piece.clear();
    };
    for (QChar ch : activity) {
        if (ch == QLatin1Char('%') || ch == QLatin1Char('_'))
            keep();
        else
            piece += ch;
    }
    keep();
    return out;
}

QString Fts5String(const QString& text)
{
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        if (c == QLatin1Char('"'))
            out += c;
        out += c;
    }
    return out + QLatin1Char('"');
}

QStringList ActivityTrigrams(const QString& activity)
{
    QStringList out;
    for (const QString& piece : ActivityLiterals(activity)) {
        // Where each code point begins: a pair of surrogates is one.
        std::vector<qsizetype> starts;
        for (qsizetype i = 0; i < piece.size(); ++i) {
            starts.push_back(i);
            if (piece[i].isHighSurrogate() && i + 1 < piece.size() && piece[i + 1].isLowSurrogate())
                ++i;
        }
        starts.push_back(piece.size());
        for (size_t k = 0; k + 3 < starts.size(); ++k) {
            const QString trigram = piece.mid(starts[k], starts[k + 3] - starts[k]);
            if (!out.contains(trigram))
                out << trigram;
        }
    }
    return out;
}

QString Fts5AllOf(const QStringList& strings)
{
    QStringList quoted;
    for (const QString& s : strings)
        quoted << Fts5String(s);
    return quoted.join(QStringLiteral(" AND "));
}

} // namespace tallyquill
