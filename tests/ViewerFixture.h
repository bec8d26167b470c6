#pragma once

// The viewer's adapter and log service on a fresh log table of the back end
// under test, filled with records of known dates and times.

#include "TestSupport.h"

#include "msgbox/MessageBox.h"
#include "viewer/ViewerAdapter.h"
#include "core/LogTable.h"

#include <QTime>

namespace tqtest {

class ViewerDb : public DbTest {
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        if (IsSkipped())
            return;
        app = QString::fromStdString(newAppId());
        table = tallyquill::TableName(app);
        raw().execute(tallyquill::CreateTableSql(table));
        raw().execute(tallyquill::CreateIndexSql(table));
        service().source.dsn = QString::fromStdString(dsn);
        service().source.appId = app;
    }
    void TearDown() override
    {
        // An open cursor would hold the table that the base class drops.
        service().disconnect();
        DbTest::TearDown();
    }

    void insert(const QString& date, const QString& time, const QString& ws = QStringLiteral("WS01"),
                const QString& user = QStringLiteral("JOHN"), const QString& event = QStringLiteral("LOGIN"),
                const QString& data = QStringLiteral("text"))
    {
        if (!insert_)
            insert_ = raw().prepare(QStringLiteral("INSERT INTO ") + table
                                    + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time, log_User, "
                                                     "log_EventType, log_Data) VALUES (?,?,?,?,?,?,?)"));
        insert_->setParameters({app, ws, date, time, user, event, data});
        insert_->execute();
    }
    // n records on 1 June 1998, one a minute from 00:00, activity "r<k>".
    void fill(int n)
    {
        for (int k = 1; k <= n; ++k)
            insert(QStringLiteral("19980601"), QTime(0, 0).addSecs(60 * (k - 1)).toString(QStringLiteral("HHmmss")),
                   QStringLiteral("WS01"), QStringLiteral("JOHN"), QStringLiteral("LOGIN"), QStringLiteral("r%1").arg(k));
    }

    // A retrieval over 1998 of the test's table, unless the filter says else
    // (an empty, not null, AppID asks for the viewer's own), as the screen
    // asks for it: a failure is reported to the operator.
    tallyquill::Retrieval retrieve(tallyquill::LogFilter f = {})
    {
        if (f.StartDate.isNull())
            f.StartDate = QStringLiteral("19980101");
        if (f.EndDate.isNull())
            f.EndDate = QStringLiteral("19981231");
        if (f.AppID.isNull())
            f.AppID = app;
        return viewer.RetrieveLog(f);
    }
    tallyquill::Page more() { return service().more(); }
    tallyquill::LogService& service() { return viewer.service; }

    tallyquill::MessageRecorder messages;
    tallyquill::ViewerAdapter viewer;
    QString app;
    QString table;

private:
    std::unique_ptr<tallyquill::odbc::Statement> insert_;
};

// The activities of a page's records.
inline QStringList Activities(const tallyquill::Page& page)
{
    QStringList out;
    for (const auto& r : page.records)
        out << r.Activity;
    return out;
}

} // namespace tqtest
