#pragma once

// The door of the tallyquill command: the one header of the library's inside
// that the command includes, and, with the installed API, all that the shared
// library exports (cmake/tallyquill.map). Not part of the API; not installed.
//
// Besides the API's own headers it shows core/ViewValues.h: the records, line
// layouts and archive requests and outcomes that the command exchanges with
// the service are those values, and a second definition of them could drift.
// Their functions stay hidden; the command reaches them through the calls
// below.

#include "tallyquill/error.h"
#include "tallyquill/export.h"
#include "tallyquill/msg_logger.h"
#include "core/Error.h"
#include "core/LineBytes.h"  // RecordBytes: the records `list` streams
#include "core/Schema.h"  // the columns the command's lines and reports name
#include "core/ViewValues.h"
#include "service/ActivityIndex.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstring>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyquill {

class LogConnection;
namespace odbc {
class Connection;
}

// What `list` selects. Bounds are inclusive instants; a per-day time window
// applies to every day, as the viewer's. Each list means "any of these".
struct LogQuery {
    QString appId;
    QString fromDate, fromTime;  // empty: no lower bound
    QString toDate, toTime;      // empty: no upper bound
    QString dayTimeFrom, dayTimeTo;
    std::vector<QString> wsIds, users, events;
    QString activity;            // contained; % and _ act as wildcards
    int last = 0;                // only the newest N (still delivered oldest first)
    bool newestFirst = false;    // delivered newest first, as read
};

// The data source could not be reached; the message says why.
class TQ_INTERNAL_API SourceUnavailable : public Failure {
public:
    explicit SourceUnavailable(const std::string& message) : Failure(ErrorCategory::Unavailable, message) {}
};

class TQ_INTERNAL_API CommandService {
public:
    CommandService(QString dsn, QString login, QString password);
    ~CommandService();
    CommandService(const CommandService&) = delete;
    CommandService& operator=(const CommandService&) = delete;

    // Opens the connection unless it is open. Throws SourceUnavailable.
    void connect() { connection(); }
    // False once a failure broke the connection; the next call reopens it.
    bool connected() const;

    // Hands each selected record to `sink` in stored form, oldest first, reading the result
    // to its end. Answers false when the table does not exist. Throws
    // SourceUnavailable or DatabaseError; a lost connection is reopened by the
    // next call.
    bool select(const LogQuery& query, const std::function<void(const LogRecord&)>& sink);

    struct AppSummary {
        QString appId;      // the table's name without "_logs", in capitals
        int64_t records = 0;
        QString first, last;  // "yyyymmddhhmmss" of the oldest and newest record
        QString problem;      // why a table of that name could not be read
        ActivityIndexState activityIndex = ActivityIndexState::Absent;
    };
    // Every table named <AppID>_logs, by name.
    std::vector<AppSummary> apps();

    struct CheckReport {
        QString driver, driverVersion, dbms, dbmsVersion;
        QString table;      // as the database names it; empty when absent
        QString index;      // an index on (log_Date, log_Time); empty when absent
        ActivityIndexState activityIndex = ActivityIndexState::Absent;
    };
    // Connects and describes the driver and server; with an AppID, whether its
    // table and index exist.
    CheckReport check(const QString& appId);

    // The days up to and including `date` ("yyyymmdd") that hold records,
    // with their counts: what an archive run would write. Empty when the
    // table does not exist.
    std::vector<std::pair<QString, int64_t>> archivePlan(const QString& appId, const QString& date);

    // Inserts the records that `next` fills until it answers false, in one
    // transaction, creating the table and its index when missing. Answers the
    // number inserted; nothing is inserted when it throws.
    int64_t import(const QString& appId, const std::function<bool(LogRecord&)>& next);

    // Registers a per-user "PostgreSQL Unicode" data source that streams
    // results and keeps the driver's log files off. Throws
    // std::invalid_argument for a value that odbc.ini cannot hold.
    static void registerPostgres(const QString& name, const QString& host, int port, const QString& database,
                                 const QString& user);

    // Appends the records up to the day to files and/or deletes them, as the
    // viewer's archive dialog does, on a connection of its own.
    ArchiveOutcome archive(const ArchiveRequest& request, const LineLayout& layout);

    // --- list as a stream ---------------------------------------------------
    // As select(), but each record as the database's UTF-8 bytes, which are
    // valid only during the call: read in bound blocks where the driver
    // hands UTF-8, so that memory stays flat however many rows match. With
    // `last`, only those many rows are held.
    bool selectBytes(const LogQuery& query, const std::function<void(const RecordBytes&)>& sink);

