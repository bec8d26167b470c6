#include "odbc/Odbc.h"

#include <odbcinst.h>

#include <QDir>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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

// The sockets the process holds, in ascending order.
std::vector<int> openSockets()
{
    std::vector<int> out;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return out;
    while (const dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        struct stat st {};
        if (end != e->d_name && *end == 0 && fstat(int(fd), &st) == 0 && S_ISSOCK(st.st_mode))
            out.push_back(int(fd));
    }
    closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

// A whole number of seconds from the data source's entry, or `fallback`.
int dsnSeconds(const QString& dsn, const char16_t* key, int fallback)
{
    SQLWCHAR value[32] = {};
    const int n = SQLGetPrivateProfileStringW(wide(dsn), reinterpret_cast<const SQLWCHAR*>(key),
                                              reinterpret_cast<const SQLWCHAR*>(u""), value, int(std::size(value)),
                                              reinterpret_cast<const SQLWCHAR*>(u"odbc.ini"));
    bool ok = false;
    const int seconds = n > 0 ? fromWide(value, n).trimmed().toInt(&ok) : 0;
    return ok && seconds >= 0 ? seconds : fallback;
}

bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7F && u <= 0x9F);
}

} // namespace

// --- Watchdog ---------------------------------------------------------------

// Closes the connection's socket when a call outlasts its limit: a server
// that is stopped or cut off never answers, and the driver would wait for it
// for ever. One thread per connection, joined when the connection closes.
class Watchdog {
public:
    Watchdog(int socket, std::chrono::milliseconds limit) : socket_(socket), limit_(limit)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Watchdog()
    {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void begin()
    {
        std::lock_guard guard(lock_);
        if (depth_++ == 0) {
            deadline_ = Clock::now() + limit_;
            if (idle_)
                wake_.notify_one();
        }
    }
    void end()
    {
        std::lock_guard guard(lock_);
        if (--depth_ == 0)
            deadline_ = Clock::time_point::max();
    }
    bool fired() const { return fired_.load(); }
    std::chrono::milliseconds limit() const { return limit_; }

private:
    using Clock = std::chrono::steady_clock;
    void run()
    {
        std::unique_lock guard(lock_);
        while (!stop_) {
            if (deadline_ == Clock::time_point::max()) {
                idle_ = true;
                wake_.wait(guard);
                idle_ = false;
            } else if (Clock::now() >= deadline_) {
                // The blocked call sees the connection end and returns.
                ::shutdown(socket_, SHUT_RDWR);
                fired_ = true;
                deadline_ = Clock::time_point::max();
            } else {
                // A later call only moves the deadline on: waking at the
                // earlier one and looking again is enough.
                wake_.wait_until(guard, deadline_);
            }
        }
    }

    const int socket_;
    const std::chrono::milliseconds limit_;
    std::mutex lock_;
    std::condition_variable wake_;
    Clock::time_point deadline_ = Clock::time_point::max();
    int depth_ = 0;
    bool idle_ = false;
    bool stop_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

Session::Session() = default;
Session::~Session() = default;

bool Session::timedOut() const { return watchdog && watchdog->fired(); }

ServerCall::ServerCall(const Session* session) : watchdog_(session ? session->watchdog.get() : nullptr)
{
    if (watchdog_)
        watchdog_->begin();
}

ServerCall::~ServerCall()
{
    if (watchdog_)
        watchdog_->end();
}

bool isConnectionLost(const QString& sqlstate)
{
    return sqlstate.startsWith(QLatin1String("08"));
}

bool isMissingTable(const DatabaseError& e)
{
    return e.sqlstate() == "42S02" || e.sqlstate() == "42P01"
           || (e.sqlstate() == "HY000" && e.description().find("no such table") != std::string::npos);
}

bool isExistingTable(const DatabaseError& e)
{
    return e.sqlstate() == "42S01" || e.sqlstate() == "42P07"
           || (e.description().find("table") != std::string::npos
               && e.description().find("already exists") != std::string::npos);
}

bool isRefusedData(const DatabaseError& e)
{
    const std::string& state = e.sqlstate();
    if (state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0)
        return true;
    // SQLITE_CONSTRAINT is 19; extended codes keep it in the low byte.
    return state == "HY000"
           && ((e.number() & 0xff) == 19 || e.description().find("constraint failed") != std::string::npos);
}

void checkDataSourceName(const QString& name)
{
    static const QString forbidden = QStringLiteral("[]{}(),;?*=!@\\");
    if (name.isEmpty())
        throw Error("No data source name given");
    const bool control = std::any_of(name.begin(), name.end(), isControl);
    if (control)
        throw Error("The data source name may not hold control characters");
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return forbidden.contains(c); }))
        throw Error("Invalid data source name \"" + name.toStdString()
                    + "\": it may not hold any of []{}(),;?*=!@\\");
    if (name.size() > SQL_MAX_DSN_LENGTH)
        throw Error("Invalid data source name \"" + name.toStdString() + "\": longer than "
                    + std::to_string(SQL_MAX_DSN_LENGTH) + " characters");
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* what, const Session* session)
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
        text = fromWide(message, std::min<SQLLEN>(length, SQLLEN(std::size(message)) - 1)).trimmed();
    } else {
        text = QStringLiteral("%1 failed with return code %2").arg(QLatin1String(what)).arg(rc);
    }
    if (session && session->timedOut()) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(session->watchdog->limit()).count();
        throw DatabaseError("HYT00", native,
                            "The database server did not answer within " + std::to_string(seconds)
                                + " s; the connection was closed, and whether the last statement took effect "
                                  "is not known (" + sqlstate.toStdString() + " " + text.toStdString() + ")",
                            true);
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

