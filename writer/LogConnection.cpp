#include "writer/LogConnection.h"

#include "writer/Constant.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "localize/clsLocalize.h"

namespace tallyquill {

namespace {
thread_local QString lastOpenFailure;
} // namespace

QString FailureText(const std::exception& e)
{
    const auto* db = dynamic_cast<const DatabaseError*>(&e);
    if (!db)
        return QString::fromStdString(e.what());
    QString text = QString::fromStdString(e.what());
    if (db->sqlstate() == "IM002")
        text += QStringLiteral(" (register it with `tallyquill setup`, or list the data sources with "
                               "`odbcinst -q -s`)");
    return text;
}

int16_t OpenLogConnection(odbc::Connection& conn, const QString& dsn, const QString& login, const QString& password)
{
    try {
        conn.open(dsn, login, password);
        lastOpenFailure.clear();
        return 0;
    } catch (const std::exception& e) {
        lastOpenFailure = QStringLiteral("Cannot connect to the data source: ") + FailureText(e);
        return 1;
    }
}

QString LastOpenFailure() { return lastOpenFailure; }

LogConnection::LogConnection() = default;
LogConnection::~LogConnection() = default;

int16_t LogConnection::Check(const QString& dsn, const QString& login, const QString& password)
{
    if (dsn.isEmpty()) {
        lastOpenFailure.clear();  // the message says it all
        ShowMessage(Tr(sid::NoDsn, QStringLiteral("No DSN provided")), Tr(sid::Error, QStringLiteral("Error")),
                    MsgIcon::Warning);
        return 1;
    }
    if (!connected_) {
        status_ = OpenLogConnection(get(), dsn, login, password);
        connected_ = status_ == 0;
    }
    return status_;
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
