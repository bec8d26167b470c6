#pragma once

#include <QString>

#include <cstdint>
#include <memory>

namespace tallyquill {

namespace odbc {
class Connection;
}

// Opens the connection without prompting, the data source name, login and
// password passed apart: 0 when connected, 1 when any step failed. Shows
// nothing; the reason of a failure is kept for LastOpenFailure().
int16_t OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login,
                          const QString& password);
// Why the last failed OpenLogConnection of this thread failed: the driver's
// SQLSTATE and text, with a hint where the data source is unknown.
QString LastOpenFailure();
// The text of a failure as the operator reads it: "[SQLSTATE] text" for a
// database error, with the hint for an unknown data source.
QString FailureText(const std::exception& e);

// The one connection an owner keeps: created and opened at its first need,
// kept for the owner's life, and dropped when it breaks, so that the next
// operation opens a fresh one instead of failing for good.
class LogConnection {
public:
    LogConnection();
    ~LogConnection();

    // The connection check: without a DSN it tells the operator and answers
    // 1; otherwise it opens the connection unless that was done, and answers
    // the status of the last opening (0 once connected).
    int16_t Check(const QString& dsn, const QString& login, const QString& password);
    // Drops the connection when a failure broke it; answers whether it did.
    bool ForgetIfLost(bool lost);
    // The connection object, created (not opened) when there is none.
    odbc::Connection& get();
    bool connected() const { return connected_; }
    int16_t status() const { return status_; }

private:
    std::unique_ptr<odbc::Connection> conn_;
    bool connected_ = false;
    int16_t status_ = 0;
};

} // namespace tallyquill
