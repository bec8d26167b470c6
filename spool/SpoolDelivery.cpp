#include "spool/SpoolDelivery.h"

#include "platform/FaultPoint.h"
#include "core/Error.h"
#include "core/LogRecord.h"
#include "core/LogTable.h"
#include "core/Schema.h"
#include "odbc/Odbc.h"

#include <array>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace tallyquill::spool {

namespace {

// The SQLite driver waits for another writer's lock as long as its Timeout
// says (twice, in fact): wait briefly, then back off and try again.
constexpr int kSqliteLockWaitMs = 500;

constexpr int kColumns = 7;
// The log table's column sizes: buffers start there and grow for an older
// record that is longer (SQLite keeps what it is given).
constexpr std::array<size_t, kColumns> kWidths = [] {
    std::array<size_t, kColumns> widths{};
    for (int c = 0; c < kColumns; ++c)
        widths[c] = size_t(kLogColumns[c].width);
    return widths;
}();

QString insertSql(const QString& table, size_t rows) { return InsertSql(table, rows); }

// One multi-row INSERT, prepared once for its number of rows; its parameters
// are bound to column buffers that are rebound only when a value outgrows
// them. Measured here, one statement of many rows beats parameter arrays by
// about three times on both drivers, which execute arrays row by row.
struct Insert {
    std::unique_ptr<odbc::BoundStatement> stmt;
    size_t rows = 0;
    std::array<size_t, kColumns> width = kWidths;
    std::array<std::vector<SQLWCHAR>, kColumns> buffer;
    std::array<std::vector<SQLLEN>, kColumns> length;
    bool bound = false;

    void bind()
    {
        for (int c = 0; c < kColumns; ++c) {
            buffer[c].assign(rows * (width[c] + 1), 0);
            length[c].assign(rows, 0);
            for (size_t r = 0; r < rows; ++r)
                stmt->bindText(SQLUSMALLINT(r * kColumns + c + 1), &buffer[c][r * (width[c] + 1)], width[c],
                               &length[c][r]);
        }
        bound = true;
    }

    void run(const SpoolFile::Batch& batch)
    {
        for (int c = 0; c < kColumns; ++c)
            for (size_t r = 0; r < rows; ++r)
                if (batch.field(r, c).units > width[c]) {
                    width[c] = std::max(size_t(batch.field(r, c).units), 2 * width[c]);
                    bound = false;
                }
        if (!bound)
            bind();
        const char* data = batch.data.constData();
        for (int c = 0; c < kColumns; ++c)
            for (size_t r = 0; r < rows; ++r) {
                const SpoolFile::Field& f = batch.field(r, c);
                SQLWCHAR* out = &buffer[c][r * (width[c] + 1)];
                if (f.ascii) {
                    const char* in = data + f.offset;
                    for (uint32_t i = 0; i < f.bytes; ++i)
                        out[i] = SQLWCHAR(uint8_t(in[i]));
                } else {
                    const QString v = QString::fromUtf8(data + f.offset, qsizetype(f.bytes));
                    std::copy_n(reinterpret_cast<const SQLWCHAR*>(v.utf16()), std::min<size_t>(v.size(), width[c]),
                                out);
                }
                length[c][r] = SQLLEN(f.units * sizeof(SQLWCHAR));
            }
        stmt->execute();
    }
};

} // namespace

QByteArray ProofRowId(const QByteArray& spoolId) { return spoolId.toUpper(); }

bool IsLogTableName(const QString& table)
{
    return table.endsWith(QLatin1String("_logs")) && IsValidAppId(table.chopped(5));
}

struct Deliverer::Impl {
    QString dsn, login, password;
    // The data source's LoginTimeout= and QueryTimeout= hold here as for the
    // writer, and the watchdog bounds a server that stops answering.
    odbc::Connection conn;
    QString table;                  // made on this connection
    QByteArray markFor;             // the spool whose mark below is the database's
    uint64_t mark = 0;
    QByteArray chain;               // the file's chain value at `mark`
    std::map<size_t, std::unique_ptr<Insert>> inserts;
    // The mark's move, prepared once per connection.
    struct MarkMove {
        std::unique_ptr<odbc::BoundStatement> stmt;
        int64_t to = 0, from = 0;
        char id[33] = {};
        SQLLEN idLength = 32;
    };
    std::unique_ptr<MarkMove> markMove, proofMove;
    // A batch the database refused goes again one record per transaction,
    // up to here, so that only the records it refuses are set aside.
    uint64_t singleUntil = 0;
    QString rejection, damage;

