#include "writer/LogConnection.h"

#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "odbc/Odbc.h"

namespace tallyquill {

namespace {
thread_local QString lastOpenFailure;
thread_local QString lastOpenFailureForOperator;

bool UnknownDataSource(const std::exception& e)
{
    const auto* db = dynamic_cast<const DatabaseError*>(&e);
    return db && db->sqlstate() == "IM002";
}
} // namespace

QString FailureText(const std::exception& e)
{
    QString text = QString::fromStdString(e.what());
    if (UnknownDataSource(e))
        text += QStringLiteral(" (register it with `tallyquill setup`, or list the data sources with "
                               "`odbcinst -q -s`)");
    return text;
}

QString OperatorFailureText(const std::exception& e)
{
    QString text = QString::fromUtf8(e.what());
    if (UnknownDataSource(e))
        text += Tr(sid::UnknownDsnHint, QStringLiteral(" (register it with tallyquill setup, or list the data "
                                                       "sources with odbcinst -q -s)"));
    return text;
}

bool OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login, const QString& password)
{
    try {
        conn.open(dsn, login, password);
        lastOpenFailure.clear();
        lastOpenFailureForOperator.clear();
        return true;
    } catch (const std::exception& e) {
        lastOpenFailure = QStringLiteral("Cannot connect to the data source: ") + FailureText(e);
        lastOpenFailureForOperator =
            Tr(sid::CannotConnect, QStringLiteral("Cannot connect to the data source: ")) + OperatorFailureText(e);
        return false;
    }
}

QString LastOpenFailure() { return lastOpenFailure; }
QString LastOpenFailureForOperator() { return lastOpenFailureForOperator; }

LogConnection::LogConnection() = default;
LogConnection::~LogConnection() = default;

bool LogConnection::Check(const QString& dsn, const QString& login, const QString& password)
{
    if (dsn.isEmpty()) {
        lastOpenFailure = QStringLiteral("No DSN provided");
        lastOpenFailureForOperator = Tr(sid::NoDsn, lastOpenFailure);
        return false;
    }
    if (!connected_) {
        connected_ = OpenLogConnection(get(), dsn, login, password);
    }
    return connected_;
}

odbc::Connection& LogConnection::open(const QString& dsn, const QString& login, const QString& password)
{
    if (!connected_) {
        get().open(dsn, login, password);
        connected_ = true;
    }
    return *conn_;
}

bool LogConnection::isGone(const DatabaseError& failure) const
{
    return failure.connectionLost() || (conn_ && conn_->isDead());
}

bool LogConnection::dropIfGone(const DatabaseError& failure)
{
    if (!isGone(failure))
        return false;
    drop();
    return true;
}

void LogConnection::drop()
{
    conn_.reset();
    connected_ = false;
}

odbc::Connection& LogConnection::get()
{
    if (!conn_)
        conn_ = std::make_unique<odbc::Connection>();
    return *conn_;
}

} // namespace tallyquill
