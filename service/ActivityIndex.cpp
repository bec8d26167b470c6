#include "service/ActivityIndex.h"

#include "core/Error.h"
#include "odbc/Odbc.h"
#include "platform/FaultPoint.h"

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

QString ActivityPrefilter(odbc::Connection& conn, const QString& table)
{
    const QString prefilter = conn.dialect().activityPrefilter(table);
    if (prefilter.isEmpty() || FindActivityIndex(conn, table) != ActivityIndexState::Present)
        return QString();
    return prefilter;
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
