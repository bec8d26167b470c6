#pragma once

// Moves the records of one spool into the database, in their order, one
// transaction per batch. Each transaction also moves the spool's mark in the
// bookkeeping table tallyquill_delivered (spool identifier, offset delivered
// to), so a commit whose outcome was lost with the connection is recognised
// by the mark when the next connection reads it: a batch is never sent twice.

#include "spool/SpoolFile.h"

#include <QString>

#include <cstddef>
#include <memory>

namespace tallyquill::spool {

constexpr size_t kBatchRows = 500;

class Deliverer {
public:
    explicit Deliverer(QString dsn);
    ~Deliverer();
    Deliverer(const Deliverer&) = delete;
    Deliverer& operator=(const Deliverer&) = delete;

    void setCredentials(const QString& login, const QString& password);
    // Commits the next batch of `file`, whose delivery lock the caller holds,
    // and moves the file's delivered mark. Answers the number of records
    // committed: 0 when none wait. Throws DatabaseError or SpoolError; the
    // records then stay, and the connection is dropped so that the next call
    // starts by reading the database's mark.
    size_t deliverBatch(SpoolFile& file, size_t maxRows = kBatchRows);
    // What was set aside since the last call: a record that the database
    // refuses for its data (SQLSTATE class 22 or 23) is written to the
    // spool's .rejected file and passed over, so that it cannot hold up the
    // records behind it. Also a database mark that was not obeyed.
    QString takeRejection();
    // Likewise for damaged bytes (no record, no torn tail) in front of
    // records: they go to the spool's .damaged file, and delivery resumes at
    // the next valid record.
    QString takeDamage();
    // Deletes the bookkeeping row of a spool file that was removed.
    void forget(const QByteArray& spoolId) noexcept;
    void disconnect() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The bookkeeping row beside a spool's mark that holds the file's chain value
// at that mark (its id in capitals), by which a mark ahead of the file's own
// is known for one the file set.
QByteArray ProofRowId(const QByteArray& spoolId);

// Whether a table name is one the writer makes: an AppID and "_logs".
bool IsLogTableName(const QString& table);

} // namespace tallyquill::spool
