// The archive: the records of a table up to a day written as log lines to
// one file or to a file per day, deleted, or both.
//
// With deletion the run goes one stored date at a time, each in its own
// transaction: read that day's rows, write their lines and put them on the
// disk, delete exactly those rows, commit, then the next day. SQLite's write
// lock is held for one day's rows at most; PostgreSQL reads each day in a
// REPEATABLE READ snapshot. A day that fails on its own (a date that makes no
// file name, a file that cannot be made or written) keeps its rows and the run
// goes on; a database failure stops the run after the last committed day.
// Before a day's lines go into a file, a note beside it names the day and
// where they begin, until its delete commits: a run killed in between leaves
// lines whose rows are still in the table, and the next run takes them back
// before it writes that day again. Without deletion the run goes a day at a
// time too, and skips a day that fails on its own.
// Archive files are appended to: no run empties one.
// Each day a run writes is named in the manifest beside the files once its
// lines are on the disk and before its rows are deleted: their byte range,
// SHA-256 and count, and the day's seal. Lines taken back out of a file are
// cut from the manifest first. A sealed day is deleted only when its rows
// still match the seal, or when the request forces it (recorded).

#include "service/LogService.h"

#include "odbc/Odbc.h"
#include "odbc/Utf8Rows.h"
#include "service/ArchiveJournal.h"
#include "service/ArchiveManifest.h"
#include "service/Seals.h"
#include "core/Error.h"
#include "core/DailyFiles.h"
#include "platform/FaultPoint.h"
#include "core/LineBytes.h"
#include "core/LogFile.h"
#include "core/LogTable.h"
#include "core/Schema.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tallyquill {

namespace {

const QString kSelect = QStringLiteral("SELECT  ") + RecordColumnList() + QStringLiteral(" FROM    ");
// Bytes bound in place per column: every value the log's columns hold, in
// characters of up to four bytes. Longer ones (only a database that does not
// enforce the sizes keeps them) are read another way.
const std::vector<size_t> kCapacities = RecordOrderByteCapacities();
// Lines go to the file in pieces of about this many bytes.
constexpr size_t kWriteAt = size_t(192) * 1024;

// The database's own files, which no archive may be written into.
std::vector<FileIdentity> databaseFiles(odbc::Connection& conn)
{
    const odbc::Dialect& dialect = conn.dialect();
    if (dialect.databaseFilesQuery().isEmpty())
        return {};
    std::vector<QString> paths;
    auto rs = conn.query(dialect.databaseFilesQuery());
    const int file = rs->column(QStringLiteral("file"));
    for (; !rs->eof(); rs->next()) {
        const QString db = rs->text(file);
        if (!db.isEmpty())
            for (const QString& suffix : dialect.databaseFileSuffixes())
                paths.push_back(db + suffix);
    }
    return IdentitiesOf(paths);
}

// The columns of a selection read as text, whatever their length.
using WideColumns = RecordColumnsOf<odbc::ResultSet>;

// A sealed day that does not match its seal: the run stops there.
struct SealRefused : Failure {
    explicit SealRefused(const std::string& why) : Failure(ErrorCategory::CorruptFile, why) {}
};

QString dayList(const std::vector<QString>& days)
{
    if (days.size() == 1)
        return QStringLiteral("1 day (%1)").arg(days.front());
    return QStringLiteral("%1 days (%2 to %3)").arg(days.size()).arg(days.front(), days.back());
}

class ArchiveRun {
public:
    ArchiveRun(odbc::Connection& conn, const ArchiveRequest& request, const QString& table, const LineLayout& layout)
        : conn_(conn), request_(request), table_(table), layout_(archiveLayout(layout)),
          fast_(conn.textCapabilities().utf8)
    {
    }

