#pragma once

// The values the screens and the log service exchange: filters, pages,
// archive requests and outcomes, the screen's first setup.

#include "tallyquill/error.h"
#include "core/LogLine.h"
#include "core/LogRecord.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace tallyquill {

class LogFile;

// What the viewer screen filters on, in stored form: dates "yyyymmdd",
// times "hhmmss" or empty. An empty text sets no condition (AppID: the
// viewer's own application).
struct LogFilter {
    QString StartDate;
    QString EndDate;
    QString StartTime;
    QString Endtime;
    QString AppID;
    QString WsID;
    QString UserName;
    QString EventType;
    QString Activity;
};

// One page: at most ten records in stored form. `ok` false: the page could
// not be read, or the result set was read to its end before.
struct Page {
    bool ok = false;
    std::vector<LogRecord> records;
};

// A retrieval: whether it ran, how many records matched, and the first page;
// on failure the reason (the database's, when it gave one).
struct Retrieval {
    bool ok = false;
    int32_t total = 0;
    Page page;
    QString reason;
    bool reported = false;  // the operator was told already: no second box
    // On failure, for the operator's message: the database's native number
    // and the description in the operator's language; noDsn when no data
    // source was named, which has a message of its own.
    int32_t number = 0;
    QString detail;
    bool noDsn = false;
    // Still counting: at least `total` records match, and the exact number
    // follows as the CountOutcome of this retrieval's `id`.
    bool counting = false;
    uint64_t id = 0;
};

// The exact count of a retrieval that answered before it was known; on
// failure the reason, and for the operator's message the database's number
// and the description in the operator's language.
struct CountOutcome {
    uint64_t retrieval = 0;  // the Retrieval's id
    bool ok = false;
    int32_t total = 0;
    QString reason;
    int32_t number = 0;
    QString detail;
};

// What the archive dialog asks for.
struct ArchiveRequest {
    QString AppID;        // empty: the viewer's own application
    QString ArchiveDate;  // "yyyymmdd", the last day archived
    bool ToFile = false;
    bool DelRecord = false;
    bool MultiFile = false;  // one file per day in the directory `Filename`
    QString FilePrefix;
    QString Filename;
    // Told the number of lines written so far, after each line.
    std::function<void(int64_t)> progress;
    // Deletes a sealed day whose rows no longer match its seal (the
    // command's --force; the manifest records it). The viewer never sets it.
    bool Force = false;
};

// How an archive run ended; on failure the reason, and whether the database
// gave it (rather than a file or the input). A run that deletes goes day by
// day: the days it archived and deleted stay so when a later day fails.
struct ArchiveOutcome {
    bool ok = false;
    QString reason;
    bool fromDatabase = false;
    ErrorCategory category = ErrorCategory::Internal;  // of the failure
    bool noDsn = false;  // no data source was named: nothing was tried
    bool reported = false;  // the operator was told already: no second box
    int64_t written = 0;  // lines written to files
    int64_t files = 0;    // files opened for them
    int64_t deleted = 0;  // rows deleted from the table
    std::vector<QString> deletedDays;  // stored dates, in order
    // Sealed days deleted although their rows did not match the seal (Force).
    std::vector<QString> forcedDays;
};

// How the viewer screen starts: its caption, the columns and titles, and the
// filter it shows first (empty dates: today; the AppID only where shown).
struct ScreenSetup {
    QString Caption;
    LineLayout Layout;
    QString StartDate;  // dd/mm/yyyy as typed in the field
    QString EndDate;
    QString AppID;
};

}  // namespace tallyquill