    void connect()
    {
        // The three values go to the driver apart, never parsed as attributes.
        conn.open(dsn, login, password, kSqliteLockWaitMs);
    }

    void disconnect() noexcept
    {
        inserts.clear();
        markMove.reset();
        proofMove.reset();
        conn.close();
        table.clear();
        markFor.clear();
    }

    void execute(const QString& sql) { conn.execute(sql); }

    void tryExecute(const QString& sql) noexcept
    {
        try {
            execute(sql);
        } catch (const std::exception&) {
        }
    }

    // Only a "no such table" answer counts; any other failure (no right to
    // read, say) is left to the statements that follow. Outside a
    // transaction, so a failure aborts nothing. `name` is a checked name.
    bool isMissing(const QString& name)
    {
        try {
            execute(QStringLiteral("SELECT 1 FROM ") + name + QStringLiteral(" WHERE 1 = 0"));
            return false;
        } catch (const DatabaseError& e) {
            return odbc::isMissingTable(e);
        }
    }

    // Runs `sql` with the spool id and up to two offsets bound, in the order
    // they appear: a, the id, b. Answers the rows it changed.
    int64_t run(const QString& sql, const QByteArray& id, std::optional<int64_t> a, std::optional<int64_t> b = {})
    {
        odbc::BoundStatement s(conn, sql);
        SQLUSMALLINT n = 0;
        int64_t values[2] = {a.value_or(0), b.value_or(0)};
        if (a)
            s.bindInteger(++n, &values[0]);
        QByteArray idText = id;
        SQLLEN idLength = idText.size();
        s.bindBytes(++n, idText.data(), size_t(idText.size()), &idLength);
        if (b)
            s.bindInteger(++n, &values[1]);
        return s.execute();
    }

    std::optional<uint64_t> readMark(const QByteArray& id)
    {
        odbc::BoundStatement s(conn, QStringLiteral("SELECT delivered_to FROM tallyquill_delivered WHERE spool_id = ?"));
        QByteArray idText = id;
        SQLLEN idLength = idText.size();
        s.bindBytes(1, idText.data(), size_t(idText.size()), &idLength);
        const std::optional<int64_t> v = s.queryInteger();
        if (v && *v < 0)
            // Damaged data in our own table, not a refusal by the database.
            throw Failure(ErrorCategory::CorruptFile, "tallyquill_delivered holds a negative mark for this spool");
        return v ? std::optional<uint64_t>(uint64_t(*v)) : std::nullopt;
    }

    // Brings the spool's mark and the database's into line; runs once per
    // connection, so also after every failure.
    void settleMark(SpoolFile& file)
    {
        if (markFor == file.id())
            return;
        if (table != file.identity().table) {
            // Made only when missing: a login without the right to create
            // may still write to tables that exist. As the writer makes them;
            // another failure shows in the insert. The bookkeeping table's
            // failure (a locked database, say) is the reason to report.
            if (isMissing(file.identity().table)) {
                tryExecute(CreateTableSql(file.identity().table));
                tryExecute(CreateIndexSql(file.identity().table));
            }
            if (isMissing(QStringLiteral("tallyquill_delivered")))
                execute(QStringLiteral("CREATE TABLE IF NOT EXISTS tallyquill_delivered ("
                                       "spool_id char(32) not null primary key, delivered_to bigint not null)"));
            table = file.identity().table;
            inserts.clear();
        }
        const SpoolFile::Mark own = file.mark();
        uint64_t local = own.offset;
        QByteArray at = own.chain;
        const QByteArray proofId = ProofRowId(file.id());
        std::optional<uint64_t> remote = readMark(file.id());
        const std::optional<uint64_t> proof = readMark(proofId);
        if (!remote) {
            // Nobody can say whether the batch after the file's own mark
            // was committed; starting again from there could double it.
            if (local > SpoolFile::kFirstRecord && !file.read(local, 1).empty())
                throw SpoolError(("tallyquill_delivered holds no mark for the spool " + file.path()
                                  + ", which delivered up to offset " + QString::number(local)
                                  + " before: the records after it may be in the table already. Once checked, "
                                    "say where to go on from: INSERT INTO tallyquill_delivered "
                                    "(spool_id, delivered_to) VALUES ('"
                                  + QString::fromLatin1(file.id()) + "', " + QString::number(local) + ")")
                                     .toStdString());
            run(QStringLiteral("INSERT INTO tallyquill_delivered (delivered_to, spool_id) VALUES (?, ?)"), file.id(),
                int64_t(local));
            remote = local;
        }
        if (*remote > local) {
            // Obeyed only when it is the end of records this file handed out
            // (a commit whose answer was lost): then their chain value is the
            // one the same transaction stored.
            const std::optional<QByteArray> reached = file.chainTo(local, at, *remote);
            if (reached && proof && *proof == uint64_t(SpoolFile::Proof(*reached))) {
                file.setDelivered(*remote, *reached);
                local = *remote;
                at = *reached;
            } else {
                const QString what = QStringLiteral("The database marks spool ") + file.path()
                                     + QStringLiteral(" delivered to offset ") + QString::number(*remote)
                                     + QStringLiteral(", which is not a mark this file set (its own mark is ")
                                     + QString::number(local);
                if (!own.certain)
                    throw SpoolError((what + QStringLiteral(", and the newer of its two marks is damaged); nothing "
                                                            "was delivered. Once checked which records are in the "
                                                            "table, set delivered_to in tallyquill_delivered to the "
                                                            "offset to go on from"))
                                         .toStdString());
                // Restored from a backup, or moved by another login: what
                // the file holds after its own mark was not delivered by it.
                note(what + QStringLiteral("; restored from a copy, or changed by another login?); delivering from ")
                     + QString::number(local));
                run(QStringLiteral("UPDATE tallyquill_delivered SET delivered_to = ? WHERE spool_id = ?"),
                    file.id(), int64_t(local));
            }
        } else if (*remote < local) {
            // The database went back (restored?): the records it lost were
            // committed once and have left the spool; carry on from here.
            run(QStringLiteral("UPDATE tallyquill_delivered SET delivered_to = ? WHERE spool_id = ?"), file.id(),
                int64_t(local));
        }
        if (proof != uint64_t(SpoolFile::Proof(at)))
            storeProof(proofId, SpoolFile::Proof(at), proof.has_value());
        mark = local;
        chain = at;
        markFor = file.id();
    }

