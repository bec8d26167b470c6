#pragma once

// What differs between the databases the log lives in, answered in one
// place: callers ask the dialect instead of comparing product names.

#include "tallyquill/error.h"

#include <QString>

#include <cstdint>
#include <utility>
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
    // another database's column is lowered in its own way. On PostgreSQL the
    // activity index cannot serve a LIKE on it (see activityIndexed).
    QString asciiCaseFolded(const QString& column) const;
    // The same fold as the activity index holds it, for a condition meant to
    // reach the index (PostgreSQL); empty where the filter names the index
    // otherwise (SQLite).
    QString activityIndexed(const QString& column) const;
    // The statement as the driver can take it. SQLite's driver is reached
    // through the driver manager's narrow conversion, which garbles a
    // character beyond U+FFFF and with it the literal around it: inside a
    // literal such a character is sent as char(N) instead.
    QString sendable(const QString& sql) const;
    // The activity index of a log table, which makes "activity contains"
    // fast. Its name comes from the table's (validated) name; on PostgreSQL
    // cut to the 63 characters an identifier keeps.
    QString activityIndexName(const QString& table) const;
    // The objects that must all exist for the index to be used (SQLite: the
    // FTS5 table and the triggers that keep it).
    std::vector<QString> activityIndexObjects(const QString& table) const;
    // A catalog query with its text parameters, answering one integer.
    struct CatalogQuery {
        QString sql;
        std::vector<QString> parameters;
    };
    // How many of those objects exist.
    CatalogQuery activityIndexLookup(const QString& table) const;
    // 1 while an existing index can be trusted: PostgreSQL's is valid (a
    // failed concurrent build leaves an invalid one); SQLite's holds the
    // table's first and last rows (a VACUUM renumbers the rows of a table
    // with gaps, and the index would name the wrong ones).
    CatalogQuery activityIndexInStep(const QString& table) const;
    // What the index needs before it can be made (PostgreSQL: the pg_trgm
    // extension); empty when nothing.
    QString activityIndexPrerequisite() const;
    // The statements that make it, and drop it, in order; SQLite's are to
    // run in one transaction. Empty where the database has no such index.
    std::vector<QString> activityIndexCreate(const QString& table) const;
    std::vector<QString> activityIndexDrop(const QString& table) const;
    // The condition the activity filter adds before its LIKE to reach the
    // index: "%1" takes the lookup, the index's test that a row holds some
    // trigrams (SQLite: an FTS5 query as a literal; PostgreSQL: LIKEs on
    // activityIndexed, ANDed). With `drive`, the rows the index finds lead
    // the query: right for a count, a whole read, or few such rows. Without,
    // the rows another order brings are tested (SQLite: against the index;
    // PostgreSQL: empty, by the LIKE alone), so that the first rows in
    // (date, time) order come without every row the index finds being read
    // and sorted.
    QString activityPrefilter(const QString& table, bool drive) const;
    // Whether the index can look the trigram up: PostgreSQL's holds the
    // trigrams of words, of letters and digits.
    bool activityLooksUp(const QString& trigram) const;
    // The first and last unit of the log table for the sample below (SQLite:
    // row numbers; PostgreSQL: pages), and the units a window spans.
    QString activitySampleBounds(const QString& table) const;
    int64_t activitySampleSpan() const;
    // One row: how many rows the windows of units hold, then, for each
    // lookup, how many of them it finds. Each window is one seek, whatever
    // the size of the table.
    QString activitySample(const QString& table, const std::vector<std::pair<int64_t, int64_t>>& windows,
                           const std::vector<QString>& lookups) const;
    // How many rows the lookup finds, counting no further than `cap`.
    QString activityCandidates(const QString& table, const QString& lookup, int cap) const;

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

    // A count of the rows `fromWhere` ("FROM table WHERE ...") selects that
    // stops at `cap`: it costs what reading `cap` rows costs, however many
    // match. Empty where the database is not known to take LIMIT.
    QString cappedCountQuery(const QString& fromWhere, int cap) const;
    // What a connection that reads a page at a time from large selections,
    // or counts them, sets first; empty where nothing is needed. The server
    // plans an open selection for all its rows, and past a few hundred
    // thousand it compiles the plan to machine code, which costs a tenth of
    // a second or more before the first row and pays off only when the rows
    // are all read. And the bitmap of the rows an index finds turns lossy
    // past some 65,000 pages at the default 4 MB of work memory, after which
    // every row of those pages is tested again.
    QString pagedReaderSetup() const;
    // How the catalog spells a table created under the unquoted name
    // `table`: PostgreSQL folds it to lower case.
    QString catalogName(const QString& table) const;

private:
    explicit Dialect(Kind kind) : kind_(kind) {}
    Kind kind_;
};

} // namespace tallyquill::odbc
