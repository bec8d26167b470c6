#pragma once

// What `list --follow` has printed, so that polling again from a little
// before the newest record prints every record once: rows of the same second
// come back on the next poll, and a row may reach the table a few seconds
// after its stamp (a writer that waited for a lock).

#include "tool/Dates.h"
#include "tool/Formats.h"

#include <QStringList>

#include <map>
#include <string>

namespace tallyquill::cli {

class FollowCursor {
public:
    // Seconds before the newest printed record that each poll reads again.
    static constexpr int kLookBackSeconds = 10;

    // Where the next poll starts: `floor` (the operator's lower bound, may be
    // empty) until something was printed, then kLookBackSeconds before the
    // newest record printed, or before `now` when that is earlier (a stamp
    // ahead of the clock must not hide the records that arrive next), but
    // never before `floor`. An empty `now` sets no such limit.
    Instant pollFrom(const Instant& floor, const Instant& now = {}) const;

    void beginPoll(const Instant& now = {})
    {
        seen_.clear();
        now_ = now;
    }
    // Called for each record of a poll, in order: whether it is new.
    bool admit(const Record& r);
    bool admit(const RecordBytes& r);
    // Forgets what lies before the window.
    void endPoll();

private:
    Instant anchor(const Instant& now) const;
    // Forgets the keys before the window; they are never read again.
    void prune();

    Instant newest_, now_, cut_;
    // Per stamp, the other five values (length-prefixed bytes) and their count.
    std::map<Instant, std::map<std::string, int>> printed_, seen_;
};

} // namespace tallyquill::cli
