#pragma once

// The fast way to read many rows: narrow (SQL_C_CHAR) columns bound to
// buffers that the driver fills a block of rows at a time. Values are the
// driver's UTF-8 bytes, read in place; nothing is converted per column.
// Use it only on a connection whose textCapabilities() say utf8.

#include "odbc/Odbc.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tallyquill::odbc {

// A value longer than its bound buffer on a driver that cannot read it again
// inside a block. Rows of the block before it were delivered, it was not:
// the caller reads the same rows again another way.
class ValueTooLong : public DatabaseError {
public:
    ValueTooLong() : DatabaseError("01004", 0, "A value is longer than the bound buffer") {}
};

class Utf8Rows {
public:
    // Rows fetched at a time: fewer costs calls, more costs cache (above about
    // a thousand both drivers get slower).
    static constexpr size_t kDefaultBlock = 512;

    // Runs a query; `capacities` holds, per column, the longest value in bytes
    // that the buffers take in place. Longer values are read whole on drivers
    // that can, and always in blocks of one row; otherwise they throw
    // ValueTooLong.
    Utf8Rows(Connection& conn, const QString& sql, std::vector<size_t> capacities, size_t blockRows = kDefaultBlock);
    ~Utf8Rows();
    Utf8Rows(const Utf8Rows&) = delete;
    Utf8Rows& operator=(const Utf8Rows&) = delete;

    // Fetches the next block; false at the end of the result.
    bool fetch();
    size_t rows() const { return fetched_; }
    // The value of a column (from 0) of a row of the block; NULL reads empty.
    std::string_view text(size_t row, size_t column) const
    {
        const Column& c = columns_[column];
        const SQLLEN n = c.lengths[row];
        if (n >= 0 && size_t(n) <= c.capacity)
            return {c.data + row * (c.capacity + 1), size_t(n)};
        return n == SQL_NULL_DATA ? std::string_view() : longValue(row, column);
    }
    void close();

private:
    struct Column {
        size_t capacity = 0;          // bytes, without the terminating NUL
        char* data = nullptr;         // blockRows_ values of capacity + 1, in block_
        std::vector<SQLLEN> lengths;  // byte length, SQL_NULL_DATA or SQL_NO_TOTAL
    };
    struct Long {
        size_t row, column;
        std::string value;
    };
    std::string_view longValue(size_t row, size_t column) const;
    void readLongValues();

    // Every column's values, not zeroed (the driver writes a value before it
    // is read); declared before stmt_ so that it outlives the binding.
    std::unique_ptr<char[]> block_;
    size_t blockSize_ = 0;
    StatementHandle stmt_;
    std::vector<Column> columns_;
    std::vector<SQLUSMALLINT> status_;
    std::vector<Long> long_;  // this block's values read whole
    SQLULEN fetched_ = 0;
    size_t blockRows_;
    bool rereadInBlock_;
    bool done_ = false;
};

} // namespace tallyquill::odbc