    // At most `limit` records as bytes, the oldest forgotten first (0 keeps
    // none). Inline: the command keeps them too.
    class KeptRecords {
    public:
        explicit KeptRecords(size_t limit) : limit_(limit) {}
        void add(const RecordBytes& r)
        {
            if (limit_ == 0)
                return;
            if (rows_.size() == limit_)
                rows_.pop_front();
            std::string& row = rows_.emplace_back();
            for (std::string_view v : {r.date, r.time, r.appId, r.wsId, r.user, r.eventType, r.activity}) {
                const uint32_t n = uint32_t(v.size());
                row.append(reinterpret_cast<const char*>(&n), sizeof n);
                row.append(v);
            }
        }
        size_t size() const { return rows_.size(); }
        // The i-th kept record, oldest first; valid until the next add.
        RecordBytes at(size_t i) const
        {
            const std::string& row = rows_[i];
            std::string_view v[7];
            size_t at = 0;
            for (std::string_view& field : v) {
                uint32_t n = 0;
                std::memcpy(&n, row.data() + at, sizeof n);
                field = std::string_view(row).substr(at + sizeof n, n);
                at += sizeof n + n;
            }
            return {v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
        }

    private:
        size_t limit_;
        std::deque<std::string> rows_;
    };

    // Activity index (`index --activity`): makes (or with `drop` drops) the
    // index that makes the activity filter fast. Answers whether anything
    // changed and the index's name. Throws Failure when the database refuses
    // (the message says what an administrator must do), or DatabaseError.
    struct ActivityIndexChange {
        QString name;
        bool changed = false;
        ActivityIndexState before = ActivityIndexState::Absent;
    };
    ActivityIndexChange indexActivity(const QString& appId, bool drop);

    // Seals over closed days (seal, verify, and the routine's retention and
    // apps). A table is named by its AppID; an empty one means every table.
    struct SealLink {
        QString sealedAt, reason;
        int64_t epoch = 0, rows = 0;
    };
    struct SealedDay {
        QString day;     // stored date
        QString status;  // "intact", "archived", "changed", "seal missing", "seal forged", "chain broken", "chain cut"
        QString detail;
        int64_t sealedRows = -1, rows = 0;
        std::vector<SealLink> history;  // the day's seals, oldest first
    };
    struct SealReport {
        QString appId;
        std::vector<SealedDay> days;  // by date
        QString lastHash;             // hex, empty before the first seal
        QString lastSealedDay;
        std::vector<QString> sealedNow;  // days this run sealed
        bool intact = true;
        bool macsChecked = false;
        QString problem;  // why the table could not be verified
    };
    // Seals each closed day (up to `lastClosedDay`) with rows that is after
    // the table's last seal, with the key file at `keyFile`, stepping it.
    std::vector<SealReport> seal(const QString& appId, const QString& lastClosedDay, const QString& keyFile);
    // Seals `day` again, as a link naming the seal it replaces and why.
    SealReport reseal(const QString& appId, const QString& day, const QString& reason, const QString& keyFile);
    // Every sealed and every closed day of each table against its rows and
    // the chain; with `seedHex` each MAC, with `keyFile` (no seed) that no
    // seal claims the key file's epoch or a later one.
    std::vector<SealReport> verifySeals(const QString& appId, const QString& lastClosedDay, const QString& seedHex,
                                        const QString& keyFile);

private:
    odbc::Connection& connection();
    // Runs `work` on the connection, dropping it when a failure broke it.
    template <class F>
    auto guarded(F&& work);

