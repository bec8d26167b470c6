#include "service/ActivityIndex.h"

#include "core/Error.h"
#include "core/LogTable.h"
#include "core/Schema.h"
#include "odbc/Odbc.h"
#include "platform/FaultPoint.h"

#include <algorithm>
#include <vector>

namespace tallyquill {

namespace {

int64_t answer(odbc::Connection& conn, const odbc::Dialect::CatalogQuery& q)
{
    odbc::BoundStatement stmt(conn, q.sql);
    std::vector<std::vector<SQLWCHAR>> buffers;
    std::vector<SQLLEN> lengths(q.parameters.size());
    buffers.reserve(q.parameters.size());
    for (size_t i = 0; i < q.parameters.size(); ++i) {
        const QString& v = q.parameters[i];
        buffers.emplace_back(v.size() + 1, SQLWCHAR(0));
        for (qsizetype k = 0; k < v.size(); ++k)
            buffers.back()[k] = SQLWCHAR(v[k].unicode());
        lengths[i] = SQLLEN(v.size() * sizeof(SQLWCHAR));
        stmt.bindText(SQLUSMALLINT(i + 1), buffers.back().data(), size_t(v.size()), &lengths[i]);
    }
    return stmt.queryInteger().value_or(0);
}

} // namespace

ActivityIndexState FindActivityIndex(odbc::Connection& conn, const QString& table)
{
    const odbc::Dialect& d = conn.dialect();
    const auto objects = d.activityIndexObjects(table);
    if (objects.empty())
        return ActivityIndexState::Absent;
    const int64_t found = answer(conn, d.activityIndexLookup(table));
    if (found == 0)
        return ActivityIndexState::Absent;
    if (found < int64_t(objects.size()) || answer(conn, d.activityIndexInStep(table)) != 1)
        return ActivityIndexState::OutOfStep;
    return ActivityIndexState::Present;
}

ActivityPrefilters ActivityPrefilter(odbc::Connection& conn, const QString& table, const QString& activity,
                                     bool askIndexIfFew)
{
    // The sample: windows of rows spread over the table, each one seek; what
    // matters is the order of the trigrams, not the counts.
    constexpr int64_t kWindows = 8;
    // A trigram that more of the sample holds than this is no help: the
    // LIKE alone reaches a count's cap or a first page sooner.
    constexpr int64_t kUselessShare = 10;    // percent
    // Further trigrams narrow the rows found while they are this rare.
    constexpr int64_t kNarrowingShare = 5;   // percent
    constexpr qsizetype kMostTrigrams = 16, kMostNamed = 3;

    const odbc::Dialect& d = conn.dialect();
    if (d.activityPrefilter(table, true).isEmpty())
        return {};
    QStringList trigrams;
    for (const QString& t : ActivityTrigrams(activity))
        if (d.activityLooksUp(t))
            trigrams << t;
    if (trigrams.isEmpty() || FindActivityIndex(conn, table) != ActivityIndexState::Present)
        return {};
    if (trigrams.size() > kMostTrigrams) {
        QStringList spread;
        for (qsizetype i = 0; i < kMostTrigrams; ++i)
            spread << trigrams[i * (trigrams.size() - 1) / (kMostTrigrams - 1)];
        trigrams = spread;
    }
    // The index's test that a row holds all of the strings.
    const QString indexed = d.activityIndexed(col::Data);
    auto lookup = [&](const QStringList& strings) {
        if (indexed.isEmpty())
            return SqlLiteral(Fts5AllOf(strings), conn.backslashEscapes());
        QStringList likes;
        for (const QString& s : strings)
            likes << ActivityContains(s, conn.backslashEscapes(), indexed);
        return likes.join(QStringLiteral(" AND "));
    };

    bool hasFirst = false, hasLast = false;
    int64_t first = 0, last = 0;
    {
        auto bounds = conn.query(d.activitySampleBounds(table));
        first = bounds->text(0).toLongLong(&hasFirst);
        last = bounds->text(1).toLongLong(&hasLast);
    }
    if (!hasFirst || !hasLast)
        return {};  // no rows: nothing for the index to spare
    const int64_t span = d.activitySampleSpan();
    std::vector<std::pair<int64_t, int64_t>> windows;
    if (last - first < kWindows * span) {
        windows.emplace_back(first, last);
    } else {
        const int64_t step = (last - first - span) / (kWindows - 1);
        for (int64_t k = 0; k < kWindows; ++k)
            windows.emplace_back(first + k * step, first + k * step + span - 1);
    }
    std::vector<QString> lookups;
    for (const QString& t : trigrams)
        lookups.push_back(lookup({t}));
    std::vector<int64_t> held(trigrams.size());
    int64_t sampled = 0;
    {
        auto sample = conn.query(d.activitySample(table, windows, lookups));
        sampled = sample->text(0).toLongLong();
        for (size_t i = 0; i < held.size(); ++i)
            held[i] = sample->text(int(i) + 1).toLongLong();
    }
    std::vector<size_t> order(trigrams.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return held[a] < held[b]; });
    if (held[order[0]] * 100 > sampled * kUselessShare)
        return {};
    QStringList named{trigrams[order[0]]};
    for (size_t k = 1; k < order.size() && named.size() < kMostNamed; ++k)
        if (held[order[k]] * 100 <= sampled * kNarrowingShare)
            named << trigrams[order[k]];
    const QString found = lookup(named);
    const QString all = d.activityPrefilter(table, true).arg(found);
    const bool few = askIndexIfFew && conn.query(d.activityCandidates(table, found, kActivityFewRows))
                                              ->text(0)
                                              .toLongLong() < kActivityFewRows;
    const QString inOrder = d.activityPrefilter(table, false);
    return {all, few ? all : inOrder.isEmpty() ? QString() : inOrder.arg(found)};
}

