// Retrieval, paging and the print feed of the LogViewer on each back end.

#include "ViewerFixture.h"

#include "writer/Constant.h"
#include "writer/TextFiles.h"

#include <QFile>

using tqtest::ViewerDb;
using namespace tallyquill;

namespace {

TEST_P(ViewerDb, TwentyFiveRecordsComeInPagesOfTen)
{
    fill(25);
    auto r = retrieve();
    EXPECT_EQ(r.result, kTrue);
    EXPECT_EQ(r.total, 25);
    EXPECT_EQ(r.downloaded, 10);
    EXPECT_EQ(page.OutputActivity[1], "r1");
    EXPECT_EQ(page.OutputActivity[10], "r10");
    EXPECT_EQ(page.OutputDate[1], "19980601");
    EXPECT_EQ(page.OutputTime[2], "000100");
    EXPECT_EQ(page.OutputWsID[1].trimmed(), "WS01");
    EXPECT_EQ(page.OutputActivity[0], QString());  // position 0 is never used
    EXPECT_EQ(more(), std::make_pair(kTrue, int32_t(10)));
    EXPECT_EQ(page.OutputActivity[1], "r11");
    EXPECT_EQ(more(), std::make_pair(kTrue, int32_t(5)));
    EXPECT_EQ(page.OutputActivity[5], "r25");
    EXPECT_EQ(page.OutputActivity[6], "r16");  // positions above the page keep what they held
    // The last page closed the set: nothing more to ask for.
    EXPECT_EQ(more().first, kFalse);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_P(ViewerDb, TenRecordsCloseTheSetAndNoneLeaveTheListsAlone)
{
    fill(10);
    auto r = retrieve();
    EXPECT_EQ(r.total, 10);
    EXPECT_EQ(r.downloaded, 10);
    EXPECT_EQ(more().first, kFalse);

    page.OutputActivity[1] = "untouched";
    r = retrieve(QStringLiteral("19990101"), QStringLiteral("19991231"));
    EXPECT_EQ(r.result, kTrue);
    EXPECT_EQ(r.total, 0);
    EXPECT_EQ(r.downloaded, 0);
    EXPECT_EQ(page.OutputActivity[1], "untouched");
    EXPECT_EQ(more().first, kFalse);
}

TEST_P(ViewerDb, EveryFilterConditionNarrowsTheSelection)
{
    insert("19980531", "120000", "WS01", "JOHN", "LOGIN", "before range");
    insert("19980601", "085959", "WS01", "JOHN", "LOGIN", "early");
    insert("19980601", "090000", "WS01", "JOHN", "LOGIN", "Order 17 booked");
    insert("19980602", "120000", "WS02", "MARY", "PRINT", "printed order");
    insert("19980603", "170000", "WS01", "MARY", "LOGIN", "late order");
    insert("19980603", "170001", "WS01", "JOHN", "LOGIN", "after hours");
    insert("19980701", "100000", "WS01", "JOHN", "LOGIN", "after range");
    const QString from = "19980601", to = "19980630";
    EXPECT_EQ(retrieve(from, to).total, 5);
    // The time range applies to every day of the date range.
    EXPECT_EQ(retrieve(from, to, "090000", "170000").total, 3);
    EXPECT_EQ(retrieve(from, to, {}, {}, "WS02").total, 1);
    EXPECT_EQ(retrieve(from, to, {}, {}, {}, "MARY").total, 2);
    EXPECT_EQ(retrieve(from, to, {}, {}, {}, {}, "PRINT").total, 1);
    // "Contains", compared in the data source's own way: SQLite's LIKE
    // ignores the case of ASCII letters, PostgreSQL's does not.
    EXPECT_EQ(retrieve(from, to, {}, {}, {}, {}, {}, "order").total, isPostgres() ? 2 : 3);
    EXPECT_EQ(retrieve(from, to, {}, {}, {}, {}, {}, "Order 1_").total, 1);  // _ is a wildcard
    auto r = retrieve(from, to, "090000", "170000", "WS01", "MARY", "LOGIN", "late");
    EXPECT_EQ(r.total, 1);
    EXPECT_EQ(page.OutputActivity[1], "late order");
    EXPECT_EQ(page.OutputUserName[1].trimmed(), "MARY");
}

TEST_P(ViewerDb, HostileFilterValuesMatchNothingAndHarmNothing)
{
    insert("19980601", "090001", "WS01", "JOHN", "LOGIN", "plain");
    insert("19980601", "090002", "WS01", "JOHN", "LOGIN", "other");
    const QStringList hostile = {
        "'", "' OR '1'='1", "x'); DROP TABLE " + table + "; --", "%' OR 1=1 --", "\\", "\\'", "?", "{fn user()}",
        "a;b", "--", "日志' OR 'x'='x",
    };
    for (const QString& v : hostile) {
        for (int field = 0; field < 4; ++field) {
            const QString ws = field == 0 ? v : QString(), user = field == 1 ? v : QString(),
                          event = field == 2 ? v : QString(), activity = field == 3 ? v : QString();
            auto r = retrieve("19980101", "19981231", {}, {}, ws, user, event, activity);
            EXPECT_EQ(r.result, kTrue) << v.toStdString();
            EXPECT_EQ(r.total, 0) << v.toStdString() << " in field " << field;
        }
        EXPECT_EQ(retrieve(v, v).total, 0) << v.toStdString();
        EXPECT_EQ(retrieve("19980101", "19981231", v, v).total, 0) << v.toStdString();
    }
    // Quotes are carried, not dropped: the quoted text still finds its row.
    insert("19980601", "090000", "WS01", "JOHN", "LOGIN", "O'Brien signed on");
    auto r = retrieve("19980101", "19981231", {}, {}, {}, {}, {}, "O'Brien");
    EXPECT_EQ(r.total, 1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), "3");
    EXPECT_TRUE(messages.messages().empty());
}

TEST_P(ViewerDb, TableComesFromTheParameterOrTheProperty)
{
    fill(3);
    EXPECT_EQ(retrieve("19980101", "19981231", {}, {}, {}, {}, {}, {}, QStringLiteral("")).total, 3);
    // An AppID that is no table name is refused before any statement.
    auto r = retrieve("19980101", "19981231", {}, {}, {}, {}, {}, {}, QStringLiteral("X;DROP"));
    EXPECT_EQ(r.result, kFalse);
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_TRUE(messages.messages()[0].text.startsWith("Error in retrieve record:0, Invalid AppID"));
}

TEST_P(ViewerDb, FailuresAreReported)
{
    // A missing table fails the count, which counts as nothing found.
    auto r = retrieve("19980101", "19981231", {}, {}, {}, {}, {}, {}, QStringLiteral("NOSUCH"));
    EXPECT_EQ(r.result, kTrue);
    EXPECT_EQ(r.total, 0);
    EXPECT_TRUE(messages.messages().empty());

    LogViewer noDsn;
    int16_t result = kTrue;
    int32_t total = 0, downloaded = 0;
    noDsn.impl().RetrieveLog(result, total, downloaded, "19980101", "19981231", {}, {}, "X", {}, {}, {}, {}, page);
    EXPECT_EQ(result, kFalse);
    ASSERT_EQ(messages.messages().size(), 2u);
    EXPECT_EQ(messages.messages()[0].text, "No DSN provided");
    EXPECT_EQ(messages.messages()[0].icon, MsgIcon::Warning);
    EXPECT_EQ(messages.messages()[1].text, "Error in retrieve record:0, ");
    EXPECT_EQ(messages.messages()[1].title, "Error");
    EXPECT_EQ(messages.messages()[1].icon, MsgIcon::None);
}

TEST_P(ViewerDb, NullColumnsReadAsEmptyText)
{
    raw().execute(QStringLiteral("INSERT INTO ") + table
                  + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time) VALUES ('A', 'W', '19980601', '010101')"));
    auto r = retrieve();
    ASSERT_EQ(r.downloaded, 1);
    EXPECT_EQ(page.OutputUserName[1], QString());
    EXPECT_EQ(page.OutputActivity[1], QString());
}

class PrintFeed : public ViewerDb {
protected:
    QStringList feed(int32_t total, int32_t downloaded)
    {
        const QString path = dir.path() + QStringLiteral("/print.txt");
        const int16_t no = FreeFile();
        OpenForOutput(no, path);
        service().MoreLogForPrint(no, total, downloaded);
        CloseFile(no);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        EXPECT_TRUE(text.isEmpty() || text.endsWith("\r\n"));
        QStringList lines = text.split(QStringLiteral("\r\n"));
        lines.removeLast();
        return lines;
    }
};

TEST_P(PrintFeed, WritesTheRestAndLeavesThePagingWhereItWas)
{
    fill(250);
    auto r = retrieve();
    ASSERT_EQ(r.total, 250);
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(more().second, 10);
    const QStringList lines = feed(250, 100);
    ASSERT_EQ(lines.size(), 150);
    EXPECT_TRUE(lines[0].startsWith("01/06/1998 01:40:00 " + app)) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(" r101"));
    EXPECT_TRUE(lines[149].endsWith(" r250"));
    // The screen's next page is record 101, and paging runs to the end.
    ASSERT_EQ(more(), std::make_pair(kTrue, int32_t(10)));
    EXPECT_EQ(page.OutputActivity[1], "r101");
    int32_t seen = 10;
    for (auto m = more(); m.first == kTrue; m = more())
        seen += m.second;
    EXPECT_EQ(seen, 150);
    EXPECT_EQ(page.OutputActivity[10], "r250");
}