    void run()
    {
        if (request_.ToFile) {
            forbidden_ = databaseFiles(conn_);
            QString note;
            if (request_.MultiFile) {
                daily_.emplace(request_.Filename, request_.FilePrefix, LogFile::Mode::Append, forbidden_);
                note = request_.Filename + QLatin1Char('/') + request_.FilePrefix + QStringLiteral("archive.pending");
                manifest_.emplace(DailyManifest(request_.Filename, request_.FilePrefix), forbidden_);
            } else {
                file_ = &single_.emplace(request_.Filename, LogFile::Mode::Append, forbidden_);
                files = 1;
                note = request_.Filename + QStringLiteral(".pending");
                manifest_.emplace(SingleFileManifest(request_.Filename), forbidden_);
                fileName_ = QFileInfo(request_.Filename).fileName();
            }
            // Only a run that deletes needs the note; any run settles one left.
            if (request_.DelRecord || QFileInfo::exists(note)) {
                journal_.emplace(note);
                settlePending();
            }
        }
        try {
            dayByDay();
        } catch (...) {
            // What the manifest holds of the days done goes to the disk
            // with the failure that stopped the run.
            if (manifest_)
                try {
                    manifest_->sync();
                } catch (const std::exception&) {
                }
            throw;
        }
        closeFiles();
    }

    // The days committed so far: archived (when to file) and deleted.
    std::vector<QString> deleted;
    // Lines written (of rows that stay archived), files written to, rows deleted.
    int64_t written = 0;
    int64_t files = 0;
    int64_t rowsDeleted = 0;
    std::vector<QString> forced;

private:
    QString lit(const QString& value) { return SqlLiteral(value, conn_.backslashEscapes()); }

    // Archive lines keep bidirectional controls: import restores them, and
    // they break no line.
    static LineLayout archiveLayout(LineLayout layout)
    {
        layout.keepBidi = true;
        return layout;
    }
    static uint8_t hiddenBits(const LineLayout& l)
    {
        return uint8_t((l.hideAppID ? 1 : 0) | (l.hideWsID ? 2 : 0) | (l.hideUser ? 4 : 0) | (l.hideEvent ? 8 : 0));
    }

    // A day an earlier run left pending: if every line it wrote from the
    // noted place is a row still in the table, its delete never committed
    // and the lines go (this run writes them again). Otherwise the rows are
    // gone and the lines are their archive: they stay.
    void settlePending()
    {
        const std::optional<PendingDay> pending = journal_->pending();
        if (!pending)
            return;
        std::optional<LogFile> own;
        LogFile* file = single_ ? &*single_ : nullptr;
        if (daily_) {
            const QString name = DailyFileName(request_.Filename, request_.FilePrefix, pending->day);
            if (!QFileInfo::exists(name)) {
                journal_->clear();
                return;
            }
            file = &own.emplace(name, LogFile::Mode::Append, forbidden_);
        }
        if (file->size() > pending->from && linesAreStoredRows(*file, *pending)) {
            // Off the manifest before they leave the file.
            manifest_->cut(QFileInfo(file->path()).fileName(), pending->from);
            fault::point("archive.settle-cut");
            file->truncate(pending->from);
            file->sync();
        }
        journal_->clear();
        if (own)
            own->close();
    }

    bool linesAreStoredRows(const LogFile& file, const PendingDay& pending)
    {
        QFile in(file.path());
        const qint64 from = qint64(pending.from);
        if (!in.open(QIODevice::ReadOnly) || !in.seek(from > 0 ? from - 1 : 0))
            throw Failure(ErrorCategory::InputOutput, "Cannot read " + file.path().toStdString() + ": " + in.errorString().toStdString());
        // The noted place must begin a line.
        if (from > 0 && in.read(1) != "\n")
            return false;
        // Lines and rows compared as hashes of their bytes: a day's lines
        // need not fit in memory.
        const std::hash<std::string_view> hash;
        std::vector<size_t> lines;
        while (!in.atEnd()) {
            const QByteArray line = in.readLine();
            if (!line.endsWith("\r\n"))
                return false;
            lines.push_back(hash(std::string_view(line.constData(), size_t(line.size()))));
        }
        if (in.error() != QFileDevice::NoError)
            throw Failure(ErrorCategory::InputOutput, "Cannot read " + file.path().toStdString() + ": " + in.errorString().toStdString());
        LineLayout layout;
        layout.hideAppID = pending.hidden & 1;
        layout.hideWsID = pending.hidden & 2;
        layout.hideUser = pending.hidden & 4;
        layout.hideEvent = pending.hidden & 8;
        layout.keepBidi = true;
        std::vector<size_t> rows;
        auto rs = conn_.query(selection(col::Date + QStringLiteral(" = ") + lit(pending.day)));
        const WideColumns columns(*rs);
        for (; !rs->eof(); rs->next()) {
            const QByteArray line = BuildLogLine(columns.read(*rs), layout).toUtf8() + "\r\n";
            rows.push_back(hash(std::string_view(line.constData(), size_t(line.size()))));
        }
        std::sort(lines.begin(), lines.end());
        std::sort(rows.begin(), rows.end());
        return std::includes(rows.begin(), rows.end(), lines.begin(), lines.end());
    }

