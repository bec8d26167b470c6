// Retrieval, paging and the print feed of the LogViewer on each back end.

#include "ViewerFixture.h"

#include "tallyquill/log_viewer.h"
#include "service/BackgroundCount.h"
#include "writer/LogConnection.h"
#include "core/LogFile.h"

#include <QFile>

#include <atomic>
#include <future>
#include <thread>

using tqtest::Activities;
using tqtest::ViewerDb;
using namespace tallyquill;

namespace {

TEST_P(ViewerDb, TwentyFiveRecordsComeInPagesOfTen)
{
    fill(25);
    auto r = retrieve();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.total, 25);
    ASSERT_EQ(r.page.records.size(), 10u);
    EXPECT_EQ(r.page.records[0].Activity, "r1");
    EXPECT_EQ(r.page.records[9].Activity, "r10");
    EXPECT_EQ(r.page.records[0].Date, "19980601");
    EXPECT_EQ(r.page.records[1].Time, "000100");
    EXPECT_EQ(r.page.records[0].WsID.trimmed(), "WS01");
    auto page = more();
    EXPECT_TRUE(page.ok);
    EXPECT_EQ(Activities(page).first(), "r11");
    EXPECT_EQ(Activities(page).size(), 10);
    page = more();
    EXPECT_EQ(Activities(page), QStringList({"r21", "r22", "r23", "r24", "r25"}));
    // The last page closed the set: nothing more to ask for.
    EXPECT_FALSE(more().ok);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_P(ViewerDb, TenRecordsCloseTheSetAndNoneLeaveTheListsAlone)
{
    fill(10);
    auto r = retrieve();
    EXPECT_EQ(r.total, 10);
    EXPECT_EQ(r.page.records.size(), 10u);
    EXPECT_FALSE(more().ok);

    r = retrieve({.StartDate = "19990101", .EndDate = "19991231"});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.total, 0);
    EXPECT_TRUE(r.page.records.empty());
    EXPECT_FALSE(more().ok);
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
    insert("19980801", "100000", "WS01", "JOHN", "LOGIN", "ÉCOLE");
    const QString from = "19980601", to = "19980630";
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to}).total, 5);
    // The time range applies to every day of the date range.
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to, .StartTime = "090000", .Endtime = "170000"}).total, 3);
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to, .WsID = "WS02"}).total, 1);
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to, .UserName = "MARY"}).total, 2);
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to, .EventType = "PRINT"}).total, 1);
    // "Contains", the same on every database: ASCII letters in either case,
    // every other character only as itself.
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to, .Activity = "order"}).total, 3);
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to, .Activity = "ORDER 1_"}).total, 1);
    EXPECT_EQ(retrieve({.StartDate = "19980801", .EndDate = "19980801", .Activity = "ÉCOLE"}).total, 1);
    EXPECT_EQ(retrieve({.StartDate = "19980801", .EndDate = "19980801", .Activity = "école"}).total, 0);
    EXPECT_EQ(retrieve({.StartDate = from, .EndDate = to, .Activity = "Order 1_"}).total, 1);  // _ is a wildcard
    auto r = retrieve({.StartDate = from,
                       .EndDate = to,
                       .StartTime = "090000",
                       .Endtime = "170000",
                       .WsID = "WS01",
                       .UserName = "MARY",
                       .EventType = "LOGIN",
                       .Activity = "late"});
    EXPECT_EQ(r.total, 1);
    ASSERT_EQ(r.page.records.size(), 1u);
    EXPECT_EQ(r.page.records[0].Activity, "late order");
    EXPECT_EQ(r.page.records[0].UserName.trimmed(), "MARY");
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
            LogFilter f;
            (field == 0 ? f.WsID : field == 1 ? f.UserName : field == 2 ? f.EventType : f.Activity) = v;
            auto r = retrieve(f);
            EXPECT_TRUE(r.ok) << v.toStdString();
            EXPECT_EQ(r.total, 0) << v.toStdString() << " in field " << field;
        }
        EXPECT_EQ(retrieve({.StartDate = v, .EndDate = v}).total, 0) << v.toStdString();
        EXPECT_EQ(retrieve({.StartTime = v, .Endtime = v}).total, 0) << v.toStdString();
    }
    // Quotes are carried, not dropped: the quoted text still finds its row.
    insert("19980601", "090000", "WS01", "JOHN", "LOGIN", "O'Brien signed on");
    auto r = retrieve({.Activity = "O'Brien"});
    EXPECT_EQ(r.total, 1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), "3");
    EXPECT_TRUE(messages.messages().empty());
}

