#include "writer/DailyFiles.h"

#include <QDir>

namespace tallyquill {

QString DailyFileName(const QString& directory, const QString& prefix, const QString& storedDate)
{
    return directory + QDir::separator() + prefix + storedDate + QStringLiteral(".log");
}

DailyFiles::DailyFiles(QString directory, QString prefix, LogFile::Mode mode)
    : directory_(std::move(directory)), prefix_(std::move(prefix)), mode_(mode)
{
}

void DailyFiles::writeLine(const QString& storedDate, const QString& line)
{
    if (!file_ || storedDate != day_) {
        close();
        file_.emplace(DailyFileName(directory_, prefix_, storedDate), mode_);
        day_ = storedDate;
    }
    file_->writeLine(line);
}

void DailyFiles::close()
{
    if (!file_)
        return;
    // Dropped even when closing fails: the destructor must not try again.
    std::optional<LogFile> done;
    done.swap(file_);
    done->close();
}

} // namespace tallyquill
