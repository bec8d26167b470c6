#pragma once

// The local spool of the spooled writer: one append-only file per data source
// and table. Records are framed (length, CRC-32C, payload), so a tail torn by
// a killed writer is recognised and cut off by the next writer. Several
// processes share a file through byte-range locks on its first bytes:
// appending, delivering, and being open at all. One object may be used by
// several threads at once.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "tallyquill/error.h"

#include <QStringList>

class QCryptographicHash;

namespace tallyquill::spool {

// A spool that cannot be used (directory, file, full), with the reason.
class SpoolError : public Error {
public:
    using Error::Error;
    // A text of the string table: `english` with %1 to %3 filled from `args`.
    // `inner`, when given, stands for %1, so that it is put in the operator's
    // language too.
    SpoolError(int16_t id, const QString& english, QStringList args, const SpoolError* inner = nullptr);
    // The reason in the operator's language, for a message box; looked up
    // when asked, on the thread that shows it.
    QString forOperator() const;

private:
    int16_t id_ = 0;
    QString english_;
    QStringList args_;
    std::shared_ptr<const SpoolError> inner_;
};

// The seven column values of one row, as WriteLog stamped them.
struct Record {
    QString appId, wsId, date, time, user, eventType, data;
};

QByteArray EncodeRecord(const Record& record);  // one frame, ready to append

// $XDG_STATE_HOME/tallyquill/spool (or ~/.local/state/...), made 0700.
QString SpoolDirectory();
QString EnsureSpoolDirectory();
// The file name of a spool: the data source and table with every byte
// outside [A-Za-z0-9_-] as %XX, so that no name can leave the directory.
QString SpoolFileName(const QString& dsn, const QString& table);
// The data source and table a file name stands for; none for a name that
// is not one SpoolFileName makes, or one shortened by a hash.
std::optional<std::pair<QString, QString>> SpoolNameParts(const QString& fileName);

uint32_t Crc32c(const char* data, size_t size, uint32_t crc = 0);

class SpoolFile {
public:
    struct Identity {
        QString dsn, table, login;
    };
    // Records as read: their fields stay UTF-8 in `data` until they are
    // bound, so that delivering costs a copy, not a string per field.
    struct Field {
        uint32_t offset = 0, bytes = 0;
        uint32_t units = 0;  // UTF-16 code units
        bool ascii = true;
    };
    struct Batch {
        uint64_t start = 0, end = 0;
        QByteArray data;
        QByteArray chain;  // the chain value at `end`, when read was given the one at `start`
        std::vector<Field> fields;  // seven per record
        size_t size() const { return fields.size() / 7; }
        bool empty() const { return fields.empty(); }
        const Field& field(size_t record, int column) const { return fields[record * 7 + size_t(column)]; }
        Record record(size_t i) const;
    };
    struct Counts {
        int64_t records = 0;
        uint64_t bytes = 0;
        Record oldest;  // the first pending record, when there is one
        // Pending bytes that are no record and no torn tail: damage, kept
        // until it is set aside; the records behind it still count.
        uint64_t damaged = 0;
        uint64_t firstDamage = 0;  // its first offset, when there is some
    };
    // Bytes at a record boundary that are no record, up to the next valid
    // frame (or the end of the file), and why.
    struct Damage {
        uint64_t at = 0, resume = 0;
        QString reason;
    };

    // The spool of identity.dsn + identity.table in `dir`, created when
    // missing. Throws SpoolError.
    static std::unique_ptr<SpoolFile> open(const QString& dir, const Identity& identity);
    // An existing spool file by path; null when it has gone meanwhile.
    static std::unique_ptr<SpoolFile> openExisting(const QString& path);
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    const Identity& identity() const { return identity_; }
    // 32 hex digits, new for every file: with an offset it names a batch.
    const QByteArray& id() const { return id_; }
    const QString& path() const { return path_; }

    // Appends whole frames after the last whole record, cutting off a torn
    // tail first. Refuses (SpoolError) when the pending bytes would pass
    // `limit`, or when the disk refuses; nothing is left half written.
    void append(const QByteArray& frames, uint64_t limit);
    void sync();

    // Offset up to which records were committed to the database.
    uint64_t delivered();
    // The delivered mark with its chain value: a keyed hash of every record
    // the mark passed since the chain began, so that another copy of this
    // file, or another login's number, cannot pass for a mark this file set.
    // `certain` is false when the other slot is damaged: it may have held a
    // newer mark, so this one may be one batch behind.
    struct Mark {
        uint64_t offset = 0;
        QByteArray chain;
        bool certain = true;
    };
    static constexpr uint64_t kFirstRecord = 4096;
    Mark mark();
    // Records the new mark and gives back the disk space below the previous
    // one (kept readable, in case this mark is torn). Without a chain value
    // the chain begins again at `offset`.
    void setDelivered(uint64_t offset, const QByteArray& chain = QByteArray());
    // The chain value at `to`, stepping from `chain` at `from` over the
    // records between; none when `to` is not the end of a record there.
    std::optional<QByteArray> chainTo(uint64_t from, const QByteArray& chain, uint64_t to);
    // What the database keeps of a chain value.
    static int64_t Proof(const QByteArray& chain);
    QString lastError();
    void setLastError(const QString& text);