TEST_P(ViewerDb, TableComesFromTheParameterOrTheProperty)
{
    fill(3);
    EXPECT_EQ(retrieve({.AppID = QStringLiteral("")}).total, 3);
    // An AppID that is no table name is refused before any statement.
    auto r = retrieve({.AppID = "X;DROP"});
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_TRUE(messages.messages()[0].text.startsWith("Error in retrieve record:0, Invalid AppID"));
}

TEST_P(ViewerDb, FailuresAreReported)
{
    // A missing table fails the count, which counts as nothing found; any
    // other failed count is a failure (OnlyAMissingTableIsNothingFound).
    auto r = retrieve({.AppID = "NOSUCH"});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.total, 0);
    EXPECT_TRUE(messages.messages().empty());

    // No DSN: the service answers why and shows nothing; the viewer tells
    // the operator once.
    const LogFilter any{.StartDate = "19980101", .EndDate = "19981231", .AppID = "X"};
    LogService noDsn;
    const Retrieval quiet = noDsn.retrieve(any);
    EXPECT_FALSE(quiet.ok);
    EXPECT_EQ(quiet.reason, "No DSN provided");
    EXPECT_TRUE(messages.messages().empty());
    ViewerAdapter noDsnViewer;
    const Retrieval told = noDsnViewer.RetrieveLog(any);
    EXPECT_FALSE(told.ok);
    EXPECT_TRUE(told.reported);
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_EQ(messages.messages()[0].text, "No DSN provided");
    EXPECT_EQ(messages.messages()[0].title, "Error");
    EXPECT_EQ(messages.messages()[0].icon, MsgIcon::Warning);
}

TEST_P(ViewerDb, BackslashesAndWildcardsFindTheSameRowsOnEveryDatabase)
{
    const QStringList stored = {"C:\\temp\\new", "50% off", "a_b", "axb", "back\\\\slash", "it\\'s", "plain"};
    for (int i = 0; i < stored.size(); ++i)
        insert("19980601", QStringLiteral("0000%1").arg(i, 2, 10, QLatin1Char('0')), "WS01", "JOHN", "LOGIN", stored[i]);
    // The operator's % and _ are wildcards; a backslash is itself.
    const std::pair<QString, QString> finds[] = {
        {"\\", "0 4 5"},  {"\\t", "0"},   {"\\\\", "4"}, {"\\%", "0 4 5"},          {"\\_", "0 4 5"},
        {"_b", "2 3"},   {"%", "0 1 2 3 4 5 6"}, {"\\'", "5"}, {"\\' OR 1=1 --", ""}, {"\\'); DELETE FROM " + table + "; --", ""},
    };
    // On PostgreSQL also for a role whose literals take backslash escapes.
    QStringList logins = {QString()};
    const QString role = QStringLiteral("tq_scs_") + app.toLower();
    if (isPostgres()) {
        raw().execute(QStringLiteral("DROP ROLE IF EXISTS ") + role);
        raw().execute(QStringLiteral("CREATE ROLE ") + role + QStringLiteral(" LOGIN SUPERUSER"));
        raw().execute(QStringLiteral("ALTER ROLE ") + role + QStringLiteral(" SET standard_conforming_strings = off"));
        odbc::Connection off;
        off.open(QString::fromStdString(dsn), role, {});
        EXPECT_TRUE(off.backslashEscapes());
        logins << role;
    }
    for (const QString& login : logins) {
        service().disconnect();
        service().source.login = login;
        for (const auto& [filter, rows] : finds) {
            const Retrieval r = retrieve({.Activity = filter});
            EXPECT_TRUE(r.ok) << filter.toStdString();
            QStringList found;
            for (const LogRecord& rec : r.page.records)
                found << QString::number(stored.indexOf(rec.Activity));
            EXPECT_EQ(found.join(' '), rows) << filter.toStdString() << " as " << login.toStdString();
        }
    }
    service().disconnect();
    if (isPostgres())
        raw().execute(QStringLiteral("DROP ROLE ") + role);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), "7");
    EXPECT_TRUE(messages.messages().empty());
}

