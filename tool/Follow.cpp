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
    QByteArray v[7];
    const QString* fields[7] = {&r.Date, &r.Time, &r.AppID, &r.WsID, &r.UserName, &r.EventType, &r.Activity};
    for (int i = 0; i < 7; ++i)
        v[i] = fields[i]->toUtf8();
    auto view = [&](int i) { return std::string_view(v[i].constData(), size_t(v[i].size())); };
    return admit(RecordBytes{view(0), view(1), view(2), view(3), view(4), view(5), view(6)});
}

bool FollowCursor::admit(const RecordBytes& r)
{
    const Instant at{QString::fromUtf8(r.date.data(), qsizetype(r.date.size())),
                     QString::fromUtf8(r.time.data(), qsizetype(r.time.size()))};
    std::string key;
    for (std::string_view v : {r.appId, r.wsId, r.user, r.eventType, r.activity}) {
        key += std::to_string(v.size());
        key += ':';
        key.append(v);
    }
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
