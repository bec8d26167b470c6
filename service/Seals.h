#pragma once

// Seals in the database: the table tallyquill_seals beside the log tables,
// a day's digest as its rows stand now, sealing the closed days of a table
// with the key file's key, and verifying a table's chain. A table is named
// as the log table ("orders_logs"); case does not matter, its chain is kept
// under the lower-case name.

#include "core/Seal.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace tallyquill {
namespace odbc {
class Connection;
}

namespace seal {

inline constexpr QLatin1String kSealTable{"tallyquill_seals"};

// The name a table's chain is kept under.
QString ChainName(const QString& table);

// A day's rows as they stand: count and canonical digest, read streamed.
struct DayState {
    int64_t rows = 0;
    QByteArray digest;
};
// Holds up to `holdLimit` bytes of the day to sort it here; a larger day is
// sorted by the database.
DayState DigestDay(odbc::Connection& conn, const QString& table, const QString& day,
                   size_t holdLimit = DayRows::kDefaultLimit);
// The same for each of `days`, in their order, one sorted while the next is
// read.
std::vector<DayState> DigestDays(odbc::Connection& conn, const QString& table, const std::vector<QString>& days,
                                 size_t holdLimit = DayRows::kDefaultLimit);

// A table's links in chain order; none when there is no seal table yet.
std::vector<SealRecord> Chain(odbc::Connection& conn, const QString& table);

// The sealing key as the key file holds it: the key of the next epoch.
struct SealingKey {
    QByteArray key;
    int64_t epoch = 0;
};
QByteArray KeyFileText(const SealingKey& k);
// Throws tallyquill::Failure (CorruptFile) for anything else.
SealingKey ParseKeyFile(const QByteArray& text, const QString& path);

// The key file, locked against a second sealing run while it is open.
class KeyFile {
public:
    // Throws Failure: InputOutput when it cannot be read or locked.
    explicit KeyFile(const QString& path);
    ~KeyFile();
    KeyFile(const KeyFile&) = delete;
    KeyFile& operator=(const KeyFile&) = delete;

    const SealingKey& current() const { return key_; }
    // Replaces the file with the key `epochs` steps on; the old key is gone
    // from it when this returns. Throws Failure (InputOutput).
    void step(int64_t epochs = 1);
    const QString& path() const { return path_; }

private:
    QString path_;
    int lock_ = -1;
    SealingKey key_;
};

// A new seed and its key file at epoch 0; answers the seed. Refuses an
// existing file unless `replace`. Throws Failure.
QByteArray InitKeyFile(const QString& path, bool replace);

// Seals the days of `table` that hold rows, are after its last sealed day
// and no later than `lastClosedDay`, in date order, one link each. Answers
// the links made.
std::vector<SealRecord> SealClosedDays(odbc::Connection& conn, const QString& table, const QString& lastClosedDay,
                                       KeyFile& key);
// A new link for `day` that replaces its current one (or seals a day that had
// none), with the operator's reason.
SealRecord Reseal(odbc::Connection& conn, const QString& table, const QString& day, const QString& reason,
                  KeyFile& key);

// What a verifier knows of the keys: the seed (every MAC checked), only the
// key file's epoch (no seal may claim it or a later one), or nothing.
struct VerifyKeys {
    std::optional<QByteArray> seed;
    std::optional<int64_t> keyFileEpoch;
};

struct DayVerdict {
    enum Status { Intact, Archived, Changed, Missing, Forged, Broken, Cut };
    QString day;
    Status status = Intact;
    QString detail;
    int64_t sealedRows = -1, rows = 0;  // -1: no seal
    int links = 0;                      // seals of the day; more than one: resealed
    std::vector<SealRecord> history;    // the day's links, oldest first
};
QString StatusName(DayVerdict::Status s);

struct TableVerdict {
    QString table;
    std::vector<DayVerdict> days;  // by date
    QByteArray lastHash;
    QString lastSealedDay;
    bool macsChecked = false;
    bool intact() const;
};
TableVerdict VerifyTable(odbc::Connection& conn, const QString& table, const QString& lastClosedDay,
                         const VerifyKeys& keys);

} // namespace seal

// For the archive: the day's latest link, and whether the day's rows as they
// stand now are the ones it sealed.
std::optional<seal::SealRecord> CurrentSeal(odbc::Connection& conn, const QString& table, const QString& day);
bool DayMatches(odbc::Connection& conn, const QString& table, const QString& day, const seal::SealRecord& sealed);

} // namespace tallyquill