void StatementHandle::check(SQLRETURN rc, const char* what) const
{
    odbc::check(rc, SQL_HANDLE_STMT, h_.get(), what, session_.get());
}

void StatementHandle::reset()
{
    if (!live())
        h_.release();
    {
        // Freeing a statement may close its cursor on the server.
        ServerCall call(session_.get());
        h_.reset();
    }
    session_.reset();
}

// --- Connection -------------------------------------------------------------

Connection::Connection() : env_(sharedEnvironment()), dbc_(SQL_HANDLE_DBC, env_->get()) {}

Connection::~Connection() { disconnect(); }

void Connection::disconnect()
{
    if (session_) {
        session_->alive = false;
        session_->watchdog.reset();
        session_.reset();
    }
    if (open_) {
        SQLDisconnect(dbc_.get());
        open_ = false;
    }
    dbms_.clear();
    backslashEscapes_.reset();
    text_.reset();
}

void Connection::open(const QString& dsn, const QString& login, const QString& password)
{
    disconnect();
    checkDataSourceName(dsn);
    for (const QString* v : {&login, &password}) {
        if (v->contains(QChar(u'\0')))
            throw Error(v == &login ? "The login may not hold a NUL character"
                                    : "The password may not hold a NUL character");
        if (v->size() > 32767)
            throw Error(v == &login ? "The login is too long" : "The password is too long");
    }
    // Autocommit: each statement has taken effect when it returns.
    check(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0),
          SQL_HANDLE_DBC, dbc_.get(), "SQLSetConnectAttr");
    // A server that accepts the connection but never answers must not hold
    // the caller for ever. Drivers without the setting simply ignore it.
    const int loginTimeout = dsnSeconds(dsn, u"LoginTimeout", kDefaultLoginTimeout);
    SQLSetConnectAttr(dbc_.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(loginTimeout)), 0);
    const std::vector<int> before = openSockets();
    // The three values travel apart: none of them can add settings of its own.
    check(SQLConnectW(dbc_.get(), wide(dsn), SQLSMALLINT(dsn.size()), wide(login), SQLSMALLINT(login.size()),
                      wide(password), SQLSMALLINT(password.size())),
          SQL_HANDLE_DBC, dbc_.get(), "SQLConnect");
    open_ = true;
    session_ = std::make_shared<Session>();
    dbms_ = dbmsName();
    if (isSqlite())
        return;  // no server: a lock waits no longer than the data source's busy timeout
    session_->queryTimeout = dsnSeconds(dsn, u"QueryTimeout", kDefaultQueryTimeout);
    if (session_->queryTimeout == 0)
        return;
    std::vector<int> opened;
    const std::vector<int> after = openSockets();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(opened));
    // The server cancels a statement that runs too long itself; the watchdog
    // is for a server that cannot answer at all, so it waits a little longer.
    // With another thread opening sockets meanwhile, the connection's own is
    // not known, and only the server's limit applies.
    if (opened.size() == 1)
        session_->watchdog = std::make_unique<Watchdog>(
            opened.front(), std::chrono::seconds(session_->queryTimeout + 2));
}

StatementHandle Connection::newStatement()
{
    if (!open_)
        throw DatabaseError("08003", 0, "Connection not open");
    StatementHandle stmt(dbc_.get(), session_);
    if (session_->queryTimeout > 0)
        SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(SQLULEN(session_->queryTimeout)), 0);
    return stmt;
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
    StatementHandle stmt = newStatement();
    ServerCall call(session_.get());
    stmt.check(SQLExecDirectW(stmt.get(), wide(sql), SQL_NTS), "SQLExecDirect");
}

std::unique_ptr<Statement> Connection::prepare(const QString& sql)
{
    if (!open_)
        throw DatabaseError("08003", 0, "Connection not open");
    return std::make_unique<Statement>(*this, sql);
}

