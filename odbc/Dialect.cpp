#include "odbc/Dialect.h"

#include <QStringList>

namespace tallyquill::odbc {

namespace {
// The column the activity index covers.
const QString kActivityColumn = QStringLiteral("log_Data");
} // namespace

const Dialect& Dialect::sqlite()
{
    static const Dialect d(Kind::SQLite);
    return d;
}

const Dialect& Dialect::postgresql()
{
    static const Dialect d(Kind::PostgreSQL);
    return d;
}

const Dialect& Dialect::ofDbms(const QString& dbmsName)
{
    static const Dialect other(Kind::Other);
    if (dbmsName.startsWith(QLatin1String("SQLite"), Qt::CaseInsensitive))
        return sqlite();
    if (dbmsName.startsWith(QLatin1String("PostgreSQL"), Qt::CaseInsensitive))
        return postgresql();
    return other;
}

QString Dialect::backslashEscapesQuery() const
{
    // Off for a role, a database or in the DSN's connect settings.
    return kind_ == Kind::PostgreSQL ? QStringLiteral("SHOW standard_conforming_strings") : QString();
}

bool Dialect::backslashEscapesFromAnswer(const QString& answer) const
{
    return kind_ == Kind::PostgreSQL && answer.trimmed().compare(QLatin1String("on"), Qt::CaseInsensitive) != 0;
}

QString Dialect::sendable(const QString& sql) const
{
    if (kind_ != Kind::SQLite)
        return sql;
    bool any = false;
    for (const QChar c : sql)
        any = any || c.isHighSurrogate();
    if (!any)
        return sql;
    QString out;
    out.reserve(sql.size() + 32);
    bool inLiteral = false;  // a doubled quote leaves and enters again: the same text
    for (qsizetype i = 0; i < sql.size(); ++i) {
        const QChar c = sql[i];
        if (c == QLatin1Char('\''))
            inLiteral = !inLiteral;
        if (inLiteral && c.isHighSurrogate() && i + 1 < sql.size() && sql[i + 1].isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, sql[i + 1]);
            out += QStringLiteral("' || char(%1) || '").arg(uint(code));
            ++i;
            continue;
        }
        out += c;
    }
    return out;
}

QString Dialect::asciiCaseFolded(const QString& column) const
{
    switch (kind_) {
    case Kind::SQLite:
        return column;
    case Kind::PostgreSQL:
        // lower() in the C locale changes A-Z alone, in one pass (translate()
        // costs some 40 times more a row). "POSIX" is the same locale as the
        // index's "C" under another name: the planner never matches this
        // LIKE to the index on its own estimate (1,000 rows, whatever the
        // pattern), only the prefilter of the rarest trigrams reaches it.
        return QStringLiteral("lower(") + column + QStringLiteral(" COLLATE \"POSIX\")");
    case Kind::Other:
        break;
    }
    // The pattern comes lowered: a database we do not know must lower the
    // column too, or an exact LIKE would miss every capital.
    return QStringLiteral("LOWER(") + column + QLatin1Char(')');
}

QString Dialect::activityIndexed(const QString& column) const
{
    return kind_ == Kind::PostgreSQL ? QStringLiteral("lower(") + column + QStringLiteral(" COLLATE \"C\")")
                                     : QString();
}

QString Dialect::activityIndexName(const QString& table) const
{
    const QString name = table + QStringLiteral("_activity");
    return kind_ == Kind::PostgreSQL ? name.left(63) : name;
}

std::vector<QString> Dialect::activityIndexObjects(const QString& table) const
{
    const QString name = activityIndexName(table);
    switch (kind_) {
    case Kind::SQLite:
        // Dropping the log table drops its triggers and leaves the FTS5 table
        // behind: a table made again must not trust that stale index.
        return {name, name + QStringLiteral("_ai"), name + QStringLiteral("_ad"), name + QStringLiteral("_au")};
    case Kind::PostgreSQL:
        return {name};
    case Kind::Other:
        break;
    }
    return {};
}

