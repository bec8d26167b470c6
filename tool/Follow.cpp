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

Instant FollowCursor::anchor(const Instant& now) const
{
    return now.date.isEmpty() ? newest_ : std::min(newest_, now);
}

Instant FollowCursor::pollFrom(const Instant& floor, const Instant& now) const
{
    if (newest_.date.isEmpty())
        return floor;
    return std::max(floor, shifted(anchor(now), -kLookBackSeconds));
}

void FollowCursor::prune()
{
    const Instant cut = shifted(anchor(now_), -kLookBackSeconds);
    if (cut == cut_)
        return;
    cut_ = cut;
    printed_.erase(printed_.begin(), printed_.lower_bound(cut));
    seen_.erase(seen_.begin(), seen_.lower_bound(cut));
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
    if (newest_ < at) {
        newest_ = at;
        // Records come oldest first: a long listing keeps only its window.
        prune();
    }
    return true;
}

void FollowCursor::endPoll()
{
    cut_ = {};
    prune();
}

} // namespace tallyquill::cli
