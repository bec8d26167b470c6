// The environment, the connection and its transactions, each handle freed
// with its owner, and the watchdog that bounds every call to the server.

#include "odbc/Odbc.h"
#include "odbc/Wide.h"

#include <odbcinst.h>

#include <clocale>
#include <dirent.h>
#include <locale.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tallyquill::odbc {

namespace {

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

// The driver manager fixes, when a connection handle is made, the character
// set in which it passes statement text to a narrow driver (SQLite's): the
// codeset of the thread's LC_CTYPE at that moment. In the C locale it cuts
// every other character to one byte, so a literal such as a user's name in a
// filter no longer matches, and the UTF-8 probe of the fast reader fails.
// The log's text is UTF-8 whatever the host's locale, so the handle is made
// under a UTF-8 LC_CTYPE on this thread alone; the process's locale, and the
// thread's once the handle exists, stay as the host set them.
class Utf8CtypeOnThisThread {
public:
    Utf8CtypeOnThisThread()
    {
        locale_t base = duplocale(uselocale(locale_t(nullptr)));
        if (!base)
            return;
        mine_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", base);
        if (!mine_) {
            freelocale(base);
            return;
        }
        previous_ = uselocale(mine_);
    }
    ~Utf8CtypeOnThisThread()
    {
        if (!mine_)
            return;
        uselocale(previous_);
        freelocale(mine_);
    }
    Utf8CtypeOnThisThread(const Utf8CtypeOnThisThread&) = delete;
    Utf8CtypeOnThisThread& operator=(const Utf8CtypeOnThisThread&) = delete;

private:
    locale_t mine_ = nullptr;
    locale_t previous_ = nullptr;
};

// psqlODBC sets the process's LC_CTYPE from the environment when it
// connects: the host's locale is put back at once (the driver's text stays
// UTF-8 without it).
class KeepProcessLocale {
public:
    KeepProcessLocale()
    {
        if (const char* now = std::setlocale(LC_ALL, nullptr))
            saved_ = now;
    }
    ~KeepProcessLocale()
    {
        const char* now = std::setlocale(LC_ALL, nullptr);
        if (!saved_.empty() && (!now || saved_ != now))
            std::setlocale(LC_ALL, saved_.c_str());
    }
    KeepProcessLocale(const KeepProcessLocale&) = delete;
    KeepProcessLocale& operator=(const KeepProcessLocale&) = delete;

private:
    std::string saved_;
};

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
                // Marked first: the blocked call sees the connection end and
                // returns, and its error must already say why.
                fired_ = true;
                ::shutdown(socket_, SHUT_RDWR);
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

int Session::watchdogSeconds() const
{
    return watchdog ? int(std::chrono::duration_cast<std::chrono::seconds>(watchdog->limit()).count()) : 0;
}

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

// --- Handle ---------------------------------------------------------------

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type)
{
    std::optional<Utf8CtypeOnThisThread> utf8;
    if (type == SQL_HANDLE_DBC)
        utf8.emplace();
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

void Connection::close() { disconnect(); }

void Connection::disconnect()
{
    if (session_) {
        session_->alive = false;
        session_->watchdog.reset();
        session_.reset();
    }
    if (open_) {
        // A driver keeps a connection with a transaction open: end it and
        // try again, or the handle would be freed still connected.
        if (!SQL_SUCCEEDED(SQLDisconnect(dbc_.get()))) {
            SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
            SQLDisconnect(dbc_.get());
        }
        open_ = false;
    }
    dbms_.clear();
    backslashEscapes_.reset();
    text_.reset();
}

void Connection::open(const QString& dsn, const QString& login, const QString& password, int sqliteLockWaitMs)
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
    const KeepProcessLocale hostLocale;
    // The three values travel apart: none of them can add settings of its own.
    check(SQLConnectW(dbc_.get(), wide(dsn), SQLSMALLINT(dsn.size()), wide(login), SQLSMALLINT(login.size()),
                      wide(password), SQLSMALLINT(password.size())),
          SQL_HANDLE_DBC, dbc_.get(), "SQLConnect");
    open_ = true;
    dbms_ = dbmsName();
    if (isSqlite() && sqliteLockWaitMs >= 0) {
        // Only a connect string can set the SQLite driver's lock wait (its
        // Timeout); its other settings still come from the data source, and
        // it takes no login. The name was checked above: it adds nothing.
        SQLDisconnect(dbc_.get());
        open_ = false;
        const QString settings =
            QStringLiteral("DSN=%1;%2=%3;").arg(dsn, Dialect::sqlite().lockWaitAttribute()).arg(sqliteLockWaitMs);
        SQLSMALLINT length = 0;
        check(SQLDriverConnectW(dbc_.get(), nullptr, wide(settings), SQL_NTS, nullptr, 0, &length,
                                SQL_DRIVER_NOPROMPT),
              SQL_HANDLE_DBC, dbc_.get(), "SQLDriverConnect");
        open_ = true;
    }
    session_ = std::make_shared<Session>();
    if (dialect().isEmbedded())
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
    stmt.check(SQLExecDirectW(stmt.get(), wide(dialect().sendable(sql)), SQL_NTS), "SQLExecDirect");
}

