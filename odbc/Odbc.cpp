#include "odbc/Odbc.h"

#include <odbcinst.h>

#include <mutex>

namespace tallyquill::odbc {

namespace {

SQLWCHAR* wide(const QString& s)
{
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(reinterpret_cast<const char16_t*>(s.utf16())));
}

QString fromWide(const SQLWCHAR* s, SQLLEN units)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(s), units);
}

std::shared_ptr<Handle> sharedEnvironment()
{
    static std::mutex lock;
    static std::weak_ptr<Handle> current;
    std::lock_guard guard(lock);
    if (auto env = current.lock())
        return env;
    auto env = std::make_shared<Handle>(SQL_HANDLE_ENV, SQLHANDLE(nullptr));
    check(SQLSetEnvAttr(env->get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          SQL_HANDLE_ENV, env->get(), "SQLSetEnvAttr");
    current = env;
    return env;
}

} // namespace

bool isConnectionLost(const QString& sqlstate)
{
    return sqlstate.startsWith(QLatin1String("08"));
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* what)
{
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA)
        return;
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[SQL_MAX_MESSAGE_LENGTH * 2] = {};
    SQLSMALLINT length = 0;
    QString sqlstate = QStringLiteral("HY000");
    QString text;
    if (handle != SQL_NULL_HANDLE
        && SQL_SUCCEEDED(SQLGetDiagRecW(handleType, handle, 1, state, &native, message,
                                        SQLSMALLINT(std::size(message)), &length))) {
        sqlstate = fromWide(state, 5);
        text = fromWide(message, std::min<SQLLEN>(length, SQLLEN(std::size(message)) - 1));
    } else {
        text = QStringLiteral("%1 failed with return code %2").arg(QLatin1String(what)).arg(rc);
    }
    bool lost = isConnectionLost(sqlstate);
    if (!lost && handleType == SQL_HANDLE_DBC && handle != SQL_NULL_HANDLE) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        if (SQL_SUCCEEDED(SQLGetConnectAttr(handle, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
            lost = dead == SQL_CD_TRUE;
    }
    throw DatabaseError(sqlstate.toStdString(), native, text.toStdString(), lost);
}

// --- Handle ---------------------------------------------------------------

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type)
{
    SQLRETURN rc = SQLAllocHandle(type, parent, &h_);
    if (!SQL_SUCCEEDED(rc)) {
        h_ = SQL_NULL_HANDLE;
        check(rc, type == SQL_HANDLE_ENV ? SQL_HANDLE_ENV : (type == SQL_HANDLE_DBC ? SQL_HANDLE_ENV : SQL_HANDLE_DBC),
              parent, "SQLAllocHandle");
        throw DatabaseError("HY001", 0, "Cannot allocate an ODBC handle");
    }
}

Handle& Handle::operator=(Handle&& o) noexcept
{
    if (this != &o) {
        reset();
        type_ = o.type_;
        h_ = o.h_;
        o.h_ = SQL_NULL_HANDLE;
    }
    return *this;
}

void Handle::reset()
{
    if (h_ != SQL_NULL_HANDLE) {
        SQLFreeHandle(type_, h_);
        h_ = SQL_NULL_HANDLE;
    }
}

// --- StatementHandle ---------------------------------------------------------

StatementHandle::StatementHandle(SQLHDBC dbc, std::shared_ptr<Session> session)
    : h_(SQL_HANDLE_STMT, dbc), session_(std::move(session))
{
}

StatementHandle& StatementHandle::operator=(StatementHandle&& o) noexcept
{
    if (this != &o) {
        reset();
        h_ = std::move(o.h_);
        session_ = std::move(o.session_);
    }
    return *this;
}

void StatementHandle::reset()
{
    if (!live())
        h_.release();
    h_.reset();
    session_.reset();
}

// --- Connection -------------------------------------------------------------

Connection::Connection() : env_(sharedEnvironment()), dbc_(SQL_HANDLE_DBC, env_->get()) {}

Connection::~Connection() { disconnect(); }

void Connection::disconnect()
{
    if (session_) {
        session_->alive = false;
        session_.reset();
    }
    if (open_) {
        SQLDisconnect(dbc_.get());
        open_ = false;
    }
    text_.reset();
}

