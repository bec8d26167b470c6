#pragma once

#include <QString>

#include <cstdint>
#include <memory>

namespace tallyquill {

namespace odbc {
class Connection;
}

// "UID=<login>;PWD=<password>;DSN=<name>;"
QString ConnectString(const QString& dsn, const QString& login, const QString& password);

// Opens the connection without prompting: 0 when connected, 1 when any step
// failed. Shows nothing.
int16_t OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login,
                          const QString& password);

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
    // Opens `other` on the data source this connection was opened with, so
    // that later changes of the owner's DSN, login or password do not apply
    // to it either. Throws when this one is not connected.
    void openAnother(odbc::Connection& other) const;

private:
    std::unique_ptr<odbc::Connection> conn_;
    QString dsn_;
    QString login_;
    QString password_;
    bool connected_ = false;
    int16_t status_ = 0;
};

} // namespace tallyquill
