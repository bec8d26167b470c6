#pragma once

// What differs between the databases the log lives in, answered in one
// place: callers ask the dialect instead of comparing product names.

#include "tallyquill/error.h"

#include <QString>

#include <vector>

namespace tallyquill::odbc {

class Dialect {
public:
    enum class Kind { SQLite, PostgreSQL, Other };

    // The dialect of a database product as SQLGetInfo(SQL_DBMS_NAME) names it.
    static const Dialect& ofDbms(const QString& dbmsName);
    static const Dialect& sqlite();
    static const Dialect& postgresql();

    Kind kind() const { return kind_; }
    bool isSqlite() const { return kind_ == Kind::SQLite; }
    // A file in-process, not a server: nothing to watch for a frozen peer,
    // and a lock waits only as long as the data source's busy timeout.
    bool isEmbedded() const { return kind_ == Kind::SQLite; }

    // The query whose one answer says whether a backslash in a string
    // literal is an escape ("off" or none: it is); empty where it never is.
    QString backslashEscapesQuery() const;
    bool backslashEscapesFromAnswer(const QString& answer) const;

    // `column` as LIKE should see it so that ASCII letters match in either
    // case and every other character only as itself: SQLite's LIKE does so
    // already; PostgreSQL's is exact, and ILIKE would fold other letters too;
    // another database's column is lowered in its own way.
    QString asciiCaseFolded(const QString& column) const;
    // The statement that begins a transaction holding the write lock from
    // the start; empty where turning autocommit off begins the transaction.
    QString writeLockBegin() const;
    // The collation that orders text by its UTF-8 bytes, and whether char
    // columns already compare without their trailing blanks (PostgreSQL's
    // do; elsewhere rtrim() must make them), for an order both agree on.
    QString byteCollation() const;
    bool charComparesUnpadded() const { return kind_ == Kind::PostgreSQL; }

    // Whether the error says the table does not exist: SQLSTATE 42S02 from
    // ODBC, 42P01 from PostgreSQL, the SQLite driver's text under HY000.
    bool isMissingTable(const DatabaseError& e) const;
    // The same, for an error whose database is not known.
    static bool isMissingTableInAny(const DatabaseError& e);

    // The unixODBC driver a per-user data source of this dialect names, and
    // the attribute that holds its database (SQLite's file, PostgreSQL's name).
    QString driver() const;
    QString databaseAttribute() const { return QStringLiteral("Database"); }
    // The embedded database's file name for a data source.
    QString databaseFileName(const QString& dsn) const;
    // The query listing the database's own files (column "file"), with the
    // suffixes of the files kept beside each; empty for a server.
    QString databaseFilesQuery() const;
    std::vector<QString> databaseFileSuffixes() const;
    // The connect-string attribute that bounds a wait for another writer's
    // lock, in milliseconds; empty where the driver has none.
    QString lockWaitAttribute() const;

private:
    explicit Dialect(Kind kind) : kind_(kind) {}
    Kind kind_;
};

} // namespace tallyquill::odbc
