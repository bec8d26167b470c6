#pragma once

// Reading an archive line back into a record. The line is the print layout
// with every column shown and the stored date and time: fixed-width fields
// (cut or padded), then the activity as the rest of the line.

#include "tool/Formats.h"

#include <QByteArray>
#include <QString>

#include <variant>

namespace tallyquill::cli {

// The record of one line (without its line end), or why it cannot be
// restored exactly.
std::variant<Record, QString> ParseArchiveLine(const QByteArray& utf8);

} // namespace tallyquill::cli