    // --- The database side -----------------------------------------------------

    void dayByDay()
    {
        const bool deleting = request_.DelRecord;
        std::unique_ptr<odbc::Statement> del;
        if (deleting)
            del = conn_.prepare(QStringLiteral("DELETE FROM ") + table_ + QStringLiteral(" WHERE   ") + col::Date
                                + QStringLiteral(" = ?"));
        // Whether the table has seals at all, asked once outside the days'
        // transactions: a missing seal table fails a statement, and with it
        // a PostgreSQL transaction. Retention seals before it archives, so
        // no day is sealed during the run.
        sealed_ = !seal::Chain(conn_, table_).empty();
        std::optional<QString> after;
        while (const std::optional<QString> day = nextDay(after)) {
            int64_t gone = 0;
            {
                std::optional<odbc::SnapshotTransaction> transaction;
                if (deleting)
                    transaction.emplace(conn_);
                lines_ = 0;
                // The day before is committed: nothing of it is taken back.
                day_.clear();
                dayLines_ = 0;
                dayRecorded_ = false;
                try {
                    checkSeal(*day);
                    if (request_.ToFile) {
                        archive(col::Date + QStringLiteral(" = ") + lit(*day));
                        recordDay();
                    }
                    if (deleting) {
                        fault::point("archive.synced");
                        del->setParameters({*day});
                        gone = del->execute();
                    }
                    // Under the write lock (SQLite) or in the snapshot
                    // (PostgreSQL) the day cannot have changed; if it did,
                    // its rows stay.
                    if (deleting && request_.ToFile && gone >= 0 && gone != lines_)
                        throw Error(QStringLiteral("The rows of %1 changed while they were archived: %2 written, "
                                                   "%3 to be deleted")
                                        .arg(*day)
                                        .arg(lines_)
                                        .arg(gone)
                                        .toStdString());
                } catch (const DatabaseError&) {
                    // Not deleted: its lines go back out of the file, so
                    // that the next run writes them once.
                    takeBackDay();
                    throw;
                } catch (const SealRefused&) {
                    throw;
                } catch (const std::exception& e) {
                    // This day alone: it stays in the table, its lines go
                    // back out, and the later days are still archived.
                    const QString why = QString::fromStdString(e.what());
                    if (!takeBackDay() && deleting)
                        // Its note stays for the next run, which takes them
                        // back; a later day would overwrite it.
                        throw Failure(ErrorCategory::InputOutput, QStringLiteral("%1 (%2); its lines are still in the file and the next run "
                                                   "takes them back")
                                        .arg(*day, why)
                                        .toStdString());
                    skipped_.push_back(*day + QStringLiteral(" (") + why + QStringLiteral(")"));
                    after = day;
                    continue;
                }
                if (transaction)
                    transaction->commit();
                if (gone > 0)
                    rowsDeleted += gone;
            }
            if (deleting) {
                fault::point("archive.committed");
                if (journal_)
                    journal_->clear();
                deleted.push_back(*day);
                if (check_ == ManifestEntry::Check::Forced)
                    forced.push_back(*day);
            }
            after = day;
        }
        reachedEnd = true;
        if (!skipped_.empty())
            throw Failure(ErrorCategory::InputOutput, QStringLiteral("%1 skipped, %2: %3")
                            .arg(skipped_.size() == 1 ? QStringLiteral("1 day")
                                                      : QStringLiteral("%1 days").arg(skipped_.size()),
                                 deleting ? QStringLiteral("still in the table") : QStringLiteral("not archived"),
                                 skipped_.join(QStringLiteral("; ")))
                            .toStdString());
    }

