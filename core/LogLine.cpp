#include "core/LogLine.h"

namespace tallyquill {

namespace {
// Maps s[from..] through VisibleChar. Every character it changes lies in the
// BMP outside the surrogates, so a UTF-16 unit stands for a character here.
void showFrom(QString& s, qsizetype from, bool keepBidi = false)
{
    const QChar* units = s.constData();
    for (qsizetype i = from; i < s.size(); ++i) {
        const char16_t u = units[i].unicode();
        if (const char32_t v = VisibleChar(u, keepBidi); v != u) {
            s[i] = QChar(char16_t(v));
            units = s.constData();
        }
    }
}

// Appends `text` padded or cut to `width` characters.
void appendFitted(QString& out, QStringView text, int width, bool keepBidi = false)
{
    qsizetype units = 0;
    int count = 0;
    while (units < text.size() && count < width) {
        units += (text[units].isHighSurrogate() && units + 1 < text.size() && text[units + 1].isLowSurrogate()) ? 2 : 1;
        ++count;
    }
    const qsizetype from = out.size();
    out += text.left(units);
    showFrom(out, from, keepBidi);
    if (count < width)
        out.append(QString(width - count, QLatin1Char(' ')));
}
} // namespace

QString VisibleText(QString text)
{
    showFrom(text, 0);
    return text;
}

QString FitText(const QString& text, int width)
{
    QString out;
    out.reserve(width);
    appendFitted(out, text, width);
    return out;
}

QString BuildLogLine(const LogRecord& r, const LineLayout& layout)
{
    const QChar sep = QLatin1Char(' ');
    QString line;
    line.reserve(kDateWidth + kTimeWidth + kAppIdWidth + kWsIdWidth + kUserWidth + kEventWidth + 6
                 + r.Activity.size() + 1);
    appendFitted(line, r.Date, kDateWidth, layout.keepBidi);
    line += sep;
    appendFitted(line, r.Time, kTimeWidth, layout.keepBidi);
    if (!layout.hideAppID) {
        line += sep;
        appendFitted(line, r.AppID, kAppIdWidth, layout.keepBidi);
    }
    if (!layout.hideWsID) {
        line += sep;
        appendFitted(line, r.WsID, kWsIdWidth, layout.keepBidi);
    }
    if (!layout.hideUser) {
        line += sep;
        appendFitted(line, r.UserName, kUserWidth, layout.keepBidi);
    }
    if (!layout.hideEvent) {
        line += sep;
        appendFitted(line, r.EventType, kEventWidth, layout.keepBidi);
    }
    line += sep;
    const qsizetype from = line.size();
    line += r.Activity;
    showFrom(line, from, layout.keepBidi);
    return line;
}

QString HeaderLine(const LineLayout& layout)
{
    return BuildLogLine({QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("App ID"),
                         QStringLiteral("Ws ID"), layout.userTitle, layout.eventTitle, layout.activityTitle},
                        layout);
}

} // namespace tallyquill
