#pragma once

#include <string>

#include "tallyquill/export.h"

namespace tallyquill {

// Registers (or refreshes) a per-user ODBC data source on a SQLite file with
// the settings that keep it fast and safe for several writers: StepAPI=1,
// JournalMode=WAL, SyncPragma=NORMAL and a busy timeout. An empty path means
// $XDG_DATA_HOME/tallyquill/<dsn>.sqlite. Answers the database file's path.
// Running it again is harmless. Throws tallyquill::Error on failure.
TQ_API std::string SetupEmbeddedDefault(const std::string& dsn = "Tallyquill",
                                        const std::string& databasePath = {});

} // namespace tallyquill
