#include "core/DailyFiles.h"

#include "tallyquill/error.h"

#include <QDir>

namespace tallyquill {

QString DailyFileName(const QString& directory, const QString& prefix, const QString& storedDate)
{
    bool digits = storedDate.size() == 8;
    for (QChar c : storedDate)
        digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!digits)
        throw Error("A record's date \"" + storedDate.toStdString() + "\" is not in the stored form yyyymmdd");
    return directory + QDir::separator() + prefix + storedDate + QStringLiteral(".log");
}

DailyFiles::DailyFiles(QString directory, QString prefix, LogFile::Mode mode, std::vector<FileIdentity> forbidden)
    : directory_(std::move(directory)), prefix_(std::move(prefix)), mode_(mode), forbidden_(std::move(forbidden))
{
}

void DailyFiles::writeLine(const QString& storedDate, const QString& line) { fileFor(storedDate).writeLine(line); }

LogFile& DailyFiles::fileFor(const QString& storedDate)
{
    if (!file_ || storedDate != day_) {
        const QString name = DailyFileName(directory_, prefix_, storedDate);
        close();
        file_.emplace(name, mode_, forbidden_);
        day_ = storedDate;
    }
    return *file_;
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
