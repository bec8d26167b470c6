#pragma once

// What the viewer screen has downloaded of one retrieval, apart from any
// widget: the records in display form, the two counters, the ten-record
// window at a scroll position, and whether that window needs more pages.

#include "screens/ViewerEvents.h"

#include <cstdint>
#include <span>
#include <vector>

namespace tallyquill {

class LogPager {
public:
    static constexpr int32_t kWindowRows = 10;
    static constexpr int32_t kPageSize = 10;

    // Starts a retrieval that found `total` records, with its first page.
    void start(int32_t total, const Page& first);
    // Forgets everything: no records, both counters 0.
    void clear();
    // Adds the records of a further page (at most ten are taken, whatever a
    // listener sends); answers how many.
    int32_t append(const Page& page);
    // Lets the records go but keeps the counters (the screen was closed).
    void dropRecords();

    int32_t total() const { return total_; }
    int32_t downloaded() const { return downloaded_; }
    bool complete() const { return downloaded_ >= total_; }
    const std::vector<LogRecord>& records() const { return records_; }

    // Whether the window whose first record is `top` (from 1) reaches past
    // what was downloaded while the retrieval has more.
    bool needsMore(int32_t top) const { return downloaded_ < total_ && top + kWindowRows > downloaded_; }
    // The records of the window from `top`: at most ten, never past what was
    // downloaded or counted.
    std::span<const LogRecord> window(int32_t top) const;
    // The scroll bar's maximum (its minimum is 1).
    int32_t scrollMaximum() const { return total_ <= kWindowRows ? 1 : total_ - kWindowRows + 1; }

private:
    std::vector<LogRecord> records_;
    int32_t total_ = 0;
    int32_t downloaded_ = 0;
};

} // namespace tallyquill