    void note(const QString& text)
    {
        rejection += (rejection.isEmpty() ? QString() : QStringLiteral("; ")) + text;
    }

    void storeProof(const QByteArray& proofId, int64_t value, bool exists)
    {
        const QString update = QStringLiteral("UPDATE tallyquill_delivered SET delivered_to = ? WHERE spool_id = ?");
        if (!exists || run(update, proofId, value) == 0)
            run(QStringLiteral("INSERT INTO tallyquill_delivered (delivered_to, spool_id) VALUES (?, ?)"), proofId,
                value);
    }

    Insert& insertFor(size_t rows)
    {
        auto& slot = inserts[rows];
        if (!slot) {
            if (inserts.size() > 8) {
                // Trickles of a few rows vary in size; keep the full batch.
                for (auto it = inserts.begin(); it != inserts.end();)
                    it = (it->first == kBatchRows || it->first == rows) ? std::next(it) : inserts.erase(it);
            }
            auto ins = std::make_unique<Insert>();
            ins->stmt = std::make_unique<odbc::BoundStatement>(conn, insertSql(table, rows));
            ins->rows = rows;
            slot = std::move(ins);
        }
        return *slot;
    }

    // UPDATE of one bookkeeping row; `guarded` only where it stands at `from`.
    std::unique_ptr<MarkMove> prepareMarkMove(bool guarded)
    {
        auto m = std::make_unique<MarkMove>();
        const QString sql = QStringLiteral("UPDATE tallyquill_delivered SET delivered_to = ? WHERE spool_id = ?")
                            + (guarded ? QStringLiteral(" AND delivered_to = ?") : QString());
        m->stmt = std::make_unique<odbc::BoundStatement>(conn, sql);
        m->stmt->bindInteger(1, &m->to);
        m->stmt->bindBytes(2, m->id, 32, &m->idLength);
        if (guarded)
            m->stmt->bindInteger(3, &m->from);
        return m;
    }

    // One transaction: the mark moves from the batch's start to its end, and
    // only if it stood at the start; then the rows. Answers false when the
    // mark stood elsewhere (nothing was written). Rolled back on any failure.
    bool commit(SpoolFile& file, const SpoolFile::Batch& batch, bool insertRows = true)
    {
        odbc::Transaction transaction(conn);
        if (!markMove)
            markMove = prepareMarkMove(true);
        markMove->to = int64_t(batch.end);
        markMove->from = int64_t(batch.start);
        std::copy_n(file.id().constData(), 32, markMove->id);
        if (markMove->stmt->execute() != 1)
            return false;
        if (!proofMove)
            proofMove = prepareMarkMove(false);
        proofMove->to = SpoolFile::Proof(batch.chain);
        const QByteArray proofId = ProofRowId(file.id());
        std::copy_n(proofId.constData(), 32, proofMove->id);
        if (proofMove->stmt->execute() != 1)
            storeProof(proofId, proofMove->to, false);
        if (insertRows)
            insertFor(batch.size()).run(batch);
        transaction.commit();
        return true;
    }
};

