#pragma once

#include "tallyquill/export.h"

#include <QString>

#include <memory>

namespace tallyquill {

class DatabaseError;

namespace odbc {
class Connection;
}

// Opens the connection without prompting, the data source name, login and
// password passed apart: true when connected, false when any step failed.
// Shows nothing; the reason of a failure is kept for LastOpenFailure().
bool OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login, const QString& password);
// Why the last failed OpenLogConnection of this thread failed: the driver's
// SQLSTATE and text, with a hint where the data source is unknown.
QString LastOpenFailure();
// The text of a failure as the operator reads it: "[SQLSTATE] text" for a
// database error, with the hint for an unknown data source.
QString FailureText(const std::exception& e);
// The same two texts for a message box: plain text in the operator's
// language around the driver's own description.
QString LastOpenFailureForOperator();
QString OperatorFailureText(const std::exception& e);

// The one connection an owner keeps: created and opened at its first need,
// kept for the owner's life, and dropped when it breaks, so that the next
// operation opens a fresh one instead of failing for good.
class LogConnection {
public:
    LogConnection();
    ~LogConnection();

    // The connection check: opens the connection unless that was done, and
    // answers whether it is open. It shows nothing: the reason of a failure,
    // "No DSN provided" among them, is kept for LastOpenFailure().
    bool Check(const QString& dsn, const QString& login, const QString& password);
    // The same for a caller that reports the reason itself: a failed opening
    // throws its DatabaseError.
    odbc::Connection& open(const QString& dsn, const QString& login, const QString& password);
    // Whether a failure left the connection unusable: the driver said so, or
    // the connection reports itself dead. Decided here and nowhere else.
    bool isGone(const DatabaseError& failure) const;
    // Drops the connection when isGone(); answers whether it did.
    bool dropIfGone(const DatabaseError& failure);
    void drop();
    // The connection object, created (not opened) when there is none.
    odbc::Connection& get();
    bool connected() const { return connected_; }

private:
    std::unique_ptr<odbc::Connection> conn_;
    bool connected_ = false;
};

} // namespace tallyquill
