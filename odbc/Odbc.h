#pragma once

// A small RAII layer over unixODBC's wide (UTF-16) API. Every failing call
// becomes a tallyquill::DatabaseError carrying the driver's diagnostic record.

#include <sql.h>
#include <sqlext.h>

#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "odbc/Dialect.h"
#include "tallyquill/error.h"

namespace tallyquill::odbc {

// A call the database never saw because the caller got it wrong: no current
// row, a column the result does not have, a position no longer kept. Kept
// apart from DatabaseError, which only the data source raises.
class UsageError : public Error {
public:
    using Error::Error;
};

class Watchdog;
struct Session;

// Throws DatabaseError for a failed return code, with the handle's first
// diagnostic record; does nothing for SQL_SUCCESS(_WITH_INFO). A call that
// the session's watchdog cut short is reported as a timeout.
void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* what,
           const Session* session = nullptr);

// Throws tallyquill::Error unless `name` can name a data source: not empty,
// at most 32 characters, none of []{}(),;?*=!@\ nor a control character.
void checkDataSourceName(const QString& name);

// One ODBC handle of any type, freed with its owner.
class Handle {
public:
    Handle() = default;
    Handle(SQLSMALLINT type, SQLHANDLE parent);
    ~Handle() { reset(); }
    Handle(Handle&& o) noexcept : type_(o.type_), h_(o.h_) { o.h_ = SQL_NULL_HANDLE; }
    Handle& operator=(Handle&& o) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    SQLHANDLE get() const { return h_; }
    SQLSMALLINT type() const { return type_; }
    explicit operator bool() const { return h_ != SQL_NULL_HANDLE; }
    void reset();
    // Forgets the handle without freeing it (its parent freed it already).
    void release() { h_ = SQL_NULL_HANDLE; }

private:
    SQLSMALLINT type_ = 0;
    SQLHANDLE h_ = SQL_NULL_HANDLE;
};

class ResultSet;
class Statement;

// One connected period of a connection. Disconnecting frees the statements
// made in it, so a statement or result set that outlives it must not free
// its handle again.
struct Session {
    Session();
    ~Session();
    bool alive = true;
    // Seconds a statement may take (0: no limit), and the watchdog that
    // closes the socket of a server that stops answering.
    int queryTimeout = 0;
    std::unique_ptr<Watchdog> watchdog;
    bool timedOut() const;
    // The watchdog's limit in seconds (0: none).
    int watchdogSeconds() const;
};

// Marks a call that may wait for the server: the session's watchdog cuts it
// short when it outlasts the query timeout.
class ServerCall {
public:
    explicit ServerCall(const Session* session);
    ~ServerCall();
    ServerCall(const ServerCall&) = delete;
    ServerCall& operator=(const ServerCall&) = delete;

private:
    Watchdog* watchdog_;
};

// A statement handle that knows whether its connection still owns it.
class StatementHandle {
public:
    StatementHandle() = default;
    StatementHandle(SQLHDBC dbc, std::shared_ptr<Session> session);
    ~StatementHandle() { reset(); }
    StatementHandle(StatementHandle&&) noexcept = default;
    StatementHandle& operator=(StatementHandle&& o) noexcept;

    SQLHSTMT get() const { return h_.get(); }
    explicit operator bool() const { return bool(h_); }
    bool live() const { return h_ && session_ && session_->alive; }
    const Session* session() const { return session_.get(); }
    // check() for a call on this statement.
    void check(SQLRETURN rc, const char* what) const;
    void reset();

private:
    Handle h_;
    std::shared_ptr<Session> session_;
};

// Seconds the connection may take to log in and a statement to run; 0 is no
// limit. A data source may set its own with LoginTimeout= and QueryTimeout=.
constexpr int kDefaultLoginTimeout = 15;
constexpr int kDefaultQueryTimeout = 15;
// What a driver does with narrow (SQL_C_CHAR) text.
struct TextCapabilities {
    bool utf8 = false;           // values arrive as UTF-8, whatever they hold
    bool rereadInBlock = false;  // SQLGetData reaches any row of a fetched block
};