Dialect::CatalogQuery Dialect::activityIndexLookup(const QString& table) const
{
    switch (kind_) {
    case Kind::SQLite:
        // SQLite's names know no case.
        return {QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type IN ('table', 'trigger') AND "
                               "lower(name) IN (lower(?), lower(?), lower(?), lower(?))"),
                activityIndexObjects(table)};
    case Kind::PostgreSQL:
        return {QStringLiteral("SELECT count(*) FROM pg_index WHERE indexrelid = to_regclass(CAST(? AS text))"),
                activityIndexObjects(table)};
    case Kind::Other:
        break;
    }
    return {};
}

Dialect::CatalogQuery Dialect::activityIndexInStep(const QString& table) const
{
    switch (kind_) {
    case Kind::SQLite:
        // Each end is one step down a b-tree.
        return {QStringLiteral("SELECT (SELECT min(rowid) FROM %1) IS (SELECT min(id) FROM %2_docsize) "
                               "AND (SELECT max(rowid) FROM %1) IS (SELECT max(id) FROM %2_docsize)")
                    .arg(table, activityIndexName(table)),
                {}};
    case Kind::PostgreSQL:
        // An index on the fold of earlier builds (translate()) is one that
        // the prefilter cannot reach.
        return {QStringLiteral("SELECT count(*) FROM pg_index WHERE indexrelid = to_regclass(CAST(? AS text)) "
                               "AND indisvalid AND pg_get_expr(indexprs, indrelid) LIKE CAST(? AS text)"),
                {activityIndexName(table), QStringLiteral("lower(%COLLATE \"C\"%")}};
    case Kind::Other:
        break;
    }
    return {};
}

QString Dialect::activityIndexPrerequisite() const
{
    return kind_ == Kind::PostgreSQL ? QStringLiteral("CREATE EXTENSION IF NOT EXISTS pg_trgm") : QString();
}

std::vector<QString> Dialect::activityIndexCreate(const QString& table) const
{
    const QString name = activityIndexName(table);
    const QString& data = kActivityColumn;
    switch (kind_) {
    case Kind::SQLite: {
        // External content: the index keeps trigrams, the text stays in the
        // log table only.
        const QString add = QStringLiteral("INSERT INTO %1 (rowid, %2) VALUES (new.rowid, new.%2);").arg(name, data);
        const QString remove =
            QStringLiteral("INSERT INTO %1 (%1, rowid, %2) VALUES ('delete', old.rowid, old.%2);").arg(name, data);
        return {QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(%2, content='%3', content_rowid='rowid', "
                               "tokenize='trigram')")
                    .arg(name, data, table),
                QStringLiteral("CREATE TRIGGER %1_ai AFTER INSERT ON %2 BEGIN %3 END").arg(name, table, add),
                QStringLiteral("CREATE TRIGGER %1_ad AFTER DELETE ON %2 BEGIN %3 END").arg(name, table, remove),
                QStringLiteral("CREATE TRIGGER %1_au AFTER UPDATE ON %2 BEGIN %3 %4 END").arg(name, table, remove, add),
                QStringLiteral("INSERT INTO %1 (%1) VALUES ('rebuild')").arg(name)};
    }
    case Kind::PostgreSQL:
        // On exactly the expression the prefilter compares, or the planner
        // cannot use it; concurrently, so that writers go on meanwhile.
        return {QStringLiteral("CREATE INDEX CONCURRENTLY %1 ON %2 USING gin (%3 gin_trgm_ops)")
                    .arg(name, table, activityIndexed(data))};
    case Kind::Other:
        break;
    }
    return {};
}

std::vector<QString> Dialect::activityIndexDrop(const QString& table) const
{
    switch (kind_) {
    case Kind::SQLite: {
        std::vector<QString> out;
        const auto objects = activityIndexObjects(table);
        for (size_t i = objects.size(); i-- > 1;)
            out.push_back(QStringLiteral("DROP TRIGGER IF EXISTS ") + objects[i]);
        out.push_back(QStringLiteral("DROP TABLE IF EXISTS ") + objects.front());
        return out;
    }
    case Kind::PostgreSQL:
        return {QStringLiteral("DROP INDEX CONCURRENTLY IF EXISTS ") + activityIndexName(table)};
    case Kind::Other:
        break;
    }
    return {};
}

