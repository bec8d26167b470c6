#pragma once

// What `list --follow` has printed, so that polling again from a little
// before the newest record prints every record once: rows of the same second
// come back on the next poll, and a row may reach the table a few seconds
// after its stamp (a writer that waited for a lock).

#include "tool/Dates.h"
#include "tool/Formats.h"

#include <QStringList>

#include <map>

namespace tallyquill::cli {

class FollowCursor {
public:
    // Seconds before the newest printed record that each poll reads again.
    static constexpr int kLookBackSeconds = 10;

    // Where the next poll starts: `floor` (the operator's lower bound, may be
    // empty) until something was printed, then kLookBackSeconds before the
    // newest record printed, but never before `floor`.
    Instant pollFrom(const Instant& floor) const;

    void beginPoll() { seen_.clear(); }
    // Called for each record of a poll, in order: whether it is new.
    bool admit(const Record& r);
    // Forgets what lies before the window.
    void endPoll();

private:
    Instant newest_;
    std::map<Instant, std::map<QStringList, int>> printed_, seen_;
};

} // namespace tallyquill::cli
