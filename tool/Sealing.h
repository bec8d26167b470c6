#pragma once

// What seal, verify, retention and apps share: the closed days, the key
// file's option and a seal run's report.

#include "tool/Options.h"

#include <QString>

#include <string>

namespace tallyquill::cli {

// A verification that found a day or a seal that is not intact.
constexpr int kNotVerified = EX_DATAERR;

// The last stored date that is closed: its end lies `grace` or more in the
// past ("48h", "2d", "90m"; a bare number is hours). Throws Usage.
QString LastClosedDay(const std::string& grace, const QDateTime& now);
// --key-file, defaulting to the state directory's.
QString KeyFileOf(const std::string& option);
// Seals the days up to `lastClosedDay` of one table (or all) and prints, per
// table, what was sealed and the last chain hash. False when a table could
// not be sealed (said on stderr).
bool SealAndReport(CommandService& service, const std::string& app, const QString& lastClosedDay,
                   const QString& keyFile);

} // namespace tallyquill::cli
