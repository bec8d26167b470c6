#pragma once

#include <cstdint>

namespace tallyquill {

// Base ids of the string table.
namespace sid {
constexpr int16_t Error = 832;
constexpr int16_t NeedAppAndWorkstation = 853;
constexpr int16_t NoDsn = 854;
} // namespace sid

constexpr int16_t kTrue = -1;
constexpr int16_t kFalse = 0;

// Column widths of a log line.
constexpr int kDateWidth = 10;
constexpr int kTimeWidth = 8;
constexpr int kAppIdWidth = 10;
constexpr int kWsIdWidth = 16;
constexpr int kUserWidth = 20;
constexpr int kEventWidth = 8;

} // namespace tallyquill