void Connection::executeUnbounded(const QString& sql)
{
    StatementHandle stmt = newStatement();
    SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(0)), 0);
    stmt.check(SQLExecDirectW(stmt.get(), wide(dialect().sendable(sql)), SQL_NTS), "SQLExecDirect");
}

std::unique_ptr<Statement> Connection::prepare(const QString& sql)
{
    if (!open_)
        throw DatabaseError("08003", 0, "Connection not open");
    return std::make_unique<Statement>(*this, sql);
}

std::unique_ptr<ResultSet> Connection::query(const QString& sql)
{
    std::unique_ptr<ResultSet> rs(new ResultSet(newStatement(), ResultSet::Unread{}));
    // cancel() reaches the statement until its first row is read: the SQLite
    // driver (StepAPI) does a count's work in that first fetch. Declared after
    // the result set, it lets go first: cancel() never reaches a freed handle.
    struct Running {
        Connection& conn;
        Running(Connection& c, SQLHSTMT stmt) : conn(c)
        {
            std::lock_guard guard(conn.runningLock_);
            conn.running_ = stmt;
        }
        Running(const Running&) = delete;
        ~Running()
        {
            std::lock_guard guard(conn.runningLock_);
            conn.running_ = SQL_NULL_HSTMT;
        }
    } running(*this, rs->stmt_.get());
    {
        ServerCall call(session_.get());
        rs->stmt_.check(SQLExecDirectW(rs->stmt_.get(), wide(dialect().sendable(sql)), SQL_NTS), "SQLExecDirect");
    }
    rs->start();
    return rs;
}

void Connection::cancel()
{
    std::lock_guard guard(runningLock_);
    if (running_ != SQL_NULL_HSTMT)
        SQLCancel(running_);
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

QString Connection::indexLedBy(const QString& table, const std::vector<QString>& columns)
{
    std::map<QString, std::map<int, QString>> named;
    for (auto rs = indexes(dialect().catalogName(table)); !rs->eof(); rs->next())
        if (!rs->text(5).isEmpty())
            named[rs->text(5)][rs->integer(7)] = rs->text(8);
    for (const auto& [name, cols] : named) {
        bool leads = true;
        for (size_t i = 0; i < columns.size() && leads; ++i) {
            const auto it = cols.find(int(i) + 1);
            leads = it != cols.end() && it->second.compare(columns[i], Qt::CaseInsensitive) == 0;
        }
        if (leads)
            return name;
    }
    return QString();
}

void Connection::setUpPagedReads()
{
    const QString setup = dialect().pagedReaderSetup();
    if (setup.isEmpty())
        return;
    try {
        execute(setup);
    } catch (const DatabaseError& e) {
        // Refused, say, by a server from before the setting existed.
        if (e.connectionLost() || isDead())
            throw;
    }
}

bool Connection::backslashEscapes()
{
    if (!backslashEscapes_) {
        bool escapes = false;
        const Dialect& d = dialect();
        if (const QString ask = d.backslashEscapesQuery(); !ask.isEmpty()) {
            auto rs = query(ask);
            // No answer: take the careful side, escapes on.
            escapes = rs->eof() || d.backslashEscapesFromAnswer(rs->text(0));
        }
        backslashEscapes_ = escapes;
    }
    return *backslashEscapes_;
}

// --- Transactions ----------------------------------------------------------

Transaction::Transaction(Connection& conn, Kind kind)
    : conn_(conn), sqlite_(!conn.dialect().writeLockBegin().isEmpty())
{
    if (sqlite_) {
        conn_.execute(conn_.dialect().writeLockBegin());
    } else {
        const SQLHDBC dbc = conn_.handle();
        ServerCall call(conn_.session());
        if (kind == Kind::Snapshot)
            check(SQLSetConnectAttr(dbc, SQL_ATTR_TXN_ISOLATION,
                                    reinterpret_cast<SQLPOINTER>(SQL_TXN_REPEATABLE_READ), 0),
                  SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr", conn_.session());
        check(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
              SQL_HANDLE_DBC, dbc, "SQLSetConnectAttr", conn_.session());
    }
    open_ = true;
}

Transaction::~Transaction() { rollback(); }

void Transaction::commit() { end(SQL_COMMIT); }

void Transaction::rollback() noexcept
{
    if (!open_)
        return;
    try {
        end(SQL_ROLLBACK);
    } catch (const std::exception&) {
        // The connection is going away with the failed run; closing it
        // rolls back on the server.
    }
}

void Transaction::end(SQLSMALLINT completion)
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

} // namespace tallyquill::odbc