bool CreateActivityIndex(odbc::Connection& conn, const QString& table)
{
    const odbc::Dialect& d = conn.dialect();
    if (d.activityIndexCreate(table).empty())
        throw Failure(ErrorCategory::Usage, "This database has no activity index: " + conn.dbmsName().toStdString());
    const ActivityIndexState before = FindActivityIndex(conn, table);
    if (const QString prerequisite = d.activityIndexPrerequisite(); !prerequisite.isEmpty()) {
        try {
            conn.execute(prerequisite);
        } catch (const DatabaseError& e) {
            if (odbc::isConnectionLost(QString::fromStdString(e.sqlstate())))
                throw;
            // IF NOT EXISTS loses a race with another session creating it
            // (23505 once that one commits): the extension is there then.
            if (e.sqlstate() != "23505")
                throw Failure(ErrorCategory::Refused,
                              "Cannot create the extension pg_trgm that the activity index needs: [" + e.sqlstate()
                                  + "] " + e.description() + "; an administrator must run, in this database: "
                                  + prerequisite.toStdString());
        }
    }
    auto missingTable = [&](const DatabaseError& e) {
        if (d.isMissingTable(e))
            throw Failure(ErrorCategory::Refused, "The table " + table.toStdString() + " does not exist");
    };
    if (d.isSqlite()) {
        // All or nothing: a half-filled index would hide rows from the filter.
        odbc::Transaction tx(conn);
        try {
            for (const QString& sql : d.activityIndexDrop(table))
                conn.execute(sql);
            for (const QString& sql : d.activityIndexCreate(table))
                conn.executeUnbounded(sql);
        } catch (const DatabaseError& e) {
            missingTable(e);
            throw;
        }
        fault::point("activity-index-filled");
        tx.commit();
        return true;
    }
    if (before == ActivityIndexState::Present)
        return false;
    try {
        if (before == ActivityIndexState::OutOfStep)
            for (const QString& sql : d.activityIndexDrop(table))
                conn.executeUnbounded(sql);
        for (const QString& sql : d.activityIndexCreate(table))
            conn.executeUnbounded(sql);
    } catch (const DatabaseError& e) {
        missingTable(e);
        throw;
    }
    return true;
}

bool DropActivityIndex(odbc::Connection& conn, const QString& table)
{
    const odbc::Dialect& d = conn.dialect();
    if (FindActivityIndex(conn, table) == ActivityIndexState::Absent)
        return false;
    if (d.isSqlite()) {
        odbc::Transaction tx(conn);
        for (const QString& sql : d.activityIndexDrop(table))
            conn.execute(sql);
        tx.commit();
    } else {
        for (const QString& sql : d.activityIndexDrop(table))
            conn.executeUnbounded(sql);
    }
    return true;
}

} // namespace tallyquill