TEST_P(ViewerDb, OnlyAMissingTableIsNothingFound)
{
    fill(3);
    auto expectFailure = [&](const char* says) {
        messages.clear();
        const Retrieval r = retrieve();
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.reason.contains(QLatin1String(says))) << r.reason.toStdString();
        ASSERT_EQ(messages.messages().size(), 1u);
        EXPECT_TRUE(messages.messages()[0].text.startsWith("Error in retrieve record:"));
        EXPECT_TRUE(messages.messages()[0].text.contains(QLatin1String(says))) << messages.texts().join("").toStdString();
    };
    if (isPostgres()) {
        const QString role = QStringLiteral("tq_ro_") + app.toLower();
        raw().execute(QStringLiteral("DROP ROLE IF EXISTS ") + role);
        raw().execute(QStringLiteral("CREATE ROLE ") + role + QStringLiteral(" LOGIN"));
        service().disconnect();
        service().source.login = role;
        expectFailure("permission denied");
        service().disconnect();
        raw().execute(QStringLiteral("DROP ROLE ") + role);
        return;
    }
    // The same file through a data source that waits 0.1 s for a lock.
    const QString file = dir.path() + QStringLiteral("/log.sqlite");
    const QString impatient = QString::fromStdString(dsn) + QStringLiteral("_busy");
    odbc::writeUserDsn(impatient, QStringLiteral("SQLite3"),
                       {{"Database", file}, {"Timeout", "100"}, {"StepAPI", "1"}, {"JournalMode", "WAL"}});
    service().disconnect();
    service().source.dsn = impatient;
    raw().execute(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE"));
    raw().execute(QStringLiteral("BEGIN EXCLUSIVE"));
    raw().execute(QStringLiteral("DELETE FROM ") + table);
    expectFailure("locked");
    raw().execute(QStringLiteral("ROLLBACK"));
    raw_reset();
    EXPECT_EQ(retrieve().total, 3);

    // A file that is no database.
    const QString garbage = dir.path() + QStringLiteral("/garbage.sqlite");
    QFile g(garbage);
    ASSERT_TRUE(g.open(QIODevice::WriteOnly) && g.write(QByteArray(8192, 'x')) == 8192 && g.flush());
    odbc::writeUserDsn(impatient, QStringLiteral("SQLite3"), {{"Database", garbage}});
    service().disconnect();
    expectFailure("not a database");
}