// A connection to one data source. Created closed; open() connects without
// ever prompting.
class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects to the data source `dsn` with the login and password passed
    // apart, never parsed: an empty one leaves the data source's own setting.
    // Throws tallyquill::Error for a name that cannot name a data source or
    // a login or password holding NUL, and DatabaseError when the driver fails.
    // On SQLite, sqliteLockWaitMs >= 0 replaces the data source's Timeout:
    // how long a statement waits for another writer's lock.
    void open(const QString& dsn, const QString& login, const QString& password, int sqliteLockWaitMs = -1);
    bool isOpen() const { return open_; }
    // Disconnects; the statements made on it can no longer run.
    void close();
    // True when the driver reports the connection as gone.
    bool isDead() const;

    // Runs a statement; it has taken effect when this returns.
    void execute(const QString& sql);
    // The same for a statement that may rightly run for minutes (building an
    // index over the whole table): no query timeout and no watchdog.
    void executeUnbounded(const QString& sql);
    std::unique_ptr<Statement> prepare(const QString& sql);
    // A forward-only, read-only result set on a query.
    std::unique_ptr<ResultSet> query(const QString& sql);
    // Asks the driver to stop the query() that another thread is running on
    // this connection (SQLCancel), until it has read its first row: that
    // query then fails, or one that has just ended loses its rows. For a
    // caller that gives the query up; safe from any thread; does nothing
    // while no query runs.
    void cancel();

    SQLHDBC handle() const { return dbc_.get(); }
    const Session* session() const { return session_.get(); }
    // The database product, as the driver names it ("SQLite", "PostgreSQL").
    QString dbmsName() const;
    // A text the driver reports through SQLGetInfo (SQL_DRIVER_NAME, ...).
    QString info(SQLUSMALLINT type) const;
    // Catalog results: SQLTables for plain tables (TABLE_NAME is column 2,
    // counting from 0), SQLStatistics for the indexes of one table
    // (INDEX_NAME 5, ORDINAL_POSITION 7, COLUMN_NAME 8).
    std::unique_ptr<ResultSet> tables();
    std::unique_ptr<ResultSet> indexes(const QString& table);
    // The name of an index of `table` whose first columns are `columns`, in
    // that order (names compared without case); empty when there is none.
    QString indexLedBy(const QString& table, const std::vector<QString>& columns);
    // Sends the dialect's pagedReaderSetup(), if any. A refusal only makes
    // reads slower and is passed over; a lost connection is thrown.
    void setUpPagedReads();
    bool isSqlite() const { return dbmsName().startsWith(QLatin1String("SQLite"), Qt::CaseInsensitive); }
    const Dialect& dialect() const { return Dialect::ofDbms(dbmsName()); }
    // Whether the server reads a backslash in a string literal as an escape:
    // PostgreSQL with standard_conforming_strings off (set for a role, a
    // database or in the DSN's connect settings). Asked once per connection.
    bool backslashEscapes();
    // Asked of the driver once per connection (Utf8Rows.cpp).
    const TextCapabilities& textCapabilities();

private:
    friend class BoundStatement;
    friend class Utf8Rows;
    void disconnect();
    StatementHandle newStatement();

    std::shared_ptr<Handle> env_;
    Handle dbc_;
    bool open_ = false;
    QString dbms_;
    std::shared_ptr<Session> session_;
    std::optional<bool> backslashEscapes_;
    std::optional<TextCapabilities> text_;
    std::mutex runningLock_;  // guards running_ against its statement's end
    SQLHSTMT running_ = SQL_NULL_HSTMT;
};

// A prepared statement whose parameters are bound by position (1-based) to
// the caller's buffers, once, and filled before each run: for a statement
// run many times with many values. The buffers outlive the statement.
class BoundStatement {
public:
    BoundStatement(Connection& conn, const QString& sql);
    // UTF-16 text of up to `units` units, in a buffer of units + 1;
    // `length` holds the value's length in bytes.
    void bindText(SQLUSMALLINT position, SQLWCHAR* buffer, size_t units, SQLLEN* length);
    // Narrow text of up to `bytes` bytes.
    void bindBytes(SQLUSMALLINT position, char* buffer, size_t bytes, SQLLEN* length);
    void bindInteger(SQLUSMALLINT position, int64_t* value);
    // Answers the number of rows it changed (-1 when the driver cannot tell).
    int64_t execute();
    // Runs a query: its first row's first column, none without a row.
    std::optional<int64_t> queryInteger();

private:
    friend class Statement;
    void requireLive() const;
    StatementHandle stmt_;
};

// A prepared statement with text parameters bound by position (1-based).
class Statement {
public:
    Statement(Connection& conn, const QString& sql);
    void setParameters(std::vector<QString> values);
    // Answers the number of rows it changed (-1 when the driver cannot tell).
    int64_t execute();

private:
    void bindAll();