Deliverer::Deliverer(QString dsn) : d(std::make_unique<Impl>()) { d->dsn = std::move(dsn); }

Deliverer::~Deliverer() { d->disconnect(); }

void Deliverer::setCredentials(const QString& login, const QString& password)
{
    if (login == d->login && password == d->password)
        return;
    d->login = login;
    d->password = password;
    d->disconnect();
}

void Deliverer::disconnect() noexcept { d->disconnect(); }

size_t Deliverer::deliverBatch(SpoolFile& file, size_t maxRows)
{
    if (!IsLogTableName(file.identity().table))
        throw SpoolError(("The spool " + file.path() + " names no log table").toStdString());
    try {
        if (!d->conn.isOpen())
            d->connect();
        // Another process delivered since this one last did: its mark, not
        // ours, says where the records go on (ours may point into bytes
        // that were given back since).
        if (d->markFor == file.id() && file.delivered() != d->mark)
            d->markFor.clear();
        for (int attempt = 0;;) {
            d->settleMark(file);
            const size_t rows = d->mark < d->singleUntil ? 1 : std::min(maxRows, kBatchRows);
            const SpoolFile::Batch batch = file.read(d->mark, rows, d->chain);
            if (batch.empty()) {
                const std::optional<SpoolFile::Damage> damage = file.damageAt(d->mark);
                if (!damage)
                    return 0;
                // Set aside before the mark passes it; the file's mark moves
                // first, so that a kill before the database's leaves that one
                // behind, which the next connection brings up to it.
                file.setAsideDamage(*damage);
                file.setDelivered(damage->resume);
                SpoolFile::Batch skip;
                skip.start = damage->at;
                skip.end = damage->resume;
                // The chain begins again behind the damage, as the file's mark says.
                skip.chain = file.mark().chain;
                if (d->commit(file, skip, false)) {
                    d->mark = skip.end;
                    d->chain = skip.chain;
                } else {
                    d->markFor.clear();
                }
                d->damage = QStringLiteral("%1 damaged bytes at offset %2 of %3 (%4) were set aside in %5")
                                .arg(skip.end - skip.start)
                                .arg(skip.start)
                                .arg(file.path(), damage->reason, file.damagedPath());
                continue;
            }
            bool committed = false;
            try {
                committed = d->commit(file, batch);
            } catch (const DatabaseError& e) {
                // Data or constraint errors belong to a record and come back
                // however often it is sent; anything else is retried.
                if (!odbc::isRefusedData(e))
                    throw;
                if (batch.size() > 1) {
                    d->singleUntil = batch.end;
                    continue;
                }
                file.setAside(batch, QString::fromUtf8(e.what()));
                d->rejection = QStringLiteral("A record the database refused was set aside in ")
                               + file.rejectedPath() + QStringLiteral(": ") + QString::fromUtf8(e.what());
                committed = d->commit(file, batch, false);
            }
            if (committed) {
                d->mark = batch.end;
                d->chain = batch.chain;
                fault::point("spool-committed");
                file.setDelivered(batch.end, batch.chain);
                return batch.size();
            }
            // Someone else moved the mark: read it again, once.
            d->markFor.clear();
            if (attempt++ > 0)
                throw SpoolError(("The delivery mark of " + file.path() + " keeps moving under this deliverer")
                                     .toStdString());
        }
    } catch (...) {
        // Whatever broke, the commit's outcome is unknown: the next
        // connection reads the mark before it sends anything.
        d->disconnect();
        throw;
    }
}

QString Deliverer::takeRejection() { return std::exchange(d->rejection, QString()); }
QString Deliverer::takeDamage() { return std::exchange(d->damage, QString()); }

void Deliverer::forget(const QByteArray& spoolId) noexcept
{
    try {
        if (!d->conn.isOpen())
            d->connect();
        for (const QByteArray& id : {spoolId, ProofRowId(spoolId)})
            d->run(QStringLiteral("DELETE FROM tallyquill_delivered WHERE spool_id = ?"), id, std::nullopt);
    } catch (const std::exception&) {
        // A row left behind costs a few bytes and nothing else.
        d->disconnect();
    }
}

} // namespace tallyquill::spool