QString Dialect::activityPrefilter(const QString& table, bool drive) const
{
    switch (kind_) {
    case Kind::SQLite: {
        const QString name = activityIndexName(table);
        // The unary plus keeps the planner from leading with the row numbers.
        return QStringLiteral("%1rowid IN (SELECT rowid FROM %2 WHERE %2 MATCH %3)")
            .arg(drive ? QString() : QStringLiteral("+"), name, QStringLiteral("%1"));
    }
    case Kind::PostgreSQL:
        // Testing a row for the trigrams costs what the LIKE costs: rows in
        // another order are only tested by the LIKE. Named twice when it
        // drives: the planner takes a trigram's LIKE for some 1% of the rows
        // whatever the index finds, and would plan an open selection (for a
        // tenth of its rows) as a walk of the (date, time) index through the
        // whole table; twice, it expects the few rows that the index reads.
        return drive ? QStringLiteral("%1 AND %1") : QString();
    case Kind::Other:
        break;
    }
    return QString();
}

bool Dialect::activityLooksUp(const QString& trigram) const
{
    if (kind_ != Kind::PostgreSQL)
        return true;
    // pg_trgm keeps the trigrams of words alone: a run with any other
    // character in it may give none, and the index would be read whole.
    for (const char32_t c : trigram.toUcs4())
        if (!QChar::isLetterOrNumber(c))
            return false;
    return true;
}

int64_t Dialect::activitySampleSpan() const { return kind_ == Kind::PostgreSQL ? 4 : 128; }

QString Dialect::activitySampleBounds(const QString& table) const
{
    switch (kind_) {
    case Kind::SQLite:
        // Apart, each is one step down the b-tree; together they scan the table.
        return QStringLiteral("SELECT (SELECT min(rowid) FROM %1), (SELECT max(rowid) FROM %1)").arg(table);
    case Kind::PostgreSQL:
        // Pages, none for an empty table.
        return QStringLiteral("SELECT 0, NULLIF(pg_relation_size(to_regclass('%1')) / "
                              "current_setting('block_size')::bigint, 0) - 1")
            .arg(table);
    case Kind::Other:
        break;
    }
    return QString();
}

QString Dialect::activitySample(const QString& table, const std::vector<std::pair<int64_t, int64_t>>& windows,
                                const std::vector<QString>& lookups) const
{
    if (windows.empty())
        return QString();
    // Concatenated: a literal's text is never read for arg() markers.
    switch (kind_) {
    case Kind::SQLite: {
        const QString name = activityIndexName(table);
        auto sum = [&](const QString& from) {
            QStringList terms;
            for (const auto& [first, last] : windows)
                terms << QStringLiteral("(SELECT count(*) FROM ") + from + QStringLiteral(" AND rowid BETWEEN ")
                             + QString::number(first) + QStringLiteral(" AND ") + QString::number(last)
                             + QLatin1Char(')');
            return terms.join(QStringLiteral(" + "));
        };
        QStringList columns{sum(table + QStringLiteral(" WHERE 1"))};
        for (const QString& match : lookups)
            columns << sum(name + QStringLiteral(" WHERE ") + name + QStringLiteral(" MATCH ") + match);
        return QStringLiteral("SELECT ") + columns.join(QStringLiteral(", "));
    }
    case Kind::PostgreSQL: {
        // Each window a range of pages, read as such (a TID range scan).
        QStringList parts;
        for (const auto& [first, last] : windows)
            parts << QStringLiteral("SELECT ") + kActivityColumn + QStringLiteral(" FROM ") + table
                         + QStringLiteral(" WHERE ctid >= '(") + QString::number(first)
                         + QStringLiteral(",0)'::tid AND ctid < '(")
                         + QString::number(last + 1) + QStringLiteral(",0)'::tid");
        QStringList columns{QStringLiteral("count(*)")};
        for (const QString& condition : lookups)
            columns << QStringLiteral("count(*) FILTER (WHERE ") + condition + QLatin1Char(')');
        return QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) + QStringLiteral(" FROM (")
               + parts.join(QStringLiteral(" UNION ALL ")) + QStringLiteral(") AS sample");
    }
    case Kind::Other:
        break;
    }
    return QString();
}