    // One buffer per parameter, bound once and rebound only when a value
    // outgrows it: some drivers prepare the statement again after a bind.
    struct Param {
        std::vector<SQLWCHAR> buffer;
        SQLLEN length = 0;
        bool bound = false;
    };
    BoundStatement stmt_;
    std::vector<QString> values_;
    std::vector<Param> params_;
};

// Rows of a query read one at a time. Columns are read by name (without
// regard to case) or by position from 0; NULL reads as empty text.
class ResultSet {
public:
    explicit ResultSet(StatementHandle stmt);
    ~ResultSet();

    bool eof() const { return !hasRow_; }
    void next();
    QString text(int column) const;
    QString text(const QString& column) const;
    int32_t integer(int column) const;
    int32_t integer(const QString& column) const;
    int columnCount() const { return int(names_.size()); }
    // The position of a named column (without regard to case), for loops
    // that read many rows.
    int column(const QString& name) const { return indexOf(name); }

    // 1-based number of the current row (one past the last row at the end).
    int32_t position() const { return position_; }
    // Keeps the rows read from the current one on, so that setPosition() can
    // come back to it; rows before the latest mark are let go.
    void markReplayPoint();
    // Moves back to a position at or after the latest mark; the rows after it
    // are delivered again, whatever the driver's cursor can do.
    void setPosition(int32_t position);
    // Reads the rows from the current one to the end and frees the
    // statement, so that the connection can run others; the rows are then
    // delivered, and returned to, from memory.
    void setAside();

    void close();
    bool isOpen() const { return bool(stmt_); }

private:
    friend class Connection;
    // Takes the statement only: query() executes it and reads the first row
    // while a cancel() may still reach it, and the handle outlives both.
    struct Unread {};
    ResultSet(StatementHandle stmt, Unread);
    void start();  // the column names and the first row

    using Row = std::vector<QString>;
    bool fetchFromDriver(Row& row);
    int indexOf(const QString& column) const;

    QString readText(SQLUSMALLINT column);

    StatementHandle stmt_;
    QStringList names_;
    std::vector<SQLWCHAR> chunk_;   // first read of every value
    Row row_;
    bool hasRow_ = false;
    bool driverDone_ = false;
    int32_t position_ = 0;
    // Rows already read from the driver, kept so that a restored position can
    // deliver them again. Holds rows from historyBase_+1 onward; only rows
    // after the earliest position someone may go back to are kept.
    std::deque<Row> history_;
    int32_t historyBase_ = 0;
    int32_t replayEnd_ = 0;     // last position read from the driver
    bool recording_ = false;
};

// A transaction, rolled back unless committed. SQLite takes the write lock
// up front with BEGIN IMMEDIATE, so that it never fails half way for another
// writer (and because it cannot stream a result inside the driver's own
// transactions); other writers wait on their busy timeout. Elsewhere the
// connection leaves autocommit until the end.
class Transaction {
public:
    // Write: the connection's own isolation. Snapshot: rows are read and
    // then only those rows may be changed, however other connections write
    // meanwhile; PostgreSQL reads one REPEATABLE READ snapshot, and its
    // inserts never wait.
    enum class Kind { Write, Snapshot };
    Transaction(Connection& conn, Kind kind = Kind::Write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();
    void rollback() noexcept;

private:
    void end(SQLSMALLINT completion);
    Connection& conn_;
    bool sqlite_;
    bool open_ = false;
};

class SnapshotTransaction : public Transaction {
public:
    explicit SnapshotTransaction(Connection& conn) : Transaction(conn, Kind::Snapshot) {}
};

// Registers or refreshes a per-user data source ($ODBCINI or ~/.odbc.ini,
// created readable by its owner only). Throws tallyquill::Error, before
// writing anything, for a bad name or a control character in any value.
void writeUserDsn(const QString& name, const QString& driver,
                  const std::vector<std::pair<QString, QString>>& attributes);

// Whether a database error means the connection is gone.
bool isConnectionLost(const QString& sqlstate);
// Whether it says the table does not exist (SQLSTATE 42S02 from ODBC, 42P01
// from PostgreSQL, or the SQLite driver's own text with the general HY000),
// or exists already.
bool isMissingTable(const DatabaseError& e);
bool isExistingTable(const DatabaseError& e);
// Whether the database refused the statement for the values it carried
// (SQLSTATE class 22 or 23, or the SQLite driver's general HY000 with
// SQLITE_CONSTRAINT as native number or "constraint failed" in its text):
// sent again, it fails again.
bool isRefusedData(const DatabaseError& e);

} // namespace tallyquill::odbc
