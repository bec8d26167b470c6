#include "tool/Follow.h"

namespace tallyquill::cli {

namespace {

Instant shifted(const Instant& i, int seconds)
{
    const QDateTime t(QDate::fromString(i.date, QStringLiteral("yyyyMMdd")),
                      QTime::fromString(i.time, QStringLiteral("HHmmss")));
    return ToInstant(t.addSecs(seconds));
}

} // namespace

Instant FollowCursor::pollFrom(const Instant& floor) const
{
    if (newest_.date.isEmpty())
        return floor;
    return std::max(floor, shifted(newest_, -kLookBackSeconds));
}

bool FollowCursor::admit(const Record& r)
{
    const Instant at{r.Date, r.Time};
    const QStringList key{r.AppID, r.WsID, r.UserName, r.EventType, r.Activity};
    // The n-th copy of a record in this poll is new when fewer than n copies
    // of it were printed before: identical records each print once.
    int& printed = printed_[at][key];
    if (++seen_[at][key] <= printed)
        return false;
    ++printed;
    newest_ = std::max(newest_, at);
    return true;
}

void FollowCursor::endPoll()
{
    const Instant cut = shifted(newest_, -kLookBackSeconds);
    printed_.erase(printed_.begin(), printed_.lower_bound(cut));
}

} // namespace tallyquill::cli
