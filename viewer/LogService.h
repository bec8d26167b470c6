#pragma once

// The log service under the viewer: retrieval with paging, the print feed
// and archiving, on one kept connection. The viewer's screens reach it
// through the LogViewer; the tallyquill command and the benchmarks use it
// directly. Nothing here knows a widget.

#include "screens/ViewerEvents.h"
#include "writer/LogConnection.h"
#include "writer/LogLine.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace tallyquill {

class LogFile;

namespace odbc {
class ResultSet;
}

// Where the service reads, as the host set it; read afresh at every call.
struct DataSource {
    QString dsn;
    QString login;
    QString password;
    QString appId;  // the table when a request names none
};

class LogService {
public:
    LogService();
    ~LogService();
    LogService(const LogService&) = delete;
    LogService& operator=(const LogService&) = delete;

    DataSource source;

    // Counts the matching records, opens them and answers the first page.
    // A failed count (a missing table, say) is nothing found; a dead
    // connection, a bad AppID or a failed selection is a failure, reported to
    // the operator with its reason.
    Retrieval retrieve(const LogFilter& filter);
    // The next page of the open retrieval; not ok once it was read to its end.
    Page more();
    // Every record of the filter as a line of the listing (display form,
    // CRLF), handed to `write` a piece of bytes at a time, read to the end of
    // the selection. Narrow text read in blocks where the driver answers
    // UTF-8. Drops the open retrieval first. Throws on failure.
    void writeLines(const LogFilter& filter, const LineLayout& layout,
                    const std::function<void(std::string_view)>& write);
    // Writes the records after the first `downloaded` of `total` into `file`,
    // in display form, and leaves the paging where it was. Throws on failure.
    void printRest(LogFile& file, int32_t total, int32_t downloaded, const LineLayout& layout);
    // Appends the records up to the day to files and/or deletes them, one
    // stored date per transaction: a day's rows are deleted only after its
    // lines are on the disk, and a failure stops after the last committed day.
    ArchiveOutcome archive(const ArchiveRequest& request, const LineLayout& layout);

    // The connection check: opens the connection unless it is open.
    bool connect();
    // Closes the open retrieval and the connection.
    void disconnect();

private:
    // The table of an application ID, or of source.appId when empty; throws
    // InvalidAppIdError for a name that is not a plain identifier.
    QString tableFor(const QString& appIdParam) const;
    // Drops the open retrieval and the connection when `failure` broke it.
    void dropIfGone(const DatabaseError& failure);
    Page fetchPage();

    LogConnection link_;
    std::unique_ptr<odbc::ResultSet> current_;
};

// The condition of a retrieval, each value carried as a literal.
QString BuildCondition(const LogFilter& filter);

} // namespace tallyquill