    QString dsn_, login_, password_;
    std::unique_ptr<LogConnection> link_;
};

namespace command {

// A record line as the print file and the viewer show it, from the stored
// form; the print file's header; any text with the line layout's stand-ins
// for characters that would split or forge a line.
TQ_INTERNAL_API QString PrintLine(const LogRecord& stored, const LineLayout& layout);
TQ_INTERNAL_API QString PrintHeader(const LineLayout& layout);
TQ_INTERNAL_API QString Visible(const QString& text);
// dd/mm/yyyy from "yyyymmdd", hh:mm:ss from "hhmmss".
TQ_INTERNAL_API QString ShownDate(const QString& stored);
TQ_INTERNAL_API QString ShownTime(const QString& stored);
// The checks every row passes before it is written; throws as the writer does.
TQ_INTERNAL_API void CheckRow(const LogRecord& row);

// The viewer's texts the command shows too, by their string ids.
namespace msg {
constexpr int16_t InvalidDate = 833;
constexpr int16_t ArchiveFailed = 838;
constexpr int16_t NoRecordFound = 844;
constexpr int16_t RetrieveLogs = 845;
constexpr int16_t NoStartTime = 848;
constexpr int16_t NoEndTime = 849;
constexpr int16_t InvalidDateRange = 850;
constexpr int16_t InvalidTime = 851;
constexpr int16_t InvalidTimeRange = 852;
} // namespace msg
// The text of `id` in the operator's language (`english` when the table has
// none), then `detail`, as the viewer's warning; on stderr without a screen.
TQ_INTERNAL_API void ShowError(int16_t id, const QString& english, const QString& detail = {});
// The same for a notice titled by `titleId`.
TQ_INTERNAL_API void ShowNotice(int16_t id, const QString& english, int16_t titleId, const QString& titleEnglish);

// Why the last failed opening of a connection on this thread failed.
TQ_INTERNAL_API QString LastOpenFailure();
// WriteLog stamped with `at` instead of the clock: demonstration records
// spread over past days.
TQ_INTERNAL_API int16_t WriteLogAt(MsgLogger& logger, const QDateTime& at, const std::string& user,
                                   const std::string& eventType, const std::string& text);

// A spool that spooled writers left, as `spool status` lists it.
struct SpoolState {
    QString path, dsn, table;
    int64_t pending = 0;
    QString oldestDate, oldestTime;  // stored forms, empty when nothing waits
    QString lastError;
    int64_t rejected = 0;  // records set aside in <spool>.rejected
    QString note;          // the last error with the damage set aside or waiting
    QString problem;       // why the file could not be read, if it could not
};
TQ_INTERNAL_API std::vector<SpoolState> ListSpools();
// Delivers one spool file now, waiting up to `timeout` for another process's
// deliverer; the file's own login unless `login` is given.
struct SpoolFlush {
    int64_t remaining = 0;  // negative: the file could not be read
    QString error;
    bool databaseError = false;
    bool damageSetAside = false;
};
TQ_INTERNAL_API SpoolFlush FlushSpool(const QString& path, const std::optional<QString>& login,
                                      const QString& password, std::chrono::milliseconds timeout);

// The viewer's screen, opened modal on a fresh viewer; false when this
// process cannot show widgets. Empty titles and dates keep the viewer's own.
struct ViewerSetup {
    QString dsn, login, password, appId;
    QString caption, userTitle, eventTitle, activityTitle;
    bool hideAppID = false, hideWsID = false, hideUser = false, hideEvent = false;
    QString firstStartDate, firstEndDate;  // dd/mm/yyyy
};
TQ_INTERNAL_API bool ShowViewer(const ViewerSetup& setup);

// --- list as a stream -----------------------------------------------------------
// Appends PrintLine(stored, layout).toUtf8() of a record read as bytes,
// without a line end and without a QString.
TQ_INTERNAL_API void AppendPrintLine(std::string& out, const RecordBytes& stored, const LineLayout& layout);

// --- Archive manifests: archive files checked offline against the manifest
// the archive writes beside them (verify --archive, import).
struct ArchiveFinding {
    QString manifest;  // the manifest's path
    QString file;      // the archive file's path
    QString day;       // the stored date of the run's lines; empty for a finding about the file
    uint64_t offset = 0, length = 0;
    int64_t lines = 0;        // the lines the run wrote
    bool sealed = false;      // the manifest holds the day's seal
    bool macChecked = false;  // and its MAC was checked with the seed
    bool forced = false;      // deleted although its rows did not match the seal
    QString problem;          // empty: intact
};
struct ArchiveVerification {
    std::vector<ArchiveFinding> findings;  // in the manifests' order
    std::vector<QString> notes;  // what is not wrong but unproven: bytes older than the manifest
    int manifests = 0;           // manifests read
    bool ok() const
    {
        for (const ArchiveFinding& f : findings)
            if (!f.problem.isEmpty())
                return false;
        return manifests > 0;
    }
};
// `path` is a directory (every manifest in it), a manifest, or an archive
// file (the entries of the manifests beside it that name it). With the seed,
// each recorded seal's MAC is checked under its epoch's key.
TQ_INTERNAL_API ArchiveVerification VerifyArchive(const QString& path,
                                                  const std::optional<QByteArray>& seed = std::nullopt);

// Seals: the key file's default place (in the state directory), and a new
// seed with its key file at epoch 0; answers the seed in hex, which no file
// keeps. Refuses an existing file unless `replace`.
TQ_INTERNAL_API QString DefaultSealKeyFile();
TQ_INTERNAL_API QString InitSealKey(const QString& keyFile, bool replace);

} // namespace command

} // namespace tallyquill
