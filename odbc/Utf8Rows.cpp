#include "odbc/Utf8Rows.h"
#include "odbc/Wide.h"

#include <algorithm>
#include <utility>

namespace tallyquill::odbc {

namespace {

// Whether narrow text comes back as UTF-8: a driver that converts it to the
// process's locale (psqlODBC's Unicode driver outside a UTF-8 locale) or to a
// code page answers other bytes, or fails to convert. (No character beyond
// U+FFFF in the statement: the SQLite driver refuses surrogate pairs in SQL.)
bool narrowTextIsUtf8(const StatementHandle& stmt)
{
    static const QString probe = QStringLiteral("SELECT '\u00e9\u4e2d'");
    static constexpr std::string_view expected = "\xC3\xA9\xE4\xB8\xAD";
    ServerCall call(stmt.session());
    char buf[64] = {};
    SQLLEN length = 0;
    if (!SQL_SUCCEEDED(SQLExecDirectW(stmt.get(), wide(probe), SQL_NTS)) || !SQL_SUCCEEDED(SQLFetch(stmt.get()))
        || !SQL_SUCCEEDED(SQLGetData(stmt.get(), 1, SQL_C_CHAR, buf, sizeof(buf), &length)))
        return false;
    return length == SQLLEN(expected.size()) && std::string_view(buf, size_t(length)) == expected;
}

// The buffers of the last reader this thread closed, for the next one: the
// archive and sealing open a reader per day, and fresh pages cost a fault
// each (a third of an archive's time on a virtual machine).
struct SpareBlock {
    std::unique_ptr<char[]> data;
    size_t size = 0;
};
thread_local SpareBlock tSpare;
constexpr size_t kLargestSpare = size_t(8) << 20;

std::unique_ptr<char[]> takeBlock(size_t size, size_t& got)
{
    if (tSpare.data && tSpare.size >= size) {
        got = std::exchange(tSpare.size, 0);
        return std::move(tSpare.data);
    }
    got = size;
    return std::make_unique_for_overwrite<char[]>(size);
}

void giveBack(std::unique_ptr<char[]> block, size_t size)
{
    if (block && size <= kLargestSpare && size >= tSpare.size) {
        tSpare.data = std::move(block);
        tSpare.size = size;
    }
}

} // namespace

const TextCapabilities& Connection::textCapabilities()
{
    if (!open_)
        throw DatabaseError("08003", 0, "Connection not open");
    if (!text_) {
        TextCapabilities t;
        t.utf8 = narrowTextIsUtf8(newStatement());
        // A probe the watchdog cut short says nothing of the driver.
        if (session_->timedOut())
            check(SQL_ERROR, SQL_HANDLE_DBC, dbc_.get(), "SQLExecDirect", session_.get());
        SQLUINTEGER getData = 0, positions = 0;
        if (SQL_SUCCEEDED(SQLGetInfo(dbc_.get(), SQL_GETDATA_EXTENSIONS, &getData, sizeof(getData), nullptr))
            && SQL_SUCCEEDED(SQLGetInfo(dbc_.get(), SQL_POS_OPERATIONS, &positions, sizeof(positions), nullptr)))
            t.rereadInBlock = (getData & SQL_GD_BLOCK) && (getData & SQL_GD_BOUND) && (positions & SQL_POS_POSITION);
        text_ = t;
    }
    return *text_;
}

Utf8Rows::Utf8Rows(Connection& conn, const QString& sql, std::vector<size_t> capacities, size_t blockRows)
    : blockRows_(std::max<size_t>(blockRows, 1)),
      // A block of one row is the current row, which SQLGetData reaches.
      rereadInBlock_(blockRows_ == 1 || conn.textCapabilities().rereadInBlock)
{
    // With the statement timeout; every call that may wait for the server
    // runs under the connection's watchdog.
    stmt_ = conn.newStatement();
    const SQLHSTMT h = stmt_.get();
    stmt_.check(SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(SQLULEN(blockRows_)), 0),
                "SQLSetStmtAttr");
    status_.resize(blockRows_);
    stmt_.check(SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, status_.data(), 0), "SQLSetStmtAttr");
    stmt_.check(SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched_, 0), "SQLSetStmtAttr");
    SQLSMALLINT count = 0;
    {
        ServerCall call(stmt_.session());
        stmt_.check(SQLExecDirectW(h, wide(conn.dialect().sendable(sql)), SQL_NTS), "SQLExecDirect");
        stmt_.check(SQLNumResultCols(h, &count), "SQLNumResultCols");
    }
    if (size_t(count) != capacities.size())
        throw UsageError("The query returns " + std::to_string(count) + " columns, not "
                         + std::to_string(capacities.size()));
    columns_.resize(capacities.size());
    size_t total = 0;
    for (const size_t capacity : capacities)
        total += blockRows_ * (capacity + 1);
    block_ = takeBlock(total, blockSize_);
    char* next = block_.get();
    for (size_t c = 0; c < columns_.size(); ++c) {
        Column& col = columns_[c];
        col.capacity = capacities[c];
        col.data = next;
        next += blockRows_ * (col.capacity + 1);
        col.lengths.resize(blockRows_);
        stmt_.check(SQLBindCol(h, SQLUSMALLINT(c + 1), SQL_C_CHAR, col.data, SQLLEN(col.capacity + 1),
                               col.lengths.data()),
                    "SQLBindCol");
    }
}

