#include "tallyquill/msg_logger.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "spool/Spool.h"
#include "core/RecordCheck.h"
#include "localize/clsLocalize.h"
#include "odbc/Odbc.h"
#include "writer/LogConnection.h"
#include "core/LogRecord.h"
#include "core/LogTable.h"
#include "core/Schema.h"

#include <mutex>
#include <optional>

namespace tallyquill {

namespace {
std::string s8(const QString& s) { return s.toStdString(); }
} // namespace

struct MsgLogger::Impl {
    // Hosts share one logger between threads: every member runs under it.
    mutable std::mutex mutex;
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
        insert = link.get().prepare(InsertSql(tableName));
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

std::string MsgLogger::AppID() const { const std::lock_guard lock(d->mutex); return s8(d->appId); }
void MsgLogger::setAppID(const std::string& value)
{
    const std::lock_guard lock(d->mutex);
    d->appId = HostText(value, "application ID").toUpper();
    d->tableName = TableName(d->appId);
}
std::string MsgLogger::WorkstationID() const { const std::lock_guard lock(d->mutex); return s8(d->wsId); }
void MsgLogger::setWorkstationID(const std::string& value)
{
    const std::lock_guard lock(d->mutex);
    d->wsId = HostText(value, "workstation ID").toUpper();
}
std::string MsgLogger::DSN() const { const std::lock_guard lock(d->mutex); return s8(d->dsn); }
void MsgLogger::setDSN(const std::string& value) { const std::lock_guard lock(d->mutex); d->dsn = HostText(value, "data source name"); }
std::string MsgLogger::LoginID() const { const std::lock_guard lock(d->mutex); return s8(d->login); }
void MsgLogger::setLoginID(const std::string& value) { const std::lock_guard lock(d->mutex); d->login = HostText(value, "login"); }
std::string MsgLogger::Password() const { const std::lock_guard lock(d->mutex); return s8(d->password); }
void MsgLogger::setPassword(const std::string& value) { const std::lock_guard lock(d->mutex); d->password = HostText(value, "password"); }

int16_t MsgLogger::WriteLog(const std::string& userName, const std::string& eventType, const std::string& logData)
{
    const std::lock_guard lock(d->mutex);
    const bool spooled = d->spoolSettings.enabled;
    if (d->dsn.isEmpty()) {
        ShowError(sid::NoDsn, QStringLiteral("No DSN provided"));
        return 1;
    }
    // The spool needs the data source's name, never its connection.
    if (!spooled && !d->link.Check(d->dsn, d->login, d->password))
        return 1;
    if (d->appId.isEmpty() || d->wsId.isEmpty()) {
        ShowError(sid::NeedAppAndWorkstation, QStringLiteral("You must provide AppID and WorkstationID"));
        return 1;
    }
    d->requireValidAppId();
    const QString user = HostText(userName, "user name").toUpper();
    const QString event = HostText(eventType, "event type").toUpper();
    const QString data = HostText(logData, "activity text");
    CheckRecord(d->appId, d->wsId, user, event, data);
    // Every check above holds for both modes; from here the record goes to
    // the spool or straight to the database.
    if (spooled) {
        const Stamp now = CurrentStamp();
        try {
            d->currentSpool().append({d->appId, d->wsId, now.date, now.time, user, event, data});
        } catch (const spool::SpoolError& e) {
            ShowMessage(e.forOperator(), Tr(sid::Error, QStringLiteral("Error")), MsgIcon::Warning);
            return 1;
        }
        return 0;
    }

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
    const std::vector<QString> values{d->appId, d->wsId, now.date, now.time, user, event, data};
    for (bool retried = false;; retried = true) {
        try {
            d->insertRow(values);
            return 0;
        } catch (const DatabaseError& e) {
            if (d->link.dropIfGone(e)) {
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
    const std::lock_guard lock(d->mutex);
    // It reports nothing: without a name that can be a table there is
    // nothing to create, and WriteLog tells the host why.
    if (!IsValidAppId(d->appId))
        return;
    // Whatever happens, the insert that follows tells the truth.
    try {
        d->createTable();
    } catch (const DatabaseError&) {
    }
}

void MsgLogger::setSpooled(bool on) { const std::lock_guard lock(d->mutex); d->spoolSettings.enabled = on; }
bool MsgLogger::spooled() const { const std::lock_guard lock(d->mutex); return d->spoolSettings.enabled; }

int64_t MsgLogger::pendingCount() const
{
    const std::lock_guard lock(d->mutex);
    try {
        spool::Spool* s = d->knownSpool();
        return s ? s->pending() : 0;
    } catch (const std::exception&) {
        return -1;
    }
}

std::string MsgLogger::lastDeliveryError() const
{
    const std::lock_guard lock(d->mutex);
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
        // The wait runs outside the lock, so other threads keep writing.
        std::shared_ptr<spool::Spool> s;
        {
            const std::lock_guard lock(d->mutex);
            if (d->knownSpool())
                s = d->spool;
        }
        return !s || s->flush(std::chrono::milliseconds(std::max(timeoutMs, 0)));
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tallyquill
