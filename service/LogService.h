#pragma once

// The log service under the viewer: retrieval with paging, the print feed
// and archiving, on one kept connection. The viewer's screens reach it
// through the LogViewer; the tallyquill command and the benchmarks use it
// directly. Nothing here knows a widget.

#include "tallyquill/export.h"
#include "core/ViewValues.h"
#include "service/BackgroundCount.h"
#include "writer/LogConnection.h"
#include "core/LogLine.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
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
    // A count that fails because the table does not exist is nothing found;
    // every other failure (a failed count, a dead connection, a bad AppID, a
    // failed selection) is answered with its reason; it shows nothing.
    // The count stops at countCap + 1 records; when that many match, the
    // first page waits no longer than countPatience (none unless set) for
    // the exact count: the retrieval answers `counting`, and the count goes
    // on to onCounted.
    Retrieval retrieve(const LogFilter& filter);

    // Told, on the count's own thread, how the count of a retrieval that
    // answered `counting` ended; never for one that a later retrieval,
    // cancelCount() or disconnect() gave up.
    std::function<void(const CountOutcome&)> onCounted;
    int32_t countCap = 10000;
    std::chrono::milliseconds countPatience{0};
    // Run on the count's thread before it counts (a test holds it there).
    std::function<void()> countStarting;
    // The id of the latest retrieval.
    uint64_t retrieval() const { return retrievals_; }
    // Waits for the count of the latest retrieval and answers it, when it
    // was counting and the count did not fail; onCounted is told as ever.
    std::optional<int32_t> finishCount();
    // Gives the running count up.
    void cancelCount();
    // The next page of the open retrieval; not ok once it was read to its end.
    Page more();
    // Writes the records after the first `downloaded` of `total` into `file`,
    // in display form, and leaves the paging where it was. Throws on failure.
    // A `total` of INT32_MAX writes to the end of the retrieval.
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
    QString pageFailure_;  // why the latest page fetch failed
    uint64_t retrievals_ = 0;
    // Declared last: its thread ends before the members it was told of.
    BackgroundCount counter_;
};

// The condition of a retrieval, each value carried as a literal that a
// server with `backslashEscapes` reads back unchanged. In the activity only
// `%` and `_` act as wildcards, on every database; `activityColumn` is the
// activity column as the dialect folds ASCII case, `activityPrefilter` the
// activity index's (ActivityPrefilter), which changes no result.
QString BuildCondition(const LogFilter& filter, bool backslashEscapes, const QString& activityColumn,
                       const QString& activityPrefilter = QString());

} // namespace tallyquill
