#include "tallyquill/msg_logger.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "writer/Spool.h"
#include "localize/clsLocalize.h"
#include "odbc/Odbc.h"
#include "writer/LogConnection.h"
#include "writer/LogRecord.h"
#include "writer/LogTable.h"

namespace tallyquill {

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s8(const QString& s) { return s.toStdString(); }
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

    // Spooled mode: the spool of the current data source and table, shared
    // with the process's other loggers on them.
    spool::Settings spoolSettings = spool::ReadSettings();
    std::shared_ptr<spool::Spool> spool;

    spool::Spool& currentSpool()
    {
        if (!spool || spool->dsn() != dsn || spool->table() != tableName)
            spool = spool::Spool::acquire({dsn, tableName, login, password, spoolSettings.limitBytes});
        spool->setCredentials(login, password);
        return *spool;
    }

    // The spool this logger writes to, or last wrote to; none before that
    // is known.
    spool::Spool* knownSpool()
    {
        if (spoolSettings.enabled && !dsn.isEmpty() && IsValidAppId(appId))
            return &currentSpool();
        return spool.get();
    }
};

MsgLogger::MsgLogger() : d(std::make_unique<Impl>())
{
    // The messages need the shared localizer even in a process without viewer.
    Localizer();
}

MsgLogger::~MsgLogger() = default;

std::string MsgLogger::AppID() const { return s8(d->appId); }
void MsgLogger::setAppID(const std::string& value)
{
    d->appId = q(value).toUpper();
    d->tableName = TableName(d->appId);
}
std::string MsgLogger::WorkstationID() const { return s8(d->wsId); }
void MsgLogger::setWorkstationID(const std::string& value) { d->wsId = q(value).toUpper(); }
std::string MsgLogger::DSN() const { return s8(d->dsn); }
void MsgLogger::setDSN(const std::string& value) { d->dsn = q(value); }
std::string MsgLogger::LoginID() const { return s8(d->login); }
void MsgLogger::setLoginID(const std::string& value) { d->login = q(value); }
std::string MsgLogger::Password() const { return s8(d->password); }
void MsgLogger::setPassword(const std::string& value) { d->password = q(value); }

int16_t MsgLogger::WriteLog(const std::string& userName, const std::string& eventType, const std::string& logData)
{
    const bool spooled = d->spoolSettings.enabled;
    if (spooled) {
        // The spool needs the data source's name, never its connection.
        if (d->dsn.isEmpty()) {
            ShowError(sid::NoDsn, QStringLiteral("No DSN provided"));
            return 1;
        }
    } else if (!d->link.Check(d->dsn, d->login, d->password)) {
        return 1;
    }
    if (d->appId.isEmpty() || d->wsId.isEmpty()) {
        ShowError(sid::NeedAppAndWorkstation, QStringLiteral("You must provide AppID and WorkstationID"));
        return 1;
    }
    d->requireValidAppId();
    // Every check above holds for both modes; from here the record goes to
    // the spool or straight to the database.
    if (spooled) {
        const Stamp now = CurrentStamp();
        try {
            d->currentSpool().append({d->appId, d->wsId, now.date, now.time, q(userName).toUpper(),
                                      q(eventType).toUpper(), q(logData)});
        } catch (const spool::SpoolError& e) {
            ShowMessage(QString::fromUtf8(e.what()), Tr(sid::Error, QStringLiteral("Error")), MsgIcon::Warning);
            return 1;
        }
        return 0;
    }
    if (!d->tableCreated) {
        CreateTable();
        d->tableCreated = true;
    }

    const Stamp now = CurrentStamp();
    try {
        if (!d->insert || d->insertTable != d->tableName) {
            d->insert.reset();
            d->insert = d->link.get().prepare(
                QStringLiteral("INSERT INTO ") + d->tableName
                + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data) "
                                 "VALUES (?,?,?,?,?,?,?)"));
            d->insertTable = d->tableName;
        }
        d->insert->setParameters({d->appId, d->wsId, now.date, now.time, q(userName).toUpper(),
                                  q(eventType).toUpper(), q(logData)});
        d->insert->execute();
    } catch (const DatabaseError& e) {
        if (d->link.dropIfGone(e))
            d->insert.reset();
        throw;
    }
    return 0;
}

void MsgLogger::CreateTable()
{
    // It reports nothing: without a name that can be a table there is
    // nothing to create, and WriteLog tells the host why.
    if (!IsValidAppId(d->appId))
        return;
    const QString& table = d->tableName;
    const QString createTable = CreateTableSql(table);
    const QString createIndex = CreateIndexSql(table);
    // An existing table or index, or an unopened connection, is not an error
    // here: whatever happens, the insert that follows tells the truth.
    for (const QString& sql : {createTable, createIndex}) {
        try {
            odbc::Connection& conn = d->link.get();
            if (conn.isOpen())
                conn.execute(sql);
        } catch (const std::exception&) {
        }
    }
}

void MsgLogger::setSpooled(bool on) { d->spoolSettings.enabled = on; }
bool MsgLogger::spooled() const { return d->spoolSettings.enabled; }

int64_t MsgLogger::pendingCount() const
{
    try {
        spool::Spool* s = d->knownSpool();
        return s ? s->pending() : 0;
    } catch (const std::exception&) {
        return -1;
    }
}

std::string MsgLogger::lastDeliveryError() const
{
    try {
        spool::Spool* s = d->knownSpool();
        return s ? s8(s->lastError()) : std::string();
    } catch (const std::exception& e) {
        return e.what();
    }
}

bool MsgLogger::flushSpool(int timeoutMs) const
{
    try {
        spool::Spool* s = d->knownSpool();
        return !s || s->flush(std::chrono::milliseconds(std::max(timeoutMs, 0)));
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tallyquill
