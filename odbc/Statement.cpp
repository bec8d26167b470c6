// Statements: prepared ones with parameters bound by the caller or by
// value, and result sets read a row at a time. Every call that may wait for
// the server runs as a ServerCall, under the statement timeout and the
// connection's watchdog.

#include "odbc/Odbc.h"
#include "odbc/Wide.h"

#include <algorithm>

namespace tallyquill::odbc {

// --- BoundStatement ------------------------------------------------------------

BoundStatement::BoundStatement(Connection& conn, const QString& sql) : stmt_(conn.newStatement())
{
    ServerCall call(stmt_.session());
    stmt_.check(SQLPrepareW(stmt_.get(), wide(conn.dialect().sendable(sql)), SQL_NTS), "SQLPrepare");
}

void BoundStatement::requireLive() const
{
    if (!stmt_.live())
        throw DatabaseError("08003", 0, "Connection closed under a prepared statement");
}

void BoundStatement::bindText(SQLUSMALLINT position, SQLWCHAR* buffer, size_t units, SQLLEN* length)
{
    requireLive();
    stmt_.check(SQLBindParameter(stmt_.get(), position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, SQLULEN(units),
                                 0, buffer, SQLLEN((units + 1) * sizeof(SQLWCHAR)), length),
                "SQLBindParameter");
}

void BoundStatement::bindBytes(SQLUSMALLINT position, char* buffer, size_t bytes, SQLLEN* length)
{
    requireLive();
    stmt_.check(SQLBindParameter(stmt_.get(), position, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, SQLULEN(bytes), 0,
                                 buffer, SQLLEN(bytes), length),
                "SQLBindParameter");
}

void BoundStatement::bindInteger(SQLUSMALLINT position, int64_t* value)
{
    requireLive();
    stmt_.check(SQLBindParameter(stmt_.get(), position, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, value, 0,
                                 nullptr),
                "SQLBindParameter");
}

int64_t BoundStatement::execute()
{
    requireLive();
    ServerCall call(stmt_.session());
    const SQLRETURN rc = SQLExecute(stmt_.get());
    stmt_.check(rc, "SQLExecute");
    SQLLEN rows = -1;
    if (rc == SQL_NO_DATA)
        rows = 0;  // a searched UPDATE or DELETE that met no row
    else if (!SQL_SUCCEEDED(SQLRowCount(stmt_.get(), &rows)))
        rows = -1;
    SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    return rows;
}

std::optional<int64_t> BoundStatement::queryInteger()
{
    requireLive();
    ServerCall call(stmt_.session());
    stmt_.check(SQLExecute(stmt_.get()), "SQLExecute");
    std::optional<int64_t> value;
    SQLRETURN rc = SQLFetch(stmt_.get());
    if (rc != SQL_NO_DATA) {
        stmt_.check(rc, "SQLFetch");
        int64_t v = 0;
        SQLLEN ind = 0;
        rc = SQLGetData(stmt_.get(), 1, SQL_C_SBIGINT, &v, 0, &ind);
        stmt_.check(rc, "SQLGetData");
        if (rc != SQL_NO_DATA && ind != SQL_NULL_DATA)
            value = v;
    }
    SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    return value;
}

// --- Statement ---------------------------------------------------------------

Statement::Statement(Connection& conn, const QString& sql) : stmt_(conn, sql) {}

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
            stmt_.bindText(SQLUSMALLINT(i + 1), p.buffer.data(), p.buffer.size() - 1, &p.length);
            p.bound = true;
        }
    }
}

int64_t Statement::execute()
{
    stmt_.requireLive();
    bindAll();
    return stmt_.execute();
}

// --- ResultSet -------------------------------------------------------------

ResultSet::ResultSet(StatementHandle stmt) : ResultSet(std::move(stmt), Unread{}) { start(); }

ResultSet::ResultSet(StatementHandle stmt, Unread) : stmt_(std::move(stmt)), chunk_(1024) {}

void ResultSet::start()
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

} // namespace tallyquill::odbc
