#pragma once

// Archive lines written one file per day: the writer opens the day's file
// when the first line of a new day comes, and closes the one before.

#include "core/LogFile.h"

#include <QString>

#include <optional>
#include <vector>

namespace tallyquill {

// <directory>/<prefix><yyyymmdd>.log. A stored date that is not eight
// digits makes no name (it could climb out of the directory): throws Error.
QString DailyFileName(const QString& directory, const QString& prefix, const QString& storedDate);

class DailyFiles {
public:
    DailyFiles(QString directory, QString prefix, LogFile::Mode mode = LogFile::Mode::Truncate,
               std::vector<FileIdentity> forbidden = {});

    // Writes `line` into the file of `storedDate`, switching files when the
    // day differs from the last line's. Lines come in date order.
    void writeLine(const QString& storedDate, const QString& line);
    // The file of `storedDate`: the current one, or the day's, opened after
    // the one before is closed.
    LogFile& fileFor(const QString& storedDate);
    // Closes the current file, reporting a late write failure.
    void close();

private:
    QString directory_;
    QString prefix_;
    LogFile::Mode mode_;
    std::vector<FileIdentity> forbidden_;
    QString day_;
    std::optional<LogFile> file_;
};

} // namespace tallyquill