    // A sealed day whose rows no longer match its seal is not deleted unless
    // the request forces it. Either way the seal goes into the manifest.
    void checkSeal(const QString& day)
    {
        seal_.reset();
        check_ = ManifestEntry::Check::None;
        if (!sealed_)
            return;
        const std::optional<seal::SealRecord> found = CurrentSeal(conn_, table_, day);
        if (!found)
            return;
        seal_ = ManifestSeal{found->table, found->rows,   found->digest,  found->previous, found->epoch,
                             found->sealedAt, found->reason, found->replaces, found->mac,   found->hash()};
        if (!request_.DelRecord)
            return;
        if (DayMatches(conn_, table_, day, *found)) {
            check_ = ManifestEntry::Check::Matched;
            return;
        }
        if (!request_.Force)
            throw SealRefused(QStringLiteral("The rows of %1 do not match its seal (%2 rows sealed at %3, epoch %4): "
                                             "rows were changed, added or deleted since; they stay in the table "
                                             "(--force deletes them anyway, and the manifest says so)")
                                  .arg(day)
                                  .arg(found->rows)
                                  .arg(found->sealedAt)
                                  .arg(found->epoch)
                                  .toStdString());
        check_ = ManifestEntry::Check::Forced;
    }

    // The day's lines are on the disk: the manifest names them, on the disk
    // too before any of its rows is deleted.
    void recordDay()
    {
        if (day_.empty() || dayLines_ == 0 || !file_)
            return;
        // With deletion on the disk; without, at least out of this process
        // before the manifest names them.
        if (request_.DelRecord) {
            sync();
        } else {
            flush();
            file_->push();
        }
        ManifestEntry entry;
        entry.file = daily_ ? QFileInfo(file_->path()).fileName() : fileName_;
        entry.day = QString::fromUtf8(day_.data(), qsizetype(day_.size()));
        entry.offset = dayStart_;
        entry.length = file_->size() - dayStart_;
        entry.lines = dayLines_;
        entry.sha256 = hash_.result();
        entry.check = check_;
        entry.seal = seal_;
        manifest_->add(entry);
        dayRecorded_ = true;
        if (request_.DelRecord)
            manifest_->sync();
        fault::point("archive.manifested");
    }

    // The first stored date after `after` up to the last day archived.
    std::optional<QString> nextDay(const std::optional<QString>& after)
    {
        QString sql = QStringLiteral("SELECT %1 FROM %2 WHERE %1 <= ").arg(col::Date, table_)
                      + lit(request_.ArchiveDate);
        if (after)
            sql += QStringLiteral(" AND ") + col::Date + QStringLiteral(" > ") + lit(*after);
        auto rs = conn_.query(sql + QStringLiteral(" ORDER BY ") + col::Date + QStringLiteral(" LIMIT 1"));
        if (rs->eof())
            return std::nullopt;
        return rs->text(0);
    }

    QString selection(const QString& condition) const
    {
        return kSelect + table_ + QStringLiteral(" WHERE   ") + condition
               + QStringLiteral(" ORDER BY ") + col::Date + QStringLiteral(", ") + col::Time;
    }

    // Writes the lines of the rows that `condition` selects, in date and time
    // order. A value too long for the fast read sends its day through the
    // wide one; the days after it go on fast.
    void archive(const QString& condition)
    {
        if (!fast_) {
            readWide(condition);
            return;
        }
        QString rest = condition;
        for (;;) {
            try {
                readFast(rest);
                return;
            } catch (const odbc::ValueTooLong&) {
            }
            // The day in progress again (or the first, if none began).
            QString day;
            if (!day_.empty()) {
                day = QString::fromUtf8(day_.data(), qsizetype(day_.size()));
                takeBackDay();
            } else {
                auto rs = conn_.query(selection(rest));
                if (rs->eof())
                    return;
                day = rs->text(0);
            }
            readWide(col::Date + QStringLiteral(" = ") + lit(day));
            rest = condition + QStringLiteral(" AND ") + col::Date + QStringLiteral(" > ") + lit(day);
        }
    }

