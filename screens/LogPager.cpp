#include "screens/LogPager.h"

#include <algorithm>

namespace tallyquill {

void LogPager::start(int32_t total, const Page& first, bool counting)
{
    clear();
    total_ = total;
    counting_ = counting;
    append(first);
}

void LogPager::setTotal(int32_t total)
{
    total_ = total;
    counting_ = false;
}

QString LogPager::totalText() const
{
    // A counting retrieval's total is the cap plus the one record that passed it.
    return counting_ ? QString::number(total_ - 1) + QLatin1Char('+') : QString::number(total_);
}

void LogPager::clear()
{
    records_.clear();
    records_.shrink_to_fit();
    total_ = 0;
    downloaded_ = 0;
    counting_ = false;
}

int32_t LogPager::append(const Page& page)
{
    const auto n = int32_t(std::min<std::size_t>(page.records.size(), kPageSize));
    for (int32_t i = 0; i < n; ++i)
        records_.push_back(DisplayForm(page.records[std::size_t(i)]));
    downloaded_ += n;
    return n;
}

void LogPager::dropRecords()
{
    records_.clear();
    records_.shrink_to_fit();
}

int32_t LogPager::held() const { return std::min({total_, downloaded_, int32_t(records_.size())}); }

std::span<const LogRecord> LogPager::window(int32_t top, int32_t rows) const
{
    const int32_t last = held();
    if (top < 1 || top > last || rows < 1)
        return {};
    const int32_t count = std::min(rows, last - top + 1);
    return std::span<const LogRecord>(records_).subspan(std::size_t(top - 1), std::size_t(count));
}

} // namespace tallyquill