QString Dialect::activityCandidates(const QString& table, const QString& lookup, int cap) const
{
    switch (kind_) {
    case Kind::SQLite: {
        const QString name = activityIndexName(table);
        return QStringLiteral("SELECT count(*) FROM (SELECT rowid FROM ") + name + QStringLiteral(" WHERE ") + name
               + QStringLiteral(" MATCH ") + lookup + QStringLiteral(" LIMIT ") + QString::number(cap)
               + QLatin1Char(')');
    }
    case Kind::PostgreSQL:
        return QStringLiteral("SELECT count(*) FROM (SELECT 1 FROM ") + table + QStringLiteral(" WHERE ") + lookup
               + QStringLiteral(" LIMIT ") + QString::number(cap) + QStringLiteral(") AS found");
    case Kind::Other:
        break;
    }
    return QString();
}

QString Dialect::writeLockBegin() const
{
    // The SQLite driver cannot stream a result inside its own transactions.
    return kind_ == Kind::SQLite ? QStringLiteral("BEGIN IMMEDIATE") : QString();
}

QString Dialect::byteCollation() const
{
    return kind_ == Kind::SQLite ? QStringLiteral(" COLLATE BINARY") : QStringLiteral(" COLLATE \"C\"");
}

bool Dialect::isMissingTable(const DatabaseError& e) const
{
    if (e.sqlstate() == "42S02")
        return true;
    switch (kind_) {
    case Kind::PostgreSQL:
        return e.sqlstate() == "42P01";
    case Kind::SQLite:
        return e.sqlstate() == "HY000" && e.description().find("no such table") != std::string::npos;
    case Kind::Other:
        break;
    }
    return false;
}

bool Dialect::isMissingTableInAny(const DatabaseError& e)
{
    return sqlite().isMissingTable(e) || postgresql().isMissingTable(e);
}

QString Dialect::driver() const
{
    switch (kind_) {
    case Kind::SQLite:
        return QStringLiteral("SQLite3");
    case Kind::PostgreSQL:
        return QStringLiteral("PostgreSQL Unicode");
    case Kind::Other:
        break;
    }
    return QString();
}

QString Dialect::databaseFileName(const QString& dsn) const
{
    return kind_ == Kind::SQLite ? dsn + QStringLiteral(".sqlite") : QString();
}

QString Dialect::databaseFilesQuery() const
{
    return kind_ == Kind::SQLite ? QStringLiteral("PRAGMA database_list") : QString();
}

std::vector<QString> Dialect::databaseFileSuffixes() const
{
    if (kind_ != Kind::SQLite)
        return {};
    return {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")};
}

QString Dialect::lockWaitAttribute() const { return kind_ == Kind::SQLite ? QStringLiteral("Timeout") : QString(); }

QString Dialect::cappedCountQuery(const QString& fromWhere, int cap) const
{
    if (kind_ == Kind::Other)
        return {};
    return QStringLiteral("SELECT  count(*) FROM (SELECT 1 ") + fromWhere + QStringLiteral(" LIMIT ")
           + QString::number(cap) + QStringLiteral(") AS capped");
}

QString Dialect::pagedReaderSetup() const
{
    // 64 MB keeps exact the pages of some 55 million rows.
    return kind_ == Kind::PostgreSQL ? QStringLiteral("SET jit = off; SET work_mem = '64MB'") : QString();
}

QString Dialect::catalogName(const QString& table) const
{
    return kind_ == Kind::PostgreSQL ? table.toLower() : table;
}

} // namespace tallyquill::odbc
