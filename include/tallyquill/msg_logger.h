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
    int16_t WriteLog(const std::string& UserName, const std::string& EventType,
                     const std::string& LogData);

    // Creates <AppID>_logs and its (log_Date, log_Time) index on the open
    // connection; any database failure is ignored (WriteLog reports it).
    void CreateTable();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tallyquill
