#pragma once

// The events that the screens raise and their one listener, the LogViewer,
// answers synchronously. By-reference parameters carry the answers back.

#include <QString>
#include <QStringList>

#include <cstdint>

namespace tallyquill {

// One page of records in stored form, at positions 1 to 10 of seven lists
// that each hold positions 0 to 10 (position 0 is never used).
struct PageBuffer {
    static constexpr int kSize = 11;
    PageBuffer()
        : OutputDate(kSize), OutputTime(kSize), OutputAppID(kSize), OutputWsID(kSize), OutputUserName(kSize),
          OutputEventType(kSize), OutputActivity(kSize)
    {
    }
    QStringList OutputDate;
    QStringList OutputTime;
    QStringList OutputAppID;
    QStringList OutputWsID;
    QStringList OutputUserName;
    QStringList OutputEventType;
    QStringList OutputActivity;
};

// Raised by the log viewer screen.
class LogMainEvents {
public:
    virtual ~LogMainEvents() = default;
    virtual void InitScreen(QString& Caption, QString& UserDesc, QString& EventDesc, QString& ActivityDesc,
                            int16_t& AppIDVisible, int16_t& WsIDVisible, int16_t& UserVisible,
                            int16_t& EventVisible) = 0;
    virtual void PopUpArchiveDlg() = 0;
    virtual void PopUpPrintDlg() = 0;
    virtual void RetrieveLog(int16_t& Result, int32_t& TotalRecord, int32_t& DownloadRecord,
                             const QString& StartDate, const QString& EndDate, const QString& StartTime,
                             const QString& Endtime, const QString& AppID, const QString& WsID,
                             const QString& UserName, const QString& EventType, const QString& Activity,
                             PageBuffer& Output) = 0;
    virtual void MoreLog(int16_t& Result, int32_t& DownloadRecord, PageBuffer& Output) = 0;
};

// Raised by the archive dialog.
class ArchiveEvents {
public:
    virtual ~ArchiveEvents() = default;
    virtual void InitArchiveScreen(int16_t& AppIDVisible) = 0;
    virtual void ArchiveLog(int16_t& DBResult, const QString& AppID, const QString& ArchiveDate, int16_t ToFile,
                            int16_t DelRecord, int16_t MultiFile, const QString& FilePrefix,
                            const QString& Filename) = 0;
};

// Raised by the print dialog. Failures are thrown to the raiser.
class PrintEvents {
public:
    virtual ~PrintEvents() = default;
    virtual void MoreLogForPrint(int16_t FileNo, int32_t TotalRecord, int32_t DownloadRecord) = 0;
};

} // namespace tallyquill
