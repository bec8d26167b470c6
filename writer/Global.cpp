#include "writer/Global.h"

#include "writer/Constant.h"
#include "tallyquill/error.h"

#include <QWidget>

namespace tallyquill {

ViewSettings& View()
{
    static ViewSettings settings;
    return settings;
}

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

QString BuildLogLine(const QString& date, const QString& time, const QString& appId, const QString& wsId,
                     const QString& user, const QString& eventType, const QString& activity)
{
    const ViewSettings& v = View();
    const QChar sep = QLatin1Char(' ');
    QString line;
    line.reserve(kDateWidth + kTimeWidth + kAppIdWidth + kWsIdWidth + kUserWidth + kEventWidth + 6
                 + activity.size() + 1);
    appendFitted(line, date, kDateWidth);
    line += sep;
    appendFitted(line, time, kTimeWidth);
    if (v.AppIDVisible == 0) {
        line += sep;
        appendFitted(line, appId, kAppIdWidth);
    }
    if (v.WsIDVisible == 0) {
        line += sep;
        appendFitted(line, wsId, kWsIdWidth);
    }
    if (v.UserVisible == 0) {
        line += sep;
        appendFitted(line, user, kUserWidth);
    }
    if (v.EventVisible == 0) {
        line += sep;
        appendFitted(line, eventType, kEventWidth);
    }
    line += sep;
    line += activity;
    return line;
}

void BusyPointer(QWidget* screen)
{
    if (screen)
        screen->setCursor(Qt::WaitCursor);
}

void NormalPointer(QWidget* screen)
{
    if (screen)
        screen->unsetCursor();
}

namespace {
std::function<QDateTime()>& clockOverride()
{
    static std::function<QDateTime()> clock;
    return clock;
}
} // namespace

void SetClock(std::function<QDateTime()> clock) { clockOverride() = std::move(clock); }

Stamp CurrentStamp()
{
    if (const auto& clock = clockOverride()) {
        const QDateTime t = clock();
        return {StoredDate(t), StoredTime(t)};
    }
    thread_local qint64 lastSecond = -1;
    thread_local Stamp last;
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second != lastSecond) {
        const QDateTime t = QDateTime::fromSecsSinceEpoch(second);
        last = {StoredDate(t), StoredTime(t)};
        lastSecond = second;
    }
    return last;
}

QString StoredDate(const QDateTime& t) { return t.toString(QStringLiteral("yyyyMMdd")); }
QString StoredTime(const QDateTime& t) { return t.toString(QStringLiteral("HHmmss")); }

QString DisplayDate(const QString& stored)
{
    return stored.mid(6, 2) + QLatin1Char('/') + stored.mid(4, 2) + QLatin1Char('/') + stored.left(4);
}

QString DisplayTime(const QString& stored)
{
    return stored.left(2) + QLatin1Char(':') + stored.mid(2, 2) + QLatin1Char(':') + stored.mid(4, 2);
}

QString SqlLiteral(const QString& value)
{
    if (value.contains(QChar(u'\0')))
        throw Error("A filter value may not hold a NUL character");
    QString out;
    out.reserve(value.size() + 2);
    out += QLatin1Char('\'');
    for (QChar c : value) {
        if (c == QLatin1Char('\''))
            out += QLatin1Char('\'');
        out += c;
    }
    out += QLatin1Char('\'');
    return out;
}

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

} // namespace tallyquill
