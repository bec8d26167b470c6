#pragma once

// The activity index of a log table: whether it is there and can be trusted,
// and making and dropping it. PostgreSQL keeps a pg_trgm GIN index on the
// folded column; SQLite an FTS5 trigram table over the activity, kept by
// triggers, that the filter names as a prefilter.

#include <QString>

namespace tallyquill {

namespace odbc {
class Connection;
}

enum class ActivityIndexState {
    Absent,
    Present,
    // There but not to be used: a failed concurrent build (PostgreSQL) or
    // rows renumbered under it (SQLite VACUUM); building it again mends it.
    OutOfStep,
};

// A few catalog look-ups; throws DatabaseError.
ActivityIndexState FindActivityIndex(odbc::Connection& conn, const QString& table);
// The prefilters that ActivityContains(activity, …) takes on this
// connection, one for each way a query reads the rows: empty unless the
// index is present and must be named in the query, the text has a piece the
// index can look up, and one of its trigrams is rare enough that the index
// reads less than the LIKE alone would. They name the rarest few of the
// text's trigrams, as a sample of the index finds them. A few look-ups;
// throws DatabaseError.
struct ActivityPrefilters {
    QString all;           // for a count, or a read of every row
    QString firstInOrder;  // for the first rows in (date, time) order
};
// Up to this many rows are read and sorted sooner than the rows in (date,
// time) order are tested until a first page is full: a query that finds
// fewer (or whose index finds fewer) reads its first rows as a count does.
inline constexpr int kActivityFewRows = 2000;
// A caller that counts the matching rows before it reads the first ones
// passes `askIndexIfFew` false and reads with `all` when it counts fewer
// than kActivityFewRows: firstInOrder is then the form for many rows, and
// the index is spared a count of its own.
ActivityPrefilters ActivityPrefilter(odbc::Connection& conn, const QString& table, const QString& activity,
                                     bool askIndexIfFew = true);

// Makes the index, or makes it again where it is out of step; SQLite fills
// it anew in any case, in one transaction that a failure undoes. Answers
// false when a trusted index was there already and nothing was done.
// Throws Failure (table missing, extension not allowed) or DatabaseError.
bool CreateActivityIndex(odbc::Connection& conn, const QString& table);
// Answers false when there was none.
bool DropActivityIndex(odbc::Connection& conn, const QString& table);

} // namespace tallyquill
