#include "spool/SpoolDelivery.h"

#include "platform/FaultPoint.h"
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

using odbc::check;
using odbc::Handle;

SQLWCHAR* wide(const QString& s)
{
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(reinterpret_cast<const char16_t*>(s.utf16())));
}

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
    Handle stmt;
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
                check(SQLBindParameter(stmt.get(), SQLUSMALLINT(r * kColumns + c + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                                       SQL_WVARCHAR, width[c], 0, &buffer[c][r * (width[c] + 1)],
                                       SQLLEN((width[c] + 1) * sizeof(SQLWCHAR)), &length[c][r]),
                      SQL_HANDLE_STMT, stmt.get(), "SQLBindParameter");
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
        check(SQLExecute(stmt.get()), SQL_HANDLE_STMT, stmt.get(), "SQLExecute");
        SQLFreeStmt(stmt.get(), SQL_CLOSE);
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
    Handle env, dbc;
    bool connected = false;
    bool sqlite = false;
    bool manualCommit = false;
    QString table;                  // made on this connection
    QByteArray markFor;             // the spool whose mark below is the database's
    uint64_t mark = 0;
    QByteArray chain;               // the file's chain value at `mark`
    std::map<size_t, std::unique_ptr<Insert>> inserts;
    // The mark's move, prepared once per connection.
    struct MarkMove {
        Handle stmt;
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
        if (!env) {
            env = Handle(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
            check(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
                  SQL_HANDLE_ENV, env.get(), "SQLSetEnvAttr");
        }
        dbc = Handle(SQL_HANDLE_DBC, env.get());
        // A server that does not answer must not hold the delivery for long.
        SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
        // The three values go to the driver apart, never parsed as attributes.
        check(SQLConnectW(dbc.get(), wide(dsn), SQL_NTS, login.isEmpty() ? nullptr : wide(login),
                          login.isEmpty() ? 0 : SQL_NTS, password.isEmpty() ? nullptr : wide(password),
                          password.isEmpty() ? 0 : SQL_NTS),
              SQL_HANDLE_DBC, dbc.get(), "SQLConnect");
        connected = true;
        SQLWCHAR name[64] = {};
        SQLSMALLINT bytes = 0;
        check(SQLGetInfoW(dbc.get(), SQL_DBMS_NAME, name, sizeof(name), &bytes), SQL_HANDLE_DBC, dbc.get(),
              "SQLGetInfo");
        sqlite = odbc::Dialect::ofDbms(QString::fromUtf16(reinterpret_cast<const char16_t*>(name))).isSqlite();
        if (sqlite && isPlainDsnName(dsn)) {
            // The SQLite driver waits for another writer's lock as long as its
            // Timeout says (twice, in fact), and only a connect string can
            // shorten it: wait briefly, then back off and try again. Its
            // other settings come from the data source; it takes no login.
            SQLDisconnect(dbc.get());
            connected = false;
            const QString cs = QStringLiteral("DSN=") + dsn + QLatin1Char(';')
                               + odbc::Dialect::sqlite().lockWaitAttribute() + QStringLiteral("=500;");
            SQLSMALLINT outLength = 0;
            check(SQLDriverConnectW(dbc.get(), nullptr, wide(cs), SQL_NTS, nullptr, 0, &outLength,
                                    SQL_DRIVER_NOPROMPT),
                  SQL_HANDLE_DBC, dbc.get(), "SQLDriverConnect");
            connected = true;
        }
    }

    // A name that ODBC accepts for a data source cannot carry another
    // attribute into a connect string.
    static bool isPlainDsnName(const QString& name)
    {
        for (QChar c : name)
            if (c.unicode() < 0x20 || QStringLiteral("[]{}(),;?*=!@\\").contains(c))
                return false;
        return !name.isEmpty();
    }

    void disconnect() noexcept
    {
        inserts.clear();
        markMove.reset();
        proofMove.reset();
        if (connected) {
            if (manualCommit)
                SQLEndTran(SQL_HANDLE_DBC, dbc.get(), SQL_ROLLBACK);
            SQLDisconnect(dbc.get());
        }
        dbc.reset();
        connected = false;
        manualCommit = false;
        table.clear();
        markFor.clear();
    }

    Handle statement() { return Handle(SQL_HANDLE_STMT, dbc.get()); }

    void execute(const QString& sql)
    {
        Handle s = statement();
        check(SQLExecDirectW(s.get(), wide(sql), SQL_NTS), SQL_HANDLE_STMT, s.get(), "SQLExecDirect");
    }

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

    void setManualCommit(bool on)
    {
        if (sqlite || manualCommit == on)
            return;
        check(SQLSetConnectAttr(dbc.get(), SQL_ATTR_AUTOCOMMIT,
                                reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_OFF : SQL_AUTOCOMMIT_ON), 0),
              SQL_HANDLE_DBC, dbc.get(), "SQLSetConnectAttr");
        manualCommit = on;
    }

    // Runs `sql` with the spool id and up to two offsets bound, in the order
    // they appear: a, the id, b.
    Handle run(const QString& sql, const QByteArray& id, std::optional<int64_t> a, std::optional<int64_t> b = {})
    {
        Handle s = statement();
        check(SQLPrepareW(s.get(), wide(sql), SQL_NTS), SQL_HANDLE_STMT, s.get(), "SQLPrepare");
        SQLUSMALLINT n = 0;
        int64_t values[2] = {a.value_or(0), b.value_or(0)};
        auto bindOffset = [&](int64_t& v) {
            check(SQLBindParameter(s.get(), ++n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &v, 0, nullptr),
                  SQL_HANDLE_STMT, s.get(), "SQLBindParameter");
        };
        if (a)
            bindOffset(values[0]);
        QByteArray idText = id;
        SQLLEN idLength = idText.size();
        check(SQLBindParameter(s.get(), ++n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, SQLULEN(idText.size()), 0,
                               idText.data(), idLength, &idLength),
              SQL_HANDLE_STMT, s.get(), "SQLBindParameter");
        if (b)
            bindOffset(values[1]);
        check(SQLExecute(s.get()), SQL_HANDLE_STMT, s.get(), "SQLExecute");
        return s;
    }

    SQLLEN changed(const Handle& s)
    {
        SQLLEN rows = 0;
        check(SQLRowCount(s.get(), &rows), SQL_HANDLE_STMT, s.get(), "SQLRowCount");
        return rows;
    }

    std::optional<uint64_t> readMark(const QByteArray& id)
    {
        Handle s = run(QStringLiteral("SELECT delivered_to FROM tallyquill_delivered WHERE spool_id = ?"), id,
                       std::nullopt);
        const SQLRETURN rc = SQLFetch(s.get());
        if (rc == SQL_NO_DATA)
            return std::nullopt;
        check(rc, SQL_HANDLE_STMT, s.get(), "SQLFetch");
        char text[32] = {};
        SQLLEN ind = 0;
        check(SQLGetData(s.get(), 1, SQL_C_CHAR, text, sizeof text, &ind), SQL_HANDLE_STMT, s.get(), "SQLGetData");
        bool ok = false;
        const qulonglong v = QByteArray(text).trimmed().toULongLong(&ok);
        if (!ok)
            throw DatabaseError("HY000", 0, "tallyquill_delivered holds a mark that is no number");
        return v;
    }

    // Brings the spool's mark and the database's into line; runs once per
    // connection, so also after every failure.
    void settleMark(SpoolFile& file)
    {
        if (markFor == file.id())
            return;
        setManualCommit(false);
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
        if (!exists || changed(run(update, proofId, value)) == 0)
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
            ins->stmt = statement();
            ins->rows = rows;
            check(SQLPrepareW(ins->stmt.get(), wide(insertSql(table, rows)), SQL_NTS), SQL_HANDLE_STMT,
                  ins->stmt.get(), "SQLPrepare");
            slot = std::move(ins);
        }
        return *slot;
    }

    // UPDATE of one bookkeeping row; `guarded` only where it stands at `from`.
    std::unique_ptr<MarkMove> prepareMarkMove(bool guarded)
    {
        auto m = std::make_unique<MarkMove>();
        m->stmt = statement();
        const SQLHSTMT h = m->stmt.get();
        const QString sql = QStringLiteral("UPDATE tallyquill_delivered SET delivered_to = ? WHERE spool_id = ?")
                            + (guarded ? QStringLiteral(" AND delivered_to = ?") : QString());
        check(SQLPrepareW(h, wide(sql), SQL_NTS), SQL_HANDLE_STMT, h, "SQLPrepare");
        check(SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &m->to, 0, nullptr),
              SQL_HANDLE_STMT, h, "SQLBindParameter");
        check(SQLBindParameter(h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 32, 0, m->id, 32, &m->idLength),
              SQL_HANDLE_STMT, h, "SQLBindParameter");
        if (guarded)
            check(SQLBindParameter(h, 3, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &m->from, 0, nullptr),
                  SQL_HANDLE_STMT, h, "SQLBindParameter");
        return m;
    }

    // One transaction: the mark moves from the batch's start to its end, and
    // only if it stood at the start; then the rows. Answers false when the
    // mark stood elsewhere (nothing was written).
    bool commit(SpoolFile& file, const SpoolFile::Batch& batch, bool insertRows = true)
    {
        setManualCommit(true);
        if (sqlite)
            execute(odbc::Dialect::sqlite().writeLockBegin());
        if (!markMove)
            markMove = prepareMarkMove(true);
        markMove->to = int64_t(batch.end);
        markMove->from = int64_t(batch.start);
        std::copy_n(file.id().constData(), 32, markMove->id);
        check(SQLExecute(markMove->stmt.get()), SQL_HANDLE_STMT, markMove->stmt.get(), "SQLExecute");
        const SQLLEN moved = changed(markMove->stmt);
        SQLFreeStmt(markMove->stmt.get(), SQL_CLOSE);
        if (moved != 1) {
            rollback();
            return false;
        }
        if (!proofMove)
            proofMove = prepareMarkMove(false);
        proofMove->to = SpoolFile::Proof(batch.chain);
        const QByteArray proofId = ProofRowId(file.id());
        std::copy_n(proofId.constData(), 32, proofMove->id);
        check(SQLExecute(proofMove->stmt.get()), SQL_HANDLE_STMT, proofMove->stmt.get(), "SQLExecute");
        const SQLLEN proved = changed(proofMove->stmt);
        SQLFreeStmt(proofMove->stmt.get(), SQL_CLOSE);
        if (proved != 1)
            storeProof(proofId, proofMove->to, false);
        if (insertRows)
            insertFor(batch.size()).run(batch);
        if (sqlite)
            execute(QStringLiteral("COMMIT"));
        else
            check(SQLEndTran(SQL_HANDLE_DBC, dbc.get(), SQL_COMMIT), SQL_HANDLE_DBC, dbc.get(), "SQLEndTran");
        return true;
    }

    void rollback() noexcept
    {
        if (sqlite)
            tryExecute(QStringLiteral("ROLLBACK"));
        else
            SQLEndTran(SQL_HANDLE_DBC, dbc.get(), SQL_ROLLBACK);
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
        if (!d->connected)
            d->connect();
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
                d->rollback();
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
        if (!d->connected)
            d->connect();
        d->setManualCommit(false);
        for (const QByteArray& id : {spoolId, ProofRowId(spoolId)})
            d->run(QStringLiteral("DELETE FROM tallyquill_delivered WHERE spool_id = ?"), id, std::nullopt);
    } catch (const std::exception&) {
        // A row left behind costs a few bytes and nothing else.
        d->disconnect();
    }
}

} // namespace tallyquill::spool
