#include "tool/Formats.h"

#include <QDateTime>
#include <QStringDecoder>

#include <cstdlib>
#include <cstring>
#include <string_view>

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

// --- The same lines from bytes --------------------------------------------------

} // namespace

QString Decoded(std::string_view bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return decoder(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

namespace {

QString decoded(std::string_view bytes) { return Decoded(bytes); }

void appendQString(std::string& out, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    out.append(bytes.constData(), size_t(bytes.size()));
}

// Whether UTF-8 bytes show as they are: well-formed (no overlong form, no
// surrogate, nothing past U+10FFFF, no noncharacter U+FFFE/U+FFFF) and
// without the characters the format replaces or escapes beyond ASCII: C1
// controls, U+2028 and U+2029, and for CSV the bidirectional controls too
// (conservatively, anything from U+2000 to U+207F). ASCII is for the caller.
bool showsAsIs(std::string_view v, bool csv)
{
    const auto* p = reinterpret_cast<const unsigned char*>(v.data());
    const auto* end = p + v.size();
    while (p < end) {
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        size_t n = 0;
        unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
        if (b >= 0xC2 && b <= 0xDF)
            n = 1;
        else if (b >= 0xE0 && b <= 0xEF) {
            n = 2;
            low = b == 0xE0 ? 0xA0 : 0x80;
            high = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            n = 3;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;
        } else
            return false;
        if (size_t(end - p) <= n || p[1] < low || p[1] > high)
            return false;
        for (size_t i = 2; i <= n; ++i)
            if (p[i] < 0x80 || p[i] > 0xBF)
                return false;
        if (b == 0xC2 && p[1] <= 0x9F)
            return false;  // C1 control
        if (b == 0xE2 && (csv ? p[1] <= 0x81 : (p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9))))
            return false;  // line and paragraph separators, bidirectional controls
        if (csv && b == 0xD8 && p[1] == 0x9C)
            return false;  // ARABIC LETTER MARK
        if (b == 0xEF && p[1] == 0xBF && p[2] >= 0xBE)
            return false;
        p += n + 1;
    }
    return true;
}

bool asciiDigits(std::string_view v, size_t n)
{
    if (v.size() != n)
        return false;
    for (char c : v)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string_view trimmedEnd(std::string_view v)
{
    while (!v.empty() && v.back() == ' ')
        v.remove_suffix(1);
    return v;
}

void appendCsvField(std::string& out, std::string_view raw)
{
    bool plain = true;
    for (unsigned char b : raw)
        if (b < 0x20 || b == 0x7f)
            plain = false;
    if (!plain || !showsAsIs(raw, true)) {
        appendQString(out, csvField(decoded(raw)));
        return;
    }
    const bool formula = !raw.empty() && std::strchr("=+-@", raw.front()) != nullptr;
    const bool quote = raw.find_first_of("\",") != std::string_view::npos;
    if (quote)
        out += '"';
    if (formula)
        out += '\'';
    if (!quote) {
        out.append(raw);
        return;
    }
    for (char c : raw) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

void appendJsonString(std::string& out, std::string_view v)
{
    if (!showsAsIs(v, false)) {
        appendQString(out, jsonString(decoded(v)));
        return;
    }
    out += '"';
    // Runs that need no escape go in whole.
    size_t from = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(v[i]);
        if (b >= 0x20 && b != '"' && b != '\\' && b != 0x7f)
            continue;
        out.append(v.substr(from, i - from));
        from = i + 1;
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            static const char hex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]};
            out.append(escaped, sizeof escaped);
        }
        }
    }
    out.append(v.substr(from));
    out += '"';
}

// The UTC offset that isoStamp gives the stamps of one hour, found once per
// hour: both ends of the hour must name real moments with one offset, or
// each stamp of it asks for itself (zone rules change at most once an hour).
class StampOffsets {
public:
    // "+hh:mm", or null when this stamp must take the exact way.
    const std::string* of(std::string_view date, std::string_view time)
    {
        if (time.substr(2, 1) > "5" || time.substr(4, 1) > "5")
            return nullptr;  // no such minute or second: isoStamp knows
        char hour[10];
        std::memcpy(hour, date.data(), 8);
        std::memcpy(hour + 8, time.data(), 2);
        const std::string_view key(hour, sizeof hour);
        if (key != hour_) {
            hour_.assign(key);
            const QString d = QString::fromLatin1(date.data(), 8), h = QString::fromLatin1(time.data(), 2);
            const QString first = isoStamp(IsoDate(d), h + QStringLiteral(":00:00"));
            const QString last = isoStamp(IsoDate(d), h + QStringLiteral(":59:59"));
            known_ = first.size() == 25 && last.size() == 25 && first.right(6) == last.right(6);
            if (known_)
                offset_ = first.right(6).toStdString();
        }
        return known_ ? &offset_ : nullptr;
    }

private:
    std::string hour_;
    std::string offset_;
    bool known_ = false;
};

} // namespace

Record RecordOf(const RecordBytes& r)
{
    return {decoded(r.date),  decoded(r.time),      decoded(r.appId),   decoded(r.wsId),
            decoded(r.user),  decoded(r.eventType), decoded(r.activity)};
}

void AppendRecordLine(std::string& out, Format format, const RecordBytes& r, const LineLayout& layout)
{
    if (format == Format::Text) {
        command::AppendPrintLine(out, r, layout);
        return;
    }
    // A stamp that is not the stored digits takes the QString way whole.
    if (!asciiDigits(r.date, 8) || !asciiDigits(r.time, 6)) {
        appendQString(out, RecordLine(format, RecordOf(r), layout));
        return;
    }
    char date[10], time[8];
    std::memcpy(date, r.date.data(), 4);
    date[4] = '-';
    std::memcpy(date + 5, r.date.data() + 4, 2);
    date[7] = '-';
    std::memcpy(date + 8, r.date.data() + 6, 2);
    std::memcpy(time, r.time.data(), 2);
    time[2] = ':';
    std::memcpy(time + 3, r.time.data() + 2, 2);
    time[5] = ':';
    std::memcpy(time + 6, r.time.data() + 4, 2);
    const std::string_view isoDate(date, sizeof date), isoTime(time, sizeof time);
    if (format == Format::Csv) {
        out.append(isoDate);
        out += ',';
        out.append(isoTime);
        for (std::string_view v : {r.appId, r.wsId, r.user, r.eventType}) {
            out += ',';
            appendCsvField(out, trimmedEnd(v));
        }
        out += ',';
        appendCsvField(out, r.activity);
        return;
    }
    thread_local StampOffsets offsets;
    out += "{\"timestamp\":\"";
    out.append(isoDate);
    out += 'T';
    out.append(isoTime);
    if (const std::string* offset = offsets.of(r.date, r.time)) {
        out.append(*offset);
    } else {
        const QString d = QString::fromLatin1(date, sizeof date), t = QString::fromLatin1(time, sizeof time);
        out.append(isoStamp(d, t).mid(19).toStdString());
    }
    out += "\",\"date\":\"";
    out.append(isoDate);
    out += "\",\"time\":\"";
    out.append(isoTime);
    out += "\",\"app\":";
    appendJsonString(out, trimmedEnd(r.appId));
    out += ",\"ws\":";
    appendJsonString(out, trimmedEnd(r.wsId));
    out += ",\"user\":";
    appendJsonString(out, trimmedEnd(r.user));
    out += ",\"event\":";
    appendJsonString(out, trimmedEnd(r.eventType));
    out += ",\"activity\":";
    appendJsonString(out, r.activity);
    out += '}';
}

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