std::unique_ptr<ResultSet> Connection::query(const QString& sql)
{
    StatementHandle stmt = newStatement();
    {
        ServerCall call(session_.get());
        stmt.check(SQLExecDirectW(stmt.get(), wide(sql), SQL_NTS), "SQLExecDirect");
    }
    return std::make_unique<ResultSet>(std::move(stmt));
}

QString Connection::dbmsName() const
{
    if (open_ && !dbms_.isEmpty())
        return dbms_;
    return info(SQL_DBMS_NAME);
}

QString Connection::info(SQLUSMALLINT type) const
{
    SQLWCHAR text[256] = {};
    SQLSMALLINT len = 0;
    check(SQLGetInfoW(dbc_.get(), type, text, sizeof(text), &len), SQL_HANDLE_DBC, dbc_.get(), "SQLGetInfo");
    return fromWide(text, std::min<SQLLEN>(len / SQLLEN(sizeof(SQLWCHAR)), SQLLEN(std::size(text)) - 1));
}

std::unique_ptr<ResultSet> Connection::tables()
{
    StatementHandle stmt = newStatement();
    const QString type = QStringLiteral("TABLE");
    ServerCall call(session_.get());
    stmt.check(SQLTablesW(stmt.get(), nullptr, 0, nullptr, 0, nullptr, 0, wide(type), SQL_NTS), "SQLTables");
    return std::make_unique<ResultSet>(std::move(stmt));
}

std::unique_ptr<ResultSet> Connection::indexes(const QString& table)
{
    StatementHandle stmt = newStatement();
    ServerCall call(session_.get());
    stmt.check(SQLStatisticsW(stmt.get(), nullptr, 0, nullptr, 0, wide(table), SQL_NTS, SQL_INDEX_ALL, SQL_QUICK),
               "SQLStatistics");
    return std::make_unique<ResultSet>(std::move(stmt));
}

bool Connection::backslashEscapes()
{
    if (!backslashEscapes_) {
        bool escapes = false;
        if (dbmsName().startsWith(QLatin1String("PostgreSQL"), Qt::CaseInsensitive)) {
            auto rs = query(QStringLiteral("SHOW standard_conforming_strings"));
            escapes = rs->eof() || rs->text(0).trimmed().compare(QLatin1String("on"), Qt::CaseInsensitive) != 0;
        }
        backslashEscapes_ = escapes;
    }
    return *backslashEscapes_;
}

// --- SnapshotTransaction ---------------------------------------------------

SnapshotTransaction::SnapshotTransaction(Connection& conn) : conn_(conn), sqlite_(conn.isSqlite())
{
    if (sqlite_) {
        conn_.execute(QStringLiteral("BEGIN IMMEDIATE"));
    } else {
        const SQLHDBC dbc = conn_.handle();
        ServerCall call(conn_.session());
        check(SQLSetConnectAttr(dbc, SQL_ATTR_TXN_ISOLATION, reinterpret_cast<SQLPOINTER>(SQL_TXN_REPEATABLE_READ), 0),
              SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr", conn_.session());
        check(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
              SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr", conn_.session());
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
    ServerCall call(conn_.session());
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, completion);
    SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    check(rc, SQL_HANDLE_DBC, dbc, "SQLEndTran", conn_.session());
}

// --- Statement ---------------------------------------------------------------

Statement::Statement(Connection& conn, const QString& sql) : stmt_(conn.newStatement())
{
    ServerCall call(stmt_.session());
    stmt_.check(SQLPrepareW(stmt_.get(), wide(sql), SQL_NTS), "SQLPrepare");
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
            stmt_.check(SQLBindParameter(stmt_.get(), SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                                         SQL_WVARCHAR, SQLULEN(p.buffer.size() - 1), 0, p.buffer.data(),
                                         SQLLEN(p.buffer.size() * sizeof(SQLWCHAR)), &p.length),
                        "SQLBindParameter");
            p.bound = true;
        }
    }
}

int64_t Statement::execute()
{
    bindAll();
    if (!stmt_.live())
        throw DatabaseError("08003", 0, "Connection closed under a prepared statement");
    ServerCall call(stmt_.session());
    SQLRETURN rc = SQLExecute(stmt_.get());
    stmt_.check(rc, "SQLExecute");
    SQLLEN rows = -1;
    if (rc == SQL_NO_DATA)
        rows = 0;  // a searched UPDATE or DELETE that met no row
    else if (!SQL_SUCCEEDED(SQLRowCount(stmt_.get(), &rows)))
        rows = -1;
    SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    return rows;
}

// --- ResultSet -------------------------------------------------------------

