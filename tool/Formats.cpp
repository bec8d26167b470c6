#include "tool/Formats.h"

#include <QDateTime>

#include <cstdlib>

namespace tallyquill::cli {

namespace {

// A CSV field as a spreadsheet opens it safely: control and bidirectional
// characters as the line layout's stand-ins, and a leading = + - @ made
// text, not a formula.
QString csvField(const QString& raw)
{
    QString value = command::Visible(raw);
    if (!value.isEmpty() && QStringLiteral("=+-@").contains(value.front()))
        value.prepend(QLatin1Char('\''));
    static const QString special = QStringLiteral("\",\r\n");
    bool quote = false;
    for (QChar c : value)
        quote = quote || special.contains(c);
    if (!quote)
        return value;
    QString out = value;
    out.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

// A stored stamp as ISO 8601 with its UTC offset: the writer's local time,
// read with this machine's zone rules for that moment, so that tools that
// merge logs across zones place it. A stamp that names no real moment keeps
// no offset rather than a made-up one.
QString isoStamp(const QString& date, const QString& time)
{
    const QString local = date + QLatin1Char('T') + time;
    const QDateTime at = QDateTime::fromString(local, Qt::ISODate);
    if (!at.isValid() || at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) != local)
        return local;
    const int offset = at.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local + (offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
           + QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// A JSON string. Control characters, and the line separators that some
// readers split on, are escaped, so that one record stays one line.
QString jsonString(const QString& value)
{
    QString out;
    out.reserve(value.size() + 2);
    out += QLatin1Char('"');
    for (QChar c : value) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'"': out += QLatin1String("\\\""); break;
        case u'\\': out += QLatin1String("\\\\"); break;
        case u'\n': out += QLatin1String("\\n"); break;
        case u'\r': out += QLatin1String("\\r"); break;
        case u'\t': out += QLatin1String("\\t"); break;
        default:
            if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029)
                out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

} // namespace

std::optional<Format> FormatNamed(const QString& name)
{
    if (name == QLatin1String("text"))
        return Format::Text;
    if (name == QLatin1String("csv"))
        return Format::Csv;
    if (name == QLatin1String("json"))
        return Format::Json;
    return std::nullopt;
}

QString IsoDate(const QString& stored)
{
    return stored.left(4) + QLatin1Char('-') + stored.mid(4, 2) + QLatin1Char('-') + stored.mid(6, 2);
}

QString IsoTime(const QString& stored)
{
    return stored.left(2) + QLatin1Char(':') + stored.mid(2, 2) + QLatin1Char(':') + stored.mid(4, 2);
}

std::optional<QString> HeaderLine(Format format, const LineLayout& layout)
{
    switch (format) {
    case Format::Text:
        return command::PrintHeader(layout);
    case Format::Csv:
        return QStringLiteral("date,time,app,ws,user,event,activity");
    case Format::Json:
        break;
    }
    return std::nullopt;
}

QString RecordLine(Format format, const Record& r, const LineLayout& layout)
{
    switch (format) {
    case Format::Text:
        return command::PrintLine(r, layout);
    case Format::Csv:
        return IsoDate(r.Date) + QLatin1Char(',') + IsoTime(r.Time) + QLatin1Char(',') + csvField(TrimEnd(r.AppID))
               + QLatin1Char(',') + csvField(TrimEnd(r.WsID)) + QLatin1Char(',') + csvField(TrimEnd(r.UserName))
               + QLatin1Char(',') + csvField(TrimEnd(r.EventType)) + QLatin1Char(',') + csvField(r.Activity);
    case Format::Json:
        break;
    }
    const QString date = IsoDate(r.Date), time = IsoTime(r.Time);
    return QStringLiteral("{\"timestamp\":") + jsonString(isoStamp(date, time))
           + QStringLiteral(",\"date\":") + jsonString(date) + QStringLiteral(",\"time\":") + jsonString(time)
           + QStringLiteral(",\"app\":") + jsonString(TrimEnd(r.AppID)) + QStringLiteral(",\"ws\":")
           + jsonString(TrimEnd(r.WsID)) + QStringLiteral(",\"user\":") + jsonString(TrimEnd(r.UserName))
           + QStringLiteral(",\"event\":") + jsonString(TrimEnd(r.EventType)) + QStringLiteral(",\"activity\":")
           + jsonString(r.Activity) + QLatin1Char('}');
}

QString TrimEnd(const QString& s)
{
    qsizetype n = s.size();
    while (n > 0 && s[n - 1] == QLatin1Char(' '))
        --n;
    return s.left(n);
}

} // namespace tallyquill::cli
