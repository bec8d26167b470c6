#pragma once

// The events that the screens raise and their one listener, the LogViewer,
// answers synchronously, with the values of core/ViewValues.h.

#include "core/ViewValues.h"

namespace tallyquill {

// Raised by the log viewer screen.
class LogMainEvents {
public:
    virtual ~LogMainEvents() = default;
    virtual ScreenSetup InitScreen() = 0;
    virtual void PopUpArchiveDlg() = 0;
    virtual void PopUpPrintDlg() = 0;
    virtual Retrieval RetrieveLog(const LogFilter& filter) = 0;
    virtual Page MoreLog() = 0;
};

// Raised by the archive dialog.
class ArchiveEvents {
public:
    virtual ~ArchiveEvents() = default;
    // Whether the dialog shows its application field.
    virtual bool InitArchiveScreen() = 0;
    virtual ArchiveOutcome ArchiveLog(const ArchiveRequest& request) = 0;
};

// Raised by the print dialog. Failures are thrown to the raiser.
class PrintEvents {
public:
    virtual ~PrintEvents() = default;
    // Appends the records not yet downloaded to `file`.
    virtual void MoreLogForPrint(LogFile& file, int32_t TotalRecord, int32_t DownloadRecord) = 0;
};

} // namespace tallyquill
