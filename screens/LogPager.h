#pragma once

// What the viewer screen has downloaded of one retrieval, apart from any
// widget: the records in display form, the two counters, the window of rows
// at a scroll position (ten at the screen's opening size, more when it is
// enlarged), and whether that window needs more pages. Pages stay ten.

#include "screens/ViewerEvents.h"

#include <cstdint>
#include <span>
#include <vector>

namespace tallyquill {

class LogPager {
public:
    static constexpr int32_t kWindowRows = 10;  // at the opening size
    static constexpr int32_t kPageSize = 10;

    // Starts a retrieval that found `total` records, with its first page;
    // `counting`: at least `total`, the exact number follows by setTotal().
    void start(int32_t total, const Page& first, bool counting = false);
    // The exact total of a retrieval that was counting.
    void setTotal(int32_t total);
    bool counting() const { return counting_; }
    // "Total Records Found:" as the screen shows it: the number, or while
    // counting the cap passed with a "+" ("10000+": more than 10,000).
    QString totalText() const;
    // Forgets everything: no records, both counters 0.
    void clear();
    // Adds the records of a further page (at most ten are taken, whatever a
    // listener sends); answers how many.
    int32_t append(const Page& page);
    // Lets the records go but keeps the counters (the screen was closed).
    void dropRecords();

    int32_t total() const { return total_; }
    int32_t downloaded() const { return downloaded_; }
    bool complete() const { return !counting_ && downloaded_ >= total_; }
    const std::vector<LogRecord>& records() const { return records_; }

    // Whether the window of `rows` whose first record is `top` (from 1)
    // reaches past what was downloaded while the retrieval has more.
    bool needsMore(int32_t top, int32_t rows = kWindowRows) const
    {
        return downloaded_ < total_ && top + rows > downloaded_;
    }
    // The records of the window from `top`: at most `rows`, never past what
    // was downloaded or counted.
    std::span<const LogRecord> window(int32_t top, int32_t rows = kWindowRows) const;
    // The scroll bar's maximum (its minimum is 1), so that the last window
    // shows the last records.
    int32_t scrollMaximum(int32_t rows = kWindowRows) const { return total_ <= rows ? 1 : total_ - rows + 1; }
    // Records that a window can show: counted and downloaded, 1 to held().
    int32_t held() const;

private:
    std::vector<LogRecord> records_;
    int32_t total_ = 0;
    int32_t downloaded_ = 0;
    bool counting_ = false;
};

} // namespace tallyquill