    void readFast(const QString& condition)
    {
        odbc::Utf8Rows rows(conn_, selection(condition), kCapacities);
        while (rows.fetch()) {
            for (size_t r = 0; r < rows.rows(); ++r) {
                const RecordBytes record{rows.text(r, 0), rows.text(r, 1), rows.text(r, 2), rows.text(r, 3),
                                         rows.text(r, 4), rows.text(r, 5), rows.text(r, 6)};
                if (record.date != day_)
                    startDay(record.date);
                AppendLogLine(buffer_, record, layout_);
                ++lines_;
                ++dayLines_;
                ++written;
            }
            linesAdded();
        }
    }

    // Tells the caller how far the run is and writes out a full buffer.
    void linesAdded()
    {
        if (request_.progress)
            request_.progress(written);
        if (buffer_.size() >= kWriteAt)
            flush();
    }

    void readWide(const QString& condition)
    {
        auto rs = conn_.query(selection(condition));
        const WideColumns columns(*rs);
        for (; !rs->eof(); rs->next()) {
            const LogRecord r = columns.read(*rs);
            const QByteArray date = r.Date.toUtf8();
            if (std::string_view(date.constData(), size_t(date.size())) != day_)
                startDay({date.constData(), size_t(date.size())});
            const QByteArray line = BuildLogLine(r, layout_).toUtf8();
            char* o = buffer_.room(size_t(line.size()) + 2);
            std::memcpy(o, line.constData(), size_t(line.size()));
            o += line.size();
            *o++ = '\r';
            *o++ = '\n';
            buffer_.commit(o);
            ++lines_;
            ++dayLines_;
            ++written;
            linesAdded();
        }
    }

    // --- The file side -----------------------------------------------------------

    // The rows of another day begin: in daily mode, in a file of its own.
    void startDay(std::string_view date)
    {
        if (daily_) {
            flush();
            // fileFor closes the current file before it opens the next; if
            // that fails there is no day in progress to take back.
            day_.clear();
            dayLines_ = 0;
            file_ = nullptr;
            LogFile& next = daily_->fileFor(QString::fromUtf8(date.data(), qsizetype(date.size())));
            dirSynced_ = false;
            if (date != lastFileDay_) {
                lastFileDay_.assign(date);
                ++files;
            }
            file_ = &next;
        }
        day_.assign(date);
        dayStart_ = file_->size() + buffer_.size();
        dayLines_ = 0;
        hash_.reset();
        hashed_ = buffer_.size();
        if (journal_ && request_.DelRecord)
            journal_->record({QString::fromUtf8(date.data(), qsizetype(date.size())), dayStart_, hiddenBits(layout_)});
    }

    // The bytes of the day's lines are hashed as they leave the buffer.
    void flush()
    {
        if (buffer_.size() > hashed_)
            hash_.add(buffer_.data() + hashed_, buffer_.size() - hashed_);
        if (buffer_.size() > 0)
            file_->write({buffer_.data(), buffer_.size()});
        buffer_.clear();
        hashed_ = 0;
    }

    // The day's lines are on the disk, and so is the name of a file the run
    // made.
    void sync()
    {
        if (!file_)
            return;
        flush();
        file_->sync();
        if (file_->created() && !dirSynced_) {
            SyncDirectory(QFileInfo(file_->path()).absolutePath());
            dirSynced_ = true;
        }
    }

    // Takes the lines of the day in progress back out: its rows stay. False
    // when they could not be: they are still in the file, and so is its note.
    bool takeBackDay()
    {
        if (day_.empty())
            return true;
        bool done = true;
        if (file_) {
            try {
                flush();
                if (dayRecorded_)
                    manifest_->cut(QFileInfo(file_->path()).fileName(), dayStart_);
                dayRecorded_ = false;
                file_->truncate(dayStart_);
                if (journal_ && request_.DelRecord) {
                    // Gone from the disk before the note goes.
                    file_->sync();
                    journal_->clear();
                }
            } catch (const std::exception&) {
                done = false;
            }
        }
        buffer_.clear();
        hashed_ = 0;
        hash_.reset();
        lines_ -= dayLines_;
        written -= dayLines_;
        dayLines_ = 0;
        day_.clear();
        return done;
    }