    // Up to `max` whole records from `from` (a record boundary), only those
    // that are on disk: a record handed to the database must outlive a
    // power cut here, or its offset could be reused by a later record.
    // With the chain value at `from`, the batch carries the one at its end.
    Batch read(uint64_t from, size_t max, const QByteArray& chain = QByteArray());
    // Whether `offset` is the end of a whole record at or after `from`.
    bool isRecordEnd(uint64_t from, uint64_t offset);
    Counts pending();
    // Cheap: whether the file holds bytes past the delivered mark.
    bool mayHavePending();
    // The damage at `offset`, where read() stopped short; none when the
    // file ends there or only a torn tail follows.
    std::optional<Damage> damageAt(uint64_t offset);

    // Records the database refuses, one text line each (time, reason, the
    // seven values; tab-separated, with \\, \t, \n, \r and \xNN escapes),
    // in <spool>.rejected beside the spool; on disk when this returns.
    // Each line also carries the spool id and the record's offset, so that
    // a line written by a deliverer killed before it moved the mark is not
    // written again.
    QString rejectedPath() const;
    void setAside(const Batch& batch, const QString& reason);
    int64_t rejectedCount() const;
    // Damaged bytes, one line each in <spool>.damaged (time, spool id,
    // offset, length, reason, the raw bytes escaped as above and every byte
    // over 0x7e as \xNN); on disk when this returns.
    QString damagedPath() const;
    void setAsideDamage(const Damage& damage);
    struct AsideCount {
        int64_t lines = 0;
        uint64_t bytes = 0;
    };
    AsideCount damagedCount() const;

    // One deliverer at a time, across processes.
    bool tryLockDelivery();
    // Waits for the delivery lock until `deadline` (none: as long as it
    // takes) or stopWaiting(); answers whether it holds it. The kernel does
    // the waiting, so a holder that lets go, or dies, hands it on at once.
    // Throws SpoolError.
    bool lockDelivery(std::optional<std::chrono::steady_clock::time_point> deadline);
    // Every wait in lockDelivery, now and later, gives up.
    void stopWaiting();
    void unlockDelivery();
    // How often this object asked for the delivery lock: a waiting
    // deliverer must not keep asking.
    int64_t deliveryLockAttempts() const { return lockAttempts_.load(); }

    // Removes the file when nothing is pending and no other process has it
    // open. Answers whether it did.
    bool removeIfDone();

private:
    class AppendLock;
    SpoolFile() = default;
    static int openOrCreate(const QString& dir, const QString& path, const Identity* identity, bool create);
    void readHeader();
    bool lock(int byte, short type, bool wait);
    void unlock(int byte);
    // Calls `each` for whole records in [from, to); stops at the first torn
    // or missing one, or when `each` answers false. Answers the end of the
    // last record passed.
    uint64_t scan(uint64_t from, uint64_t to, const std::function<bool(uint64_t, const char*, uint32_t)>& each);
    // What lies at `end`, where scan() stopped before `size`: a torn tail
    // (nullopt) or damage.
    std::optional<Damage> classify(uint64_t end, uint64_t size);
    // The first offset after `from` where a valid record frame starts, or `to`.
    uint64_t nextFrame(uint64_t from, uint64_t to);
    uint64_t readDelivered();
    // The key of this file's chain (in its header, made when missing).
    QByteArray chainKey();
    // Under the append lock: the hash it reuses is the file's.
    QByteArray chainStep(const QByteArray& key, const QByteArray& chain, const char* payload, uint32_t size);

    int fd_ = -1;
    QString path_;
    Identity identity_;
    QByteArray id_;
    uint64_t end_ = 0;  // end of the last whole record, as last seen under the append lock
    uint64_t punched_ = 4096;  // delivered bytes below this were given back
    std::mutex mutex_;         // end_, punched_ and the count below
    uint64_t countFrom_ = 0, countEnd_ = 0;
    std::atomic<uint64_t> syncedTo_{0};  // bytes below are on disk
    std::atomic<int64_t> lockAttempts_{0};
    std::mutex waitMutex_;
    std::condition_variable waitWake_;
    bool stopWaiting_ = false;  // guarded by waitMutex_
    Counts counted_;
    std::mutex keyMutex_;
    QByteArray key_;
    std::unique_ptr<QCryptographicHash> chainHash_;  // guarded by mutex_
};

} // namespace tallyquill::spool
