#pragma once

// Seals over closed days: the canonical digest of one stored date's rows,
// the one-way chain of sealing keys, and the seal record that links each day
// to the one sealed before it. Qt Core only; where the rows come from and
// where the seals are kept is the service's business.

#include "core/Error.h"
#include "core/LogRecord.h"
#include "core/Sha256.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallyquill::seal {

// SHA-256 over one day's rows, fed in canonical order: ascending by the
// seven columns in table order (log_AppID ... log_Data), each compared as
// UTF-8 bytes. Each row adds its seven values in table order, each as a
// 4-byte big-endian length and the bytes. The char columns lose the blanks
// that pad them (PostgreSQL hands them back padded, SQLite as inserted, and
// both compare them without); log_Data is taken exactly as stored.
// A row out of that order throws: the digest would depend on the database.
class DayDigest {
public:
    DayDigest();
    void add(const LogRecord& stored);
    // The same from UTF-8 values in table order (the fast reader's form).
    void add(const std::array<std::string_view, 7>& tableOrder);
    int64_t rows() const { return rows_; }
    QByteArray finish();  // 32 raw bytes

private:
    Sha256 hash_;
    std::string row_, last_;  // this row's and the previous row's encoding
    std::array<size_t, 7> at_{}, lastAt_{};  // where each value starts in them
    int64_t rows_ = 0;
};

// A day's rows kept as they come, in any order, and digested in DayDigest's
// order: sorting here costs a fraction of what the databases' sort of seven
// text columns costs. Holds at most `limitBytes` of values; past that add()
// answers false, keeps nothing more, and the day is read again in the
// database's order.
class DayRows {
public:
    static constexpr size_t kDefaultLimit = size_t(64) << 20;
    explicit DayRows(size_t limitBytes = kDefaultLimit) : limit_(limitBytes) {}
    bool add(const std::array<std::string_view, 7>& tableOrder);
    int64_t rows() const { return int64_t(rows_.size()); }
    size_t bytes() const { return bytes_.size() + rows_.size() * sizeof(Row); }
    QByteArray digest();  // DayDigest's of the rows added
    // Forgets the rows, keeping up to `keepBytes` of memory for the next day.
    void clear(size_t limitBytes, size_t keepBytes);

private:
    struct Row {
        // The first bytes of the row in an encoding whose byte order is the
        // rows' order, the day's date left out: most comparisons end here.
        std::array<uint64_t, 3> key;
        size_t at;  // into bytes_
        std::array<uint32_t, 7> size;
    };
    std::string bytes_;
    std::vector<Row> rows_;
    std::string date_;        // of the first row
    bool oneDate_ = true;     // every row's; else the keys are not used
    size_t limit_;
    bool over_ = false;
};

// What DayDigest throws for a row out of its order.
struct OutOfOrder : Failure {
    OutOfOrder()
        : Failure(ErrorCategory::Internal, "The database handed a day's rows out of byte order, so their digest "
                                           "would not be the canonical one")
    {
    }
};

// The ORDER BY that hands a day's rows out in DayDigest's order, for a
// database whose byte collation is spelt `collate` (" COLLATE \"C\"" on
// PostgreSQL, " COLLATE BINARY" on SQLite). `trimChar` wraps the char
// columns in rtrim(), for a database that keeps their trailing blanks.
QString CanonicalOrder(const QString& collate, bool trimChar);

// The key chain. Key 0 comes from the seed; key n+1 from key n alone, so
// whoever holds key n can make keys n, n+1, ... but none before it.
QByteArray FirstKey(const QByteArray& seed);
QByteArray NextKey(const QByteArray& key);  // SHA-256("tallyquill seal key" + key)
QByteArray KeyOfEpoch(const QByteArray& seed, int64_t epoch);

// One link of a table's chain. Binary fields are raw bytes (32 each; an
// empty `previous` starts the chain, an empty `replaces` is a first seal).
struct SealRecord {
    QString table, day;  // day: stored date "yyyymmdd"
    int64_t rows = 0;
    QByteArray digest, previous;
    int64_t epoch = 0;
    QString sealedAt;  // ISO 8601, UTC
    QString reason;    // why a day was sealed again; empty otherwise
    QByteArray replaces, mac;

    // What the MAC covers: a version tag, then every field but the MAC, each
    // length-prefixed, so that no two records share an encoding.
    QByteArray macInput() const;
    // The chain hash: SHA-256 over the MAC input and the MAC.
    QByteArray hash() const;
};

QByteArray Mac(const QByteArray& key, const SealRecord& record);
// Whether the record's MAC is the one its own epoch's key makes (compared in
// constant time).
bool MacValid(const QByteArray& epochKey, const SealRecord& record);

// The keys of the epochs a verifier asks for, walked forward from the seed
// and restarted only when asked for an earlier one.
class EpochKeys {
public:
    explicit EpochKeys(QByteArray seed);
    QByteArray at(int64_t epoch);

private:
    QByteArray seed_, key_;
    int64_t epoch_ = -1;
};

// Lower-case hex and back; FromHex answers empty for anything else than an
// even number of hex digits.
QString Hex(const QByteArray& raw);
QByteArray FromHex(const QString& hex);

} // namespace tallyquill::seal
