#pragma once

// A LogViewer on a fresh log table of the back end under test, filled with
// records of known dates and times.

#include "TestSupport.h"

#include "writer/Global.h"
#include "viewer/LogViewerImpl.h"
#include "msgbox/MessageBox.h"

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
        viewer.setDSN(dsn);
        viewer.setAppID(app.toStdString());
    }
    void TearDown() override
    {
        // An open cursor would hold the table that the base class drops.
        service().forgetIfLost(true);
        tallyquill::View() = tallyquill::ViewSettings{};
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

    struct Retrieval {
        int16_t result = 0;
        int32_t total = 0;
        int32_t downloaded = 0;
    };
    Retrieval retrieve(const QString& from = QStringLiteral("19980101"), const QString& to = QStringLiteral("19981231"),
                       const QString& timeFrom = {}, const QString& timeTo = {}, const QString& ws = {},
                       const QString& user = {}, const QString& event = {}, const QString& activity = {},
                       const QString& appParam = {})
    {
        Retrieval r;
        service().RetrieveLog(r.result, r.total, r.downloaded, from, to, timeFrom, timeTo,
                              appParam.isNull() ? app : appParam, ws, user, event, activity, page);
        return r;
    }
    std::pair<int16_t, int32_t> more()
    {
        int16_t result = 0;
        int32_t n = 0;
        service().MoreLog(result, n, page);
        return {result, n};
    }
    tallyquill::LogViewer::Impl& service() { return viewer.impl(); }

    tallyquill::MessageRecorder messages;
    tallyquill::LogViewer viewer;
    tallyquill::PageBuffer page;
    QString app;
    QString table;

private:
    std::unique_ptr<tallyquill::odbc::Statement> insert_;
};

} // namespace tqtest
