#include "writer/LogLine.h"

namespace tallyquill {

namespace {
// Appends `text` padded or cut to `width` characters.
void appendFitted(QString& out, QStringView text, int width)
{
    qsizetype units = 0;
    int count = 0;
    while (units < text.size() && count < width) {
        units += (text[units].isHighSurrogate() && units + 1 < text.size() && text[units + 1].isLowSurrogate()) ? 2 : 1;
        ++count;
    }
    out += text.left(units);
    if (count < width)
        out.append(QString(width - count, QLatin1Char(' ')));
}
} // namespace

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
    appendFitted(line, r.Date, kDateWidth);
    line += sep;
    appendFitted(line, r.Time, kTimeWidth);
    if (!layout.hideAppID) {
        line += sep;
        appendFitted(line, r.AppID, kAppIdWidth);
    }
    if (!layout.hideWsID) {
        line += sep;
        appendFitted(line, r.WsID, kWsIdWidth);
    }
    if (!layout.hideUser) {
        line += sep;
        appendFitted(line, r.UserName, kUserWidth);
    }
    if (!layout.hideEvent) {
        line += sep;
        appendFitted(line, r.EventType, kEventWidth);
    }
    line += sep;
    line += r.Activity;
    return line;
}

QString HeaderLine(const LineLayout& layout)
{
    return BuildLogLine({QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("App ID"),
                         QStringLiteral("Ws ID"), layout.userTitle, layout.eventTitle, layout.activityTitle},
                        layout);
}

} // namespace tallyquill