void Connection::open(const QString& connectString)
{
    disconnect();
    // Autocommit: each statement has taken effect when it returns.
    check(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0),
          SQL_HANDLE_DBC, dbc_.get(), "SQLSetConnectAttr");
    SQLSMALLINT outLen = 0;
    check(SQLDriverConnectW(dbc_.get(), nullptr, wide(connectString), SQL_NTS, nullptr, 0, &outLen,
                            SQL_DRIVER_NOPROMPT),
          SQL_HANDLE_DBC, dbc_.get(), "SQLDriverConnect");
    open_ = true;
    session_ = std::make_shared<Session>();
}

bool Connection::isDead() const
{
    if (!open_)
        return true;
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (!SQL_SUCCEEDED(SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
        return false;
    return dead == SQL_CD_TRUE;
}

void Connection::execute(const QString& sql)
{
    if (!open_)
        throw DatabaseError("08003", 0, "Connection not open");
    Handle stmt(SQL_HANDLE_STMT, dbc_.get());
    check(SQLExecDirectW(stmt.get(), wide(sql), SQL_NTS), SQL_HANDLE_STMT, stmt.get(), "SQLExecDirect");
}

std::unique_ptr<Statement> Connection::prepare(const QString& sql)
{
    if (!open_)
        throw DatabaseError("08003", 0, "Connection not open");
    return std::make_unique<Statement>(*this, sql);
}

std::unique_ptr<ResultSet> Connection::query(const QString& sql)
{
    if (!open_)
        throw DatabaseError("08003", 0, "Connection not open");
    StatementHandle stmt(dbc_.get(), session_);
    check(SQLExecDirectW(stmt.get(), wide(sql), SQL_NTS), SQL_HANDLE_STMT, stmt.get(), "SQLExecDirect");
    return std::make_unique<ResultSet>(std::move(stmt));
}

QString Connection::dbmsName() const
{
    SQLWCHAR name[128] = {};
    SQLSMALLINT len = 0;
    check(SQLGetInfoW(dbc_.get(), SQL_DBMS_NAME, name, sizeof(name), &len), SQL_HANDLE_DBC, dbc_.get(),
          "SQLGetInfo");
    return fromWide(name, std::min<SQLLEN>(len / SQLLEN(sizeof(SQLWCHAR)), SQLLEN(std::size(name)) - 1));
}

// --- SnapshotTransaction ---------------------------------------------------

SnapshotTransaction::SnapshotTransaction(Connection& conn) : conn_(conn), sqlite_(conn.isSqlite())
{
    if (sqlite_) {
        conn_.execute(QStringLiteral("BEGIN IMMEDIATE"));
    } else {
        const SQLHDBC dbc = conn_.handle();
        check(SQLSetConnectAttr(dbc, SQL_ATTR_TXN_ISOLATION, reinterpret_cast<SQLPOINTER>(SQL_TXN_REPEATABLE_READ), 0),
              SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr");
        check(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
              SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr");
    }
    open_ = true;
}

SnapshotTransaction::~SnapshotTransaction()
{
    if (open_) {
        try {
            end(SQL_ROLLBACK);
        } catch (const std::exception&) {
            // The connection is going away with the failed run; closing it
            // rolls back on the server.
        }
    }
}

void SnapshotTransaction::commit() { end(SQL_COMMIT); }

void SnapshotTransaction::end(SQLSMALLINT completion)
{
    open_ = false;
    if (sqlite_) {
        conn_.execute(completion == SQL_COMMIT ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK"));
        return;
    }
    const SQLHDBC dbc = conn_.handle();
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, completion);
    SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    check(rc, SQL_HANDLE_DBC, dbc, "SQLEndTran");
}

// --- Statement ---------------------------------------------------------------

Statement::Statement(Connection& conn, const QString& sql) : stmt_(conn.handle(), conn.session_)
{
    check(SQLPrepareW(stmt_.get(), wide(sql), SQL_NTS), SQL_HANDLE_STMT, stmt_.get(), "SQLPrepare");
}

void Statement::setParameters(std::vector<QString> values)
{
    values_ = std::move(values);
}

void Statement::bindAll()
{
    if (params_.size() != values_.size())
        params_.assign(values_.size(), Param{});
    for (size_t i = 0; i < values_.size(); ++i) {
        const QString& v = values_[i];
        Param& p = params_[i];
        const size_t units = size_t(v.size());
        if (!p.bound || p.buffer.size() < units + 1) {
            p.buffer.assign(std::max<size_t>(units + 1, 64), 0);
            p.bound = false;
        }
        std::copy_n(reinterpret_cast<const SQLWCHAR*>(v.utf16()), units, p.buffer.data());
        p.buffer[units] = 0;
        p.length = SQLLEN(units * sizeof(SQLWCHAR));
        if (!p.bound) {
            check(SQLBindParameter(stmt_.get(), SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                   SQLULEN(p.buffer.size() - 1), 0, p.buffer.data(),
                                   SQLLEN(p.buffer.size() * sizeof(SQLWCHAR)), &p.length),
                  SQL_HANDLE_STMT, stmt_.get(), "SQLBindParameter");
            p.bound = true;
        }
    }
}

int64_t Statement::execute()
{
    bindAll();
    if (!stmt_.live())
        throw DatabaseError("08003", 0, "Connection closed under a prepared statement");
    SQLRETURN rc = SQLExecute(stmt_.get());
    check(rc, SQL_HANDLE_STMT, stmt_.get(), "SQLExecute");
    SQLLEN rows = -1;
    if (rc == SQL_NO_DATA)
        rows = 0;  // a searched UPDATE or DELETE that met no row
    else if (!SQL_SUCCEEDED(SQLRowCount(stmt_.get(), &rows)))
        rows = -1;
    SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    return rows;
}

// --- ResultSet -------------------------------------------------------------

ResultSet::ResultSet(StatementHandle stmt) : stmt_(std::move(stmt))
{
    SQLSMALLINT count = 0;
    check(SQLNumResultCols(stmt_.get(), &count), SQL_HANDLE_STMT, stmt_.get(), "SQLNumResultCols");
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        // Only the name: asking for type, size or nullability makes psqlODBC
        // run a catalog query the first time a connection reads a table.
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameBytes = 0;
        check(SQLColAttributeW(stmt_.get(), SQLUSMALLINT(i), SQL_DESC_LABEL, name, SQLSMALLINT(sizeof(name)),
                               &nameBytes, nullptr),
              SQL_HANDLE_STMT, stmt_.get(), "SQLColAttribute");
        names_ << fromWide(name, std::min<SQLLEN>(nameBytes / SQLLEN(sizeof(SQLWCHAR)), SQLLEN(std::size(name)) - 1));
    }
    next();
}

ResultSet::~ResultSet() { close(); }

bool ResultSet::fetchFromDriver(Row& row)
{
    if (driverDone_ || !stmt_)
        return false;
    if (!stmt_.live())
        throw DatabaseError("08003", 0, "Connection closed under an open result set");
    SQLRETURN rc = SQLFetch(stmt_.get());
    if (rc == SQL_NO_DATA) {
        driverDone_ = true;
        return false;
    }
    check(rc, SQL_HANDLE_STMT, stmt_.get(), "SQLFetch");
    row.assign(size_t(names_.size()), QString());
    for (int c = 0; c < names_.size(); ++c) {
        QString value;
        SQLWCHAR buf[1024];
        for (;;) {
            SQLLEN ind = 0;
            rc = SQLGetData(stmt_.get(), SQLUSMALLINT(c + 1), SQL_C_WCHAR, buf, sizeof(buf), &ind);
            if (rc == SQL_NO_DATA)
                break;
            check(rc, SQL_HANDLE_STMT, stmt_.get(), "SQLGetData");
            if (ind == SQL_NULL_DATA)
                break;
            const SQLLEN capacity = SQLLEN(std::size(buf)) - 1;
            SQLLEN units = (ind == SQL_NO_TOTAL || ind / SQLLEN(sizeof(SQLWCHAR)) > capacity)
                               ? capacity
                               : ind / SQLLEN(sizeof(SQLWCHAR));
            value += fromWide(buf, units);
            if (rc == SQL_SUCCESS)
                break;
        }
        row[size_t(c)] = value;
    }
    return true;
}

void ResultSet::next()
{
    if (!hasRow_ && position_ > 0 && driverDone_ && position_ > replayEnd_)
        return;
    const int32_t target = position_ + 1;
    if (target <= replayEnd_) {
        // Delivered before and kept: read it from the history.
        if (target > historyBase_ && size_t(target - historyBase_) <= history_.size()) {
            row_ = history_[size_t(target - historyBase_ - 1)];
            hasRow_ = true;
            position_ = target;
            return;
        }
    }
    Row row;
    if (fetchFromDriver(row)) {
        row_ = std::move(row);
        hasRow_ = true;
        position_ = target;
        replayEnd_ = target;
        if (recording_)
            history_.push_back(row_);
    } else {
        hasRow_ = false;
        row_.clear();
        position_ = replayEnd_ + 1;
    }
}

void ResultSet::markReplayPoint()
{
    // Rows before the current one can no longer be asked for again.
    recording_ = true;
    const int32_t base = hasRow_ ? position_ - 1 : position_;
    while (historyBase_ < base && !history_.empty()) {
        history_.pop_front();
        ++historyBase_;
    }
    if (history_.empty()) {
        historyBase_ = base;
        if (hasRow_)
            history_.push_back(row_);
    }
}

void ResultSet::setPosition(int32_t position)
{
    if (position == position_)
        return;
    if (position == replayEnd_ + 1 && driverDone_) {
        hasRow_ = false;
        row_.clear();
        position_ = position;
        return;
    }
    if (position <= historyBase_ || size_t(position - historyBase_) > history_.size())
        throw UsageError("Invalid cursor position");
    row_ = history_[size_t(position - historyBase_ - 1)];
    hasRow_ = true;
    position_ = position;
}

int ResultSet::indexOf(const QString& column) const
{
    // A handful of columns: a scan beats hashing a lower-cased copy per read.
    for (int i = 0; i < names_.size(); ++i)
        if (names_[i].compare(column, Qt::CaseInsensitive) == 0)
            return i;
    throw UsageError(("Column not found: " + column).toStdString());
}

QString ResultSet::text(int column) const
{
    if (!hasRow_)
        throw UsageError("No current row");
    if (column < 0 || size_t(column) >= row_.size())
        throw UsageError("Invalid column number");
    return row_[size_t(column)];
}

QString ResultSet::text(const QString& column) const { return text(indexOf(column)); }

int32_t ResultSet::integer(int column) const
{
    const QString t = text(column).trimmed();
    bool ok = false;
    const int32_t v = t.toInt(&ok);
    if (!ok && !t.isEmpty())
        throw DatabaseError("22018", 0, ("Not an integer: " + t).toStdString());
    return v;
}

int32_t ResultSet::integer(const QString& column) const { return integer(indexOf(column)); }

void ResultSet::close()
{
    if (stmt_.live())
        SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    stmt_.reset();
    hasRow_ = false;
    history_.clear();
}

// --- DSN registration ---------------------------------------------------------

void writeUserDsn(const QString& name, const QString& driver,
                  const std::vector<std::pair<QString, QString>>& attributes)
{
    if (!SQLSetConfigMode(ODBC_USER_DSN))
        throw Error("Cannot select the per-user ODBC configuration");
    auto write = [&](const QString& key, const QString& value) {
        if (!SQLWritePrivateProfileStringW(wide(name), wide(key), wide(value), wide(QStringLiteral("odbc.ini")))) {
            DWORD code = 0;
            WCHAR msg[512] = {};
            WORD len = 0;
            SQLInstallerErrorW(1, &code, msg, WORD(std::size(msg)), &len);
            SQLSetConfigMode(ODBC_BOTH_DSN);
            throw Error(("Cannot register the data source " + name + ": "
                         + QString::fromUtf16(reinterpret_cast<const char16_t*>(msg), len)).toStdString());
        }
    };
    write(QStringLiteral("Driver"), driver);
    for (const auto& [key, value] : attributes)
        write(key, value);
    SQLSetConfigMode(ODBC_BOTH_DSN);
}

} // namespace tallyquill::odbc

namespace tallyquill {

DatabaseError::DatabaseError(std::string sqlstate, int32_t number, std::string description, bool connectionLost)
    : Error("[" + sqlstate + "] " + description),
      sqlstate_(std::move(sqlstate)),
      number_(number),
      description_(std::move(description)),
      connectionLost_(connectionLost)
{
}

InvalidAppIdError::InvalidAppIdError(const std::string& appId)
    : Error("Invalid AppID \"" + appId + "\": use letters, digits and _ only")
{
}

} // namespace tallyquill
