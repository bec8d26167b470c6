#pragma once

// The spooled writer: WriteLog appends to the spool of its data source and
// table and returns; one thread per spool and process makes the appended
// records durable (one fsync for all that arrived while the previous one
// ran), another delivers them to the database. Every MsgLogger of a process
// that writes to the same data source and table shares one Spool.

#include "tallyquill/export.h"
#include "spool/SpoolFile.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace tallyquill::spool {

// [Writer] in $XDG_CONFIG_HOME/Tallyquill/tallyquill.ini: Spool=1 turns the
// mode on for every logger of the user (the way for component hosts), and
// SpoolLimitMB bounds what may wait in one spool.
struct Settings {
    bool enabled = false;
    uint64_t limitBytes = uint64_t(256) << 20;
};
Settings ReadSettings();
QString SettingsPath();

class Spool {
public:
    struct Target {
        QString dsn, table, login, password;
        uint64_t limitBytes = Settings{}.limitBytes;
    };
    // The process's spool for target.dsn + target.table, opened (and its
    // threads started) by the first caller. Throws SpoolError.
    static std::shared_ptr<Spool> acquire(const Target& target);
    // Stops the threads: delivers what it can within the exit bound (or until
    // a delivery attempt fails), then leaves the rest in the file.
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    const QString& table() const;
    const QString& dsn() const;
    // The credentials the deliverer uses: the last logger's that wrote.
    void setCredentials(const QString& login, const QString& password);
    // On the file (the process may be killed right after) when it returns.
    void append(const Record& record);
    int64_t pending();
    QString lastError();
    // Waits until nothing is pending or the time is up; answers whether the
    // spool is empty.
    bool flush(std::chrono::milliseconds timeout);
    // Delivery lock requests so far (see SpoolFile::deliveryLockAttempts).
    int64_t deliveryLockAttempts() const;

    struct State;

private:
    explicit Spool(std::shared_ptr<State> state);
    std::shared_ptr<State> s_;
};

// What `tallyquill spool status` lists.
struct SpoolStatus {
    QString path, dsn, table, login;
    int64_t pending = 0;
    QString oldestDate, oldestTime;  // stored forms, empty when nothing waits
    QString lastError;
    int64_t rejected = 0;  // records set aside in <spool>.rejected
    // Damage: bytes still waiting in the file (from damagedAt), and what
    // was set aside in damagedPath, in how many pieces.
    uint64_t damagedWaiting = 0, damagedAt = 0, damagedSetAside = 0;
    int64_t damagedRegions = 0;
    QString damagedPath;
    QString problem;       // why the file could not be read, if it could not
};
std::vector<SpoolStatus> ListSpools();
// The last error with what was set aside as damage or still waits.
QString DamageNote(const SpoolStatus& status);

// Delivers one spool file now, waiting for another process's deliverer when
// one holds it, until it is empty, a delivery fails, or the time is up.
// Removes the file when it ends empty. Answers what is left and why.
struct FlushOutcome {
    int64_t remaining = 0;
    QString error;
    bool databaseError = false;
    bool damageSetAside = false;  // in this run, to the spool's .damaged file
};
FlushOutcome FlushSpoolFile(const QString& path, const QString* login, const QString& password,
                            std::chrono::milliseconds timeout);

} // namespace tallyquill::spool