TEST_P(PrintFeed, StopsAtTotalRecordOrAtTheEndOfTheSet)
{
    fill(30);
    retrieve();
    EXPECT_EQ(feed(15, 10).size(), 5);   // the count is the bound
    EXPECT_EQ(feed(99, 10).size(), 20);  // the set ends first
    EXPECT_EQ(feed(10, 10).size(), 0);
    EXPECT_EQ(more().second, 10);
    EXPECT_EQ(page.OutputActivity[1], "r11");
    // Once the set is read to its end there is nothing to feed.
    more();
    EXPECT_EQ(feed(30, 30).size(), 0);
}

TEST_P(PrintFeed, HiddenColumnsAndChineseText)
{
    for (int k = 0; k < 10; ++k)
        insert("20010315", QStringLiteral("0600%1").arg(k, 2, 10, QLatin1Char('0')));
    insert("20010315", "073005", QStringLiteral("工作站"), QStringLiteral("张三"), QStringLiteral("登录"),
           QStringLiteral("用户登录 系統"));
    View().WsIDVisible = 1;
    View().AppIDVisible = -1;
    retrieve("20010101", "20011231");
    const QStringList lines = feed(11, 10);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], QStringLiteral("15/03/2001 07:30:05 张三                   登录       用户登录 系統"));
}

TQ_INSTANTIATE_DB_TESTS(ViewerDb);
TQ_INSTANTIATE_DB_TESTS(PrintFeed);

} // namespace