    void closeFiles()
    {
        if (file_)
            flush();
        file_ = nullptr;
        if (daily_)
            daily_->close();
        if (single_)
            single_->close();
        if (manifest_)
            manifest_->close();
        if (journal_)
            journal_->close();
    }

    odbc::Connection& conn_;
    const ArchiveRequest& request_;
    const QString& table_;
    const LineLayout layout_;
    const bool fast_;
    std::optional<LogFile> single_;
    std::optional<DailyFiles> daily_;
    std::optional<ArchiveJournal> journal_;
    std::optional<ManifestWriter> manifest_;
    QString fileName_;  // the single file's name in its manifest
    LineHasher hash_;  // of the current day's lines
    size_t hashed_ = 0;  // bytes at the buffer's start that are not the day's, or hashed
    bool dayRecorded_ = false;  // the manifest names the current day's lines
    bool sealed_ = false;  // the table has seals
    std::optional<ManifestSeal> seal_;  // the current day's
    ManifestEntry::Check check_ = ManifestEntry::Check::None;
    std::vector<FileIdentity> forbidden_;
    LogFile* file_ = nullptr;  // the file of the current day
    bool dirSynced_ = false;
    ByteBuffer buffer_{kWriteAt + 64 * 1024};
    std::string day_;        // the date of the rows being written
    std::string lastFileDay_;  // the day of the last daily file counted
    uint64_t dayStart_ = 0;  // where its lines begin in the file
    int64_t lines_ = 0;      // lines of the current transaction's rows
    int64_t dayLines_ = 0;   // of which the current day's
    QStringList skipped_;    // days left in the table, with why

public:
    bool reachedEnd = false;  // every day was tried: a failure then is only the skipped days
};

} // namespace

ArchiveOutcome LogService::archive(const ArchiveRequest& request, const LineLayout& layout)
{
    ArchiveOutcome outcome;
    if (!connect()) {
        outcome.reason = LastOpenFailure();
        outcome.category = ErrorCategory::Unavailable;
        outcome.noDsn = source.dsn.isEmpty();
        return outcome;
    }
    std::unique_ptr<ArchiveRun> run;
    try {
        const QString table = tableFor(request.AppID);
        // The viewer's one connection: a second one would find a SQLite file
        // without WAL locked by the open retrieval. That retrieval's rest is
        // read first, so the screen pages and prints what it retrieved.
        if (current_)
            current_->setAside();
        run = std::make_unique<ArchiveRun>(link_.get(), request, table, layout);
        run->run();
        outcome.ok = true;
    } catch (const DatabaseError& e) {
        dropIfGone(e);
        outcome.reason = QString::fromStdString(e.what());
        outcome.fromDatabase = true;
        outcome.category = Error::categoryOf(e);
    } catch (const std::exception& e) {
        outcome.reason = QString::fromStdString(e.what());
        outcome.category = Error::categoryOf(e);
    }
    if (run) {
        outcome.deletedDays = std::move(run->deleted);
        outcome.written = run->written;
        outcome.files = run->files;
        outcome.deleted = run->rowsDeleted;
        outcome.forcedDays = std::move(run->forced);
    }
    if (!outcome.ok && request.DelRecord && run && run->reachedEnd)
        outcome.reason += outcome.deletedDays.empty()
                              ? QStringLiteral(". Nothing was deleted.")
                              : QStringLiteral(". Archived and deleted: ") + dayList(outcome.deletedDays) + '.';
    else if (!outcome.ok && request.DelRecord)
        outcome.reason += outcome.deletedDays.empty()
                              ? QStringLiteral(". Nothing was deleted.")
                              : QStringLiteral(". Archived and deleted before the failure: ")
                                    + dayList(outcome.deletedDays)
                                    + QStringLiteral("; the later days are still in the table.");
    return outcome;
}

} // namespace tallyquill