ResultSet::ResultSet(StatementHandle stmt) : stmt_(std::move(stmt)), chunk_(1024)
{
    SQLSMALLINT count = 0;
    ServerCall call(stmt_.session());
    stmt_.check(SQLNumResultCols(stmt_.get(), &count), "SQLNumResultCols");
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        // Only the name: asking for type, size or nullability makes psqlODBC
        // run a catalog query the first time a connection reads a table.
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameBytes = 0;
        stmt_.check(SQLColAttributeW(stmt_.get(), SQLUSMALLINT(i), SQL_DESC_LABEL, name,
                                     SQLSMALLINT(sizeof(name)), &nameBytes, nullptr),
                    "SQLColAttribute");
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
    ServerCall call(stmt_.session());
    SQLRETURN rc = SQLFetch(stmt_.get());
    if (rc == SQL_NO_DATA) {
        driverDone_ = true;
        return false;
    }
    stmt_.check(rc, "SQLFetch");
    row.assign(size_t(names_.size()), QString());
    for (int c = 0; c < names_.size(); ++c)
        row[size_t(c)] = readText(SQLUSMALLINT(c + 1));
    return true;
}

QString ResultSet::readText(SQLUSMALLINT column)
{
    // Drivers convert the whole value again on every call and hand out the
    // part not read yet: the rest is read in one call sized from what the
    // first one reports, or with a buffer that doubles when it reports nothing.
    constexpr SQLLEN unit = sizeof(SQLWCHAR);
    SQLLEN ind = 0;
    SQLRETURN rc = SQLGetData(stmt_.get(), column, SQL_C_WCHAR, chunk_.data(), SQLLEN(chunk_.size()) * unit, &ind);
    if (rc == SQL_NO_DATA)
        return {};
    stmt_.check(rc, "SQLGetData");
    if (ind == SQL_NULL_DATA)
        return {};
    // A warning other than truncation leaves a value that fitted.
    auto fitted = [&](SQLLEN room) { return rc == SQL_SUCCESS || (ind != SQL_NO_TOTAL && ind / unit < room); };
    if (fitted(SQLLEN(chunk_.size())))
        return fromWide(chunk_.data(), std::min<SQLLEN>(ind / unit, SQLLEN(chunk_.size()) - 1));
    QString value = fromWide(chunk_.data(), SQLLEN(chunk_.size()) - 1);
    // Units of the whole value, while the driver says.
    SQLLEN total = ind == SQL_NO_TOTAL ? -1 : ind / unit;
    std::vector<SQLWCHAR> rest;
    size_t capacity = chunk_.size();
    for (;;) {
        if (total >= 0) {
            capacity = std::max(size_t(std::max<SQLLEN>(total - value.size(), 0)) + 1, chunk_.size());
            value.reserve(total);
        } else {
            capacity *= 2;
        }
        rest.resize(capacity);
        const SQLLEN before = value.size();
        rc = SQLGetData(stmt_.get(), column, SQL_C_WCHAR, rest.data(), SQLLEN(rest.size()) * unit, &ind);
        if (rc == SQL_NO_DATA)
            return value;
        stmt_.check(rc, "SQLGetData");
        if (fitted(SQLLEN(rest.size()))) {
            value += fromWide(rest.data(), std::min<SQLLEN>(ind / unit, SQLLEN(rest.size()) - 1));
            return value;
        }
        value += fromWide(rest.data(), SQLLEN(rest.size()) - 1);
        // Each call reports what was left when it began.
        total = ind == SQL_NO_TOTAL ? -1 : before + ind / unit;
    }
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

void ResultSet::setAside()
{
    markReplayPoint();
    for (Row row; fetchFromDriver(row);) {
        ++replayEnd_;
        history_.push_back(std::move(row));
    }
    if (stmt_.live()) {
        ServerCall call(stmt_.session());
        SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    }
    stmt_.reset();
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
    if (stmt_.live()) {
        ServerCall call(stmt_.session());
        SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    }
    stmt_.reset();
    hasRow_ = false;
    history_.clear();
}

// --- DSN registration ---------------------------------------------------------

void writeUserDsn(const QString& name, const QString& driver,
                  const std::vector<std::pair<QString, QString>>& attributes)
{
    // A line break in a value would add settings of its own to the file.
    checkDataSourceName(name);
    auto plain = [](const QString& text) { return std::none_of(text.begin(), text.end(), isControl); };
    if (!plain(driver))
        throw Error("The driver name may not hold control characters");
    for (const auto& [key, value] : attributes)
        if (!plain(key) || !plain(value) || key.contains(QLatin1Char('=')))
            throw Error("The data source setting " + key.toStdString() + " may not hold control characters");
    // A new file holds passwords of other data sources, soon if not now.
    // unixODBC's own choice: $ODBCINI, else the account's home directory.
    QByteArray file = qgetenv("ODBCINI");
    if (file.isEmpty()) {
        const passwd* account = getpwuid(getuid());
        file = (account && account->pw_dir ? QByteArray(account->pw_dir) : QFile::encodeName(QDir::homePath()))
               + "/.odbc.ini";
    }
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
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