// The exact count starts beside the capped count, not after it: while a
// lock holds the table, the count's thread is already on its way; the first
// page and the exact count follow the lock's release. A retrieval within
// the cap gives its exact count up.
TEST_P(ViewerDb, TheExactCountStartsBesideTheCappedCount)
{
    if (!isPostgres())
        GTEST_SKIP() << "SQLite's readers wait for no writer: only a server's lock holds a count";
    fill(25);
    service().countCap = 12;
    std::atomic<int> starts{0};
    service().countStarting = [&] { ++starts; };
    const struct {
        const char* end;
        int32_t total;
        bool pastCap;
    } cases[] = {{"235959", 25, true}, {"000400", 5, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end);
        service().disconnect();  // an open retrieval would hold the lock off
        auto lock = std::make_unique<odbc::Transaction>(raw());
        raw().execute(QStringLiteral("LOCK TABLE ") + table + QStringLiteral(" IN ACCESS EXCLUSIVE MODE"));
        const int before = starts;
        auto found = std::async(std::launch::async, [&] {
            return service().retrieve({.StartDate = QStringLiteral("19980601"), .EndDate = QStringLiteral("19980601"),
                                       .StartTime = QStringLiteral("000000"), .Endtime = QString::fromLatin1(c.end),
                                       .AppID = app});
        });
        // Well within the statement timeout (15 s).
        for (int i = 0; i < 1000 && starts == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_GT(starts, before) << "the exact count waited for the capped count";
        EXPECT_EQ(found.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "the lock held nothing";
        lock.reset();
        const Retrieval r = found.get();
        ASSERT_TRUE(r.ok) << r.reason.toStdString();
        // Sent beside the capped count, the exact count may end with the page.
        EXPECT_TRUE(c.pastCap || !r.counting);
        EXPECT_EQ(r.page.records.size(), std::min<size_t>(size_t(c.total), 10));
        EXPECT_EQ(r.counting ? service().finishCount() : std::optional<int32_t>(r.total), c.total);
        EXPECT_EQ(service().finishCount(), c.pastCap ? std::optional<int32_t>(c.total) : std::nullopt)
            << "a count given up is never answered";
    }
}

// A cancel that comes as the count begins its statement, before the driver
// or the server has anything running, still stops it: the next count does
// not wait for that one to run to its end.
TEST_P(ViewerDb, ACancelAsTheCountBeginsStillStopsIt)
{
    tallyquill::BackgroundCount counter;
    std::promise<void> begun, cancelled;
    counter.start({.id = 1, .dsn = QString::fromStdString(dsn), .sql = endlessQuery(),
                   .starting = [&, go = cancelled.get_future().share()] {
                       begun.set_value();
                       go.wait();
                   }});
    begun.get_future().wait();
    counter.cancel();
    // Its cancel is the next count's too: also given before the statement.
    counter.start({.id = 2, .dsn = QString::fromStdString(dsn), .sql = QStringLiteral("SELECT 1")});
    cancelled.set_value();
    const auto taken = counter.take(2, std::chrono::seconds(10));
    ASSERT_TRUE(taken) << "the first count ran on";
    EXPECT_EQ(taken->outcome.total, 1) << taken->outcome.reason.toStdString();
}

TEST_P(ViewerDb, NullColumnsReadAsEmptyText)
{
    raw().execute(QStringLiteral("INSERT INTO ") + table
                  + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time) VALUES ('A', 'W', '19980601', '010101')"));
    auto r = retrieve();
    ASSERT_EQ(r.page.records.size(), 1u);
    EXPECT_EQ(r.page.records[0].UserName, QString());
    EXPECT_EQ(r.page.records[0].Activity, QString());
}

class PrintFeed : public ViewerDb {
protected:
    QStringList feed(int32_t total, int32_t downloaded, const LineLayout& layout = {})
    {
        const QString path = dir.path() + QStringLiteral("/print.txt");
        LogFile file(path);
        service().printRest(file, total, downloaded, layout);
        file.close();
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
        ASSERT_EQ(more().records.size(), 10u);
    const QStringList lines = feed(250, 100);
    ASSERT_EQ(lines.size(), 150);
    EXPECT_TRUE(lines[0].startsWith("01/06/1998 01:40:00 " + app)) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(" r101"));
    EXPECT_TRUE(lines[149].endsWith(" r250"));
    // The screen's next page is record 101, and paging runs to the end.
    auto page = more();
    ASSERT_TRUE(page.ok);
    ASSERT_EQ(page.records.size(), 10u);
    EXPECT_EQ(page.records[0].Activity, "r101");
    int32_t seen = 10;
    QString last;
    for (auto m = more(); m.ok; m = more()) {
        seen += int32_t(m.records.size());
        last = m.records.back().Activity;
    }
    EXPECT_EQ(seen, 150);
    EXPECT_EQ(last, "r250");
}

TEST_P(PrintFeed, StopsAtTotalRecordOrAtTheEndOfTheSet)
{
    fill(30);
    retrieve();
    EXPECT_EQ(feed(15, 10).size(), 5);   // the count is the bound
    EXPECT_EQ(feed(99, 10).size(), 20);  // the set ends first
    EXPECT_EQ(feed(10, 10).size(), 0);
    EXPECT_EQ(Activities(more()).value(0), "r11");
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
    retrieve({.StartDate = "20010101", .EndDate = "20011231"});
    const QStringList lines = feed(11, 10, {.hideAppID = true, .hideWsID = true});
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], QStringLiteral("15/03/2001 07:30:05 张三                   登录       用户登录 系統"));
}

// A text that is not UTF-8 or holds a NUL is refused by every text setter,
// as the logger's are, and the value set before stays.
TEST(LogViewerText, SettersRefuseTextThatIsNotUtf8OrHoldsANul)
{
    using namespace std::string_literals;
    using Get = std::string (LogViewer::*)() const;
    using Set = void (LogViewer::*)(const std::string&);
    const std::pair<Get, Set> setters[] = {
        {&LogViewer::Caption, &LogViewer::setCaption},           {&LogViewer::AppID, &LogViewer::setAppID},
        {&LogViewer::WorkstationID, &LogViewer::setWorkstationID}, {&LogViewer::UserProgDesc, &LogViewer::setUserProgDesc},
        {&LogViewer::EventDesc, &LogViewer::setEventDesc},       {&LogViewer::ActivityDesc, &LogViewer::setActivityDesc},
        {&LogViewer::DSN, &LogViewer::setDSN},                   {&LogViewer::LoginID, &LogViewer::setLoginID},
        {&LogViewer::Password, &LogViewer::setPassword},
    };
    const std::string refused[] = {"a\0b"s, "stray \xFF byte", "cut \xE4\xB8", "\xC0\xAF", "\xED\xA0\x80"};
    LogViewer viewer;
    for (const auto& [get, set] : setters) {
        (viewer.*set)("Caf\xC3\xA9 \xE4\xB8\xAD");
        for (const std::string& text : refused)
            EXPECT_THROW((viewer.*set)(text), InvalidTextError) << text;
        EXPECT_EQ((viewer.*get)(), "Caf\xC3\xA9 \xE4\xB8\xAD");
    }
}

TQ_INSTANTIATE_DB_TESTS(ViewerDb);
TQ_INSTANTIATE_DB_TESTS(PrintFeed);

} // namespace
