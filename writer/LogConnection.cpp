#include "writer/LogConnection.h"

#include "writer/Constant.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "localize/clsLocalize.h"

namespace tallyquill {

QString ConnectString(const QString& dsn, const QString& login, const QString& password)
{
    return QStringLiteral("UID=") + login + QStringLiteral(";PWD=") + password + QStringLiteral(";DSN=") + dsn
           + QStringLiteral(";");
}

int16_t OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login, const QString& password)
{
    try {
        conn.open(ConnectString(dsn, login, password));
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

LogConnection::LogConnection() = default;
LogConnection::~LogConnection() = default;

int16_t LogConnection::Check(const QString& dsn, const QString& login, const QString& password)
{
    if (dsn.isEmpty()) {
        ShowMessage(Tr(sid::NoDsn, QStringLiteral("No DSN provided")), Tr(sid::Error, QStringLiteral("Error")),
                    MsgIcon::Warning);
        return 1;
    }
    if (!connected_) {
        status_ = OpenLogConnection(get(), dsn, login, password);
        connected_ = status_ == 0;
        if (connected_) {
            dsn_ = dsn;
            login_ = login;
            password_ = password;
        }
    }
    return status_;
}

void LogConnection::openAnother(odbc::Connection& other) const
{
    if (!connected_)
        throw Error("The log connection is not open");
    other.open(ConnectString(dsn_, login_, password_));
}

bool LogConnection::ForgetIfLost(bool lost)
{
    if (!lost && !(conn_ && conn_->isDead()))
        return false;
    conn_.reset();
    connected_ = false;
    status_ = 0;
    return true;
}

odbc::Connection& LogConnection::get()
{
    if (!conn_)
        conn_ = std::make_unique<odbc::Connection>();
    return *conn_;
}

} // namespace tallyquill
