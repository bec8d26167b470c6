#pragma once

// The log table of an application: its name, how the writer creates it, and
// the one way a text goes into SQL as a literal.

#include <QString>
#include <QStringList>

namespace tallyquill {

// An application ID names a table, so only ASCII letters, digits and '_'.
bool IsValidAppId(const QString& appId);
QString TableName(const QString& appId);
// The log table as the writer creates it, and its (date, time) index.
QString CreateTableSql(const QString& table);
QString CreateIndexSql(const QString& table);

// A text as an SQL string literal: in single quotes, each quote doubled, and
// each backslash doubled too where the server reads backslashes as escapes
// (odbc::Connection::backslashEscapes()). Used where binding a parameter
// would make a driver materialise a result. Throws tallyquill::Error for a
// text holding a NUL, which no literal carries.
QString SqlLiteral(const QString& value, bool backslashEscapes);
// "Contains" for the activity: `<column> LIKE '%…%' ESCAPE '\'`, where
// `column` is the activity column as the dialect folds it and the text's
// ASCII letters are lowered: ASCII letters match in either case on every
// database, other characters as themselves. The operator's own % and _ still
// act as wildcards. A backslash is PostgreSQL's
// default LIKE escape and plain text to SQLite; naming it as the escape and
// escaping it makes it plain text to both.
// With `prefilter` (a condition from the activity index), rows are first
// narrowed to those the index finds; the LIKE still decides, so the rows are
// the same.
QString ActivityContains(const QString& activity, bool backslashEscapes, const QString& column,
                         const QString& prefilter = QString());

// The pieces of an activity text between its wildcards that a trigram index
// can look up: those of at least three characters, in order.
QStringList ActivityLiterals(const QString& activity);
// A text as one FTS5 string: in double quotes, each double quote doubled, so
// that no operator, column filter or prefix mark inside it takes effect.
QString Fts5String(const QString& text);
// The distinct runs of three code points inside those pieces, in order: a
// row the text finds holds every one of them, in either case.
QStringList ActivityTrigrams(const QString& activity);
// The FTS5 query that a row matches when it holds all of `strings`, each
// quoted by Fts5String.
QString Fts5AllOf(const QStringList& strings);

} // namespace tallyquill
