#include "tallyquill/msg_logger.h"

#include "writer/Constant.h"
#include "writer/LogConnection.h"
#include "writer/Global.h"
#include "writer/RecordCheck.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "localize/clsLocalize.h"

#include <optional>

namespace tallyquill {

namespace {
std::string s8(const QString& s) { return s.toStdString(); }

void showWarning(int16_t id, const char* english)
{
    ShowMessage(Tr(id, QString::fromUtf8(english)), Tr(sid::Error, QStringLiteral("Error")), MsgIcon::Warning);
}
} // namespace

struct MsgLogger::Impl {
    QString appId;
    QString wsId;
    QString dsn;
    QString login;
    QString password;
    LogConnection link;
    bool tableCreated = false;
    QString tableName;

    // The insert is prepared once per connection and table.
    std::unique_ptr<odbc::Statement> insert;
    QString insertTable;

    void requireValidAppId() const
    {
        if (!IsValidAppId(appId))
            throw InvalidAppIdError(s8(appId));
    }
    // Creates the table and its index; true when the table exists now.
    // Throws the database's reason when it neither exists nor could be made.
    bool createTable();
    void insertRow(const std::vector<QString>& values);
};

bool MsgLogger::Impl::createTable()
{
    odbc::Connection& conn = link.get();
    if (!conn.isOpen())
        return false;
    try {
        conn.execute(CreateTableSql(tableName));
    } catch (const DatabaseError& e) {
        if (odbc::isExistingTable(e))
            return true;
        throw;
    }
    try {
        conn.execute(CreateIndexSql(tableName));
    } catch (const DatabaseError&) {
        // The table serves without it, only sorts more slowly.
    }
    return true;
}

void MsgLogger::Impl::insertRow(const std::vector<QString>& values)
{
    if (!insert || insertTable != tableName) {
        insert.reset();
        insert = link.get().prepare(
            QStringLiteral("INSERT INTO ") + tableName
            + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data) "
                             "VALUES (?,?,?,?,?,?,?)"));
        insertTable = tableName;
    }
    insert->setParameters(values);
    insert->execute();
}

MsgLogger::MsgLogger() : d(std::make_unique<Impl>())
{
    // The messages need the shared localizer even in a process without viewer.
    Localizer();
}

MsgLogger::~MsgLogger() = default;

std::string MsgLogger::AppID() const { return s8(d->appId); }
void MsgLogger::setAppID(const std::string& value)
{
    d->appId = HostText(value, "application ID").toUpper();
    d->tableName = TableName(d->appId);
}
std::string MsgLogger::WorkstationID() const { return s8(d->wsId); }
void MsgLogger::setWorkstationID(const std::string& value)
{
    d->wsId = HostText(value, "workstation ID").toUpper();
}
std::string MsgLogger::DSN() const { return s8(d->dsn); }
void MsgLogger::setDSN(const std::string& value) { d->dsn = HostText(value, "data source name"); }
std::string MsgLogger::LoginID() const { return s8(d->login); }
void MsgLogger::setLoginID(const std::string& value) { d->login = HostText(value, "login"); }
std::string MsgLogger::Password() const { return s8(d->password); }
void MsgLogger::setPassword(const std::string& value) { d->password = HostText(value, "password"); }

QString CreateTableSql(const QString& table)
{
    return QStringLiteral("CREATE TABLE ") + table
           + QStringLiteral("(log_AppID char(10) not null, "
                            "log_WsID char(16) not null, "
                            "log_Date char(8) not null, "
                            "log_Time char(6) not null, "
                            "log_User char(15), "
                            "log_EventType char(8), "
                            "log_Data varchar(250))");
}

QString CreateIndexSql(const QString& table)
{
    // Without it every first page of the viewer sorts the whole table.
    return QStringLiteral("CREATE INDEX ") + table + QStringLiteral("_date_time ON ") + table
           + QStringLiteral(" (log_Date, log_Time)");
}

int16_t MsgLogger::WriteLog(const std::string& UserName, const std::string& EventType, const std::string& LogData)
{
    if (d->link.Check(d->dsn, d->login, d->password) == 1)
        return 1;
    if (d->appId.isEmpty() || d->wsId.isEmpty()) {
        showWarning(sid::NeedAppAndWorkstation, "You must provide AppID and WorkstationID");
        return 1;
    }
    const QString user = HostText(UserName, "user name").toUpper();
    const QString eventType = HostText(EventType, "event type").toUpper();
    const QString data = HostText(LogData, "activity text");
    CheckRecord(d->appId, d->wsId, user, eventType, data);

    // The table counts as made only once it was: a first write behind
    // another's lock tries again next time.
    std::optional<DatabaseError> createFailure;
    if (!d->tableCreated) {
        try {
            d->tableCreated = d->createTable();
        } catch (const DatabaseError& e) {
            createFailure = e;
        }
    }

    const Stamp now = CurrentStamp();
    const std::vector<QString> values{d->appId, d->wsId, now.date, now.time, user, eventType, data};
    for (bool retried = false;; retried = true) {
        try {
            d->insertRow(values);
            return 0;
        } catch (const DatabaseError& e) {
            if (d->link.ForgetIfLost(e.connectionLost())) {
                d->insert.reset();
                throw;
            }
            if (retried || !odbc::isMissingTable(e))
                throw;
            // Never made, or dropped since: the reason it could not be made
            // says more than "no such table".
            if (createFailure)
                throw *createFailure;
            d->insert.reset();
            d->tableCreated = d->createTable();
        }
    }
}

void MsgLogger::CreateTable()
{
    d->requireValidAppId();
    // Whatever happens, the insert that follows tells the truth.
    try {
        d->createTable();
    } catch (const DatabaseError&) {
    }
}

} // namespace tallyquill
