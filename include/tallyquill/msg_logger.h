#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tallyquill/error.h"
#include "tallyquill/export.h"

namespace tallyquill {

// Writes one stamped row per event into the table <AppID>_logs of an ODBC data
// source. Texts are UTF-8: a setter or WriteLog given bytes that are not
// throws InvalidTextError. The connection is opened by the first WriteLog that
// finds a DSN and kept for the object's life (a broken one is reopened).
// Thread-safe: every member may be called from several threads on one
// object; the calls are serialised inside (flushSpool waits without blocking
// the others).
class TQ_API MsgLogger {
public:
    MsgLogger();
    ~MsgLogger();
    MsgLogger(const MsgLogger&) = delete;
    MsgLogger& operator=(const MsgLogger&) = delete;

    std::string AppID() const;                  // held in capitals
    void setAppID(const std::string& value);
    std::string WorkstationID() const;          // held in capitals
    void setWorkstationID(const std::string& value);
    std::string DSN() const;
    void setDSN(const std::string& value);
    std::string LoginID() const;
    void setLoginID(const std::string& value);
    std::string Password() const;
    void setPassword(const std::string& value);

    // 0: the row was written. 1: nothing was written (no DSN, the connection
    // could not be opened, or an identifier is missing); the operator was told
    // where there is something to tell. Before anything is written, the row is
    // checked: InvalidAppIdError for an AppID that cannot name a table,
    // InvalidTextError for a NUL, DatabaseError 22001 for a value longer than
    // its column (on every database). Throws DatabaseError when the database
    // rejects the insert. A missing table is made, also after the first write.
    [[nodiscard]] int16_t WriteLog(const std::string& userName, const std::string& eventType,
                                   const std::string& logData);

    // Creates <AppID>_logs and its (date, time) index on the open
    // connection. Reports nothing: without an open connection or an AppID that
    // can name a table it does nothing, and any database failure is ignored
    // (WriteLog reports it).
    void CreateTable();

    // Spooled mode, off unless [Writer] Spool=1 in the user's
    // $XDG_CONFIG_HOME/Tallyquill/tallyquill.ini: WriteLog checks and stamps
    // the record, appends it to a local spool file and answers 0 without
    // touching the database (1, with a message, when the spool is full or
    // cannot be written). A background thread delivers the spool in order,
    // exactly once, retrying while the database is away.
    void setSpooled(bool on);
    bool spooled() const;
    // Records of this logger's data source and table still in the spool,
    // from any process; -1 when the spool cannot be read.
    int64_t pendingCount() const;
    // Why the last delivery attempt failed; empty once one succeeds.
    std::string lastDeliveryError() const;
    // Waits up to timeoutMs for the spool to empty; answers whether it did.
    bool flushSpool(int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tallyquill