Utf8Rows::~Utf8Rows()
{
    close();
    giveBack(std::move(block_), blockSize_);
}

bool Utf8Rows::fetch()
{
    long_.clear();
    fetched_ = 0;
    if (done_ || !stmt_)
        return false;
    if (!stmt_.live())
        throw DatabaseError("08003", 0, "Connection closed under an open result set");
    ServerCall call(stmt_.session());
    const SQLRETURN rc = SQLFetch(stmt_.get());
    if (rc == SQL_NO_DATA) {
        done_ = true;
        fetched_ = 0;
        return false;
    }
    stmt_.check(rc, "SQLFetch");
    for (SQLULEN r = 0; r < fetched_; ++r)
        if (status_[r] == SQL_ROW_ERROR)
            stmt_.check(SQL_ERROR, "SQLFetch");
    readLongValues();
    return fetched_ > 0;
}

void Utf8Rows::readLongValues()
{
    for (size_t c = 0; c < columns_.size(); ++c) {
        const Column& col = columns_[c];
        for (size_t r = 0; r < fetched_; ++r) {
            const SQLLEN n = col.lengths[r];
            if (n == SQL_NULL_DATA || (n >= 0 && size_t(n) <= col.capacity))
                continue;
            if (!rereadInBlock_)
                throw ValueTooLong();
            const SQLHSTMT h = stmt_.get();
            if (blockRows_ > 1)
                stmt_.check(SQLSetPos(h, SQLSETPOSIROW(r + 1), SQL_POSITION, SQL_LOCK_NO_CHANGE), "SQLSetPos");
            // The length when the driver told it, else read in growing pieces.
            std::string value;
            std::vector<char> piece(n > 0 ? size_t(n) + 1 : col.capacity * 2 + 1);
            for (;;) {
                SQLLEN ind = 0;
                const SQLRETURN rc = SQLGetData(h, SQLUSMALLINT(c + 1), SQL_C_CHAR, piece.data(),
                                                SQLLEN(piece.size()), &ind);
                if (rc == SQL_NO_DATA || ind == SQL_NULL_DATA)
                    break;
                stmt_.check(rc, "SQLGetData");
                const size_t got = (ind == SQL_NO_TOTAL || size_t(ind) >= piece.size()) ? piece.size() - 1 : size_t(ind);
                value.append(piece.data(), got);
                if (rc == SQL_SUCCESS)
                    break;
                if (piece.size() < (size_t(1) << 24))
                    piece.resize(piece.size() * 2);
            }
            long_.push_back({r, c, std::move(value)});
        }
    }
}

std::string_view Utf8Rows::longValue(size_t row, size_t column) const
{
    for (const Long& l : long_)
        if (l.row == row && l.column == column)
            return l.value;
    throw UsageError("A long value was not read");
}

void Utf8Rows::close()
{
    if (stmt_.live()) {
        // Closing a cursor may talk to the server.
        ServerCall call(stmt_.session());
        SQLFreeStmt(stmt_.get(), SQL_CLOSE);
    }
    stmt_.reset();
    done_ = true;
    fetched_ = 0;
}

} // namespace tallyquill::odbc
