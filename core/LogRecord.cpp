#include "core/LogRecord.h"

namespace tallyquill {

QString TrimBlanks(const QString& text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

LogRecord DisplayForm(const LogRecord& stored)
{
    return {DisplayDate(stored.Date),        DisplayTime(stored.Time),         TrimBlanks(stored.AppID),
            TrimBlanks(stored.WsID),         TrimBlanks(stored.UserName),      TrimBlanks(stored.EventType),
            TrimBlanks(stored.Activity)};
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

} // namespace tallyquill
