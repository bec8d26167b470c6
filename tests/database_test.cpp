// MsgLogger against real databases: each case runs on SQLite and PostgreSQL.

#include "WriterFixture.h"

#include "core/LogRecord.h"
#include "writer/LogConnection.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "tallyquill/msg_logger.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <cstdlib>

using tallyquill::MsgLogger;
using tqtest::WriterDb;

namespace {

TEST_P(WriterDb, FirstWriteCreatesTableThenEveryCallInserts)
{
    EXPECT_FALSE(tableExists(table));
    ASSERT_EQ(logger.WriteLog("john", "login", "Signed on"), 0);
    ASSERT_TRUE(tableExists(table));
    // A second CREATE TABLE would fail; the second write only inserts.
    raw().execute(QStringLiteral("DELETE FROM ") + table);
    ASSERT_EQ(logger.WriteLog("mary", "logout", "Signed off"), 0);
    auto r = all();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4].trimmed(), "MARY");
    EXPECT_TRUE(messages.messages().empty());
}

TEST_P(WriterDb, IdentifiersHeldInCapitalsAndStoredSo)
{
    logger.setAppID(QString::fromStdString(app).toLower().toStdString());
    logger.setWorkstationID("ws-7a");
    EXPECT_EQ(logger.AppID(), app);
    EXPECT_EQ(logger.WorkstationID(), "WS-7A");
    ASSERT_EQ(logger.WriteLog("john", "login", "Mixed Case Stays"), 0);
    auto r = all();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][0].trimmed().toStdString(), app);
    EXPECT_EQ(r[0][1].trimmed(), "WS-7A");
    EXPECT_EQ(r[0][4].trimmed(), "JOHN");
    EXPECT_EQ(r[0][5].trimmed(), "LOGIN");
    EXPECT_EQ(r[0][6], "Mixed Case Stays");
}

TEST_P(WriterDb, StampComesFromOneClockReading)
{
    // Each reading moves one second on: if date and time came from two
    // readings across midnight, the row would carry the old day's date.
    int reads = 0;
    tallyquill::SetClock([&] {
        ++reads;
        return QDateTime(QDate(1998, 6, 7), QTime(23, 59, 59)).addSecs(reads - 1);
    });
    ASSERT_EQ(logger.WriteLog("", "", "a"), 0);
    EXPECT_EQ(reads, 1);
    tallyquill::SetClock([] { return QDateTime(QDate(1998, 6, 8), QTime(0, 0, 0)); });
    ASSERT_EQ(logger.WriteLog("", "", "b"), 0);
    tallyquill::SetClock([] { return QDateTime(QDate(1998, 6, 7), QTime(9, 5, 7)); });
    ASSERT_EQ(logger.WriteLog("", "", "c"), 0);
    auto r = all();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0][2], "19980607");
    EXPECT_EQ(r[0][3], "090507");
    EXPECT_EQ(r[1][2], "19980607");
    EXPECT_EQ(r[1][3], "235959");
    EXPECT_EQ(r[2][2], "19980608");
    EXPECT_EQ(r[2][3], "000000");
}

TEST_P(WriterDb, EmptyUserAndEventAreStoredEmpty)
{
    ASSERT_EQ(logger.WriteLog("", "", ""), 0);
    auto r = all();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4].trimmed(), "");
    EXPECT_EQ(r[0][5].trimmed(), "");
    // Empty text, not NULL.
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table + QStringLiteral(" WHERE log_User IS NULL")),
              "0");
}

TEST_P(WriterDb, HostileAndChineseValuesAreStoredVerbatim)
{
    const std::vector<std::string> values = {
        "O'Brien", "a;b", "x -- y", "'); DROP TABLE " + table.toStdString() + "; --", "张三 登录 系統", "\"q\"\\",
    };
    for (const std::string& v : values)
        ASSERT_EQ(logger.WriteLog("", "", v), 0) << v;
    ASSERT_EQ(logger.WriteLog("o'neil;", "a'b--", "x"), 0);
    ASSERT_EQ(logger.WriteLog("李四", "登录", "ok"), 0);
    auto r = rows(QStringLiteral("SELECT log_Data, log_User, log_EventType FROM ") + table);
    ASSERT_EQ(r.size(), values.size() + 2);
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_TRUE(std::any_of(r.begin(), r.end(), [&](auto& row) { return row[0].toStdString() == values[i]; }))
            << values[i];
    EXPECT_TRUE(std::any_of(r.begin(), r.end(), [](auto& row) {
        return row[1].trimmed() == "O'NEIL;" && row[2].trimmed() == "A'B--";
    }));
    EXPECT_TRUE(std::any_of(r.begin(), r.end(), [](auto& row) {
        return row[1].trimmed() == QStringLiteral("李四") && row[2].trimmed() == QStringLiteral("登录");
    }));
}

TEST_P(WriterDb, MessagesAndResultsOfWriteLog)
{
    MsgLogger l;
    // No DSN is reported first, on every call, whatever else is missing.
    EXPECT_EQ(l.WriteLog("u", "e", "x"), 1);
    EXPECT_EQ(l.WriteLog("u", "e", "x"), 1);
    EXPECT_EQ(messages.texts(), QStringList({"No DSN provided", "No DSN provided"}));
    EXPECT_EQ(messages.messages()[0].title, "Error");
    EXPECT_EQ(messages.messages()[0].icon, tallyquill::MsgIcon::Warning);
    messages.clear();

    l.setDSN(dsn);
    EXPECT_EQ(l.WriteLog("u", "e", "x"), 1);
    l.setAppID(app);
    EXPECT_EQ(l.WriteLog("u", "e", "x"), 1);
    EXPECT_EQ(messages.texts(), QStringList({"You must provide AppID and WorkstationID",
                                             "You must provide AppID and WorkstationID"}));
    messages.clear();

    // An AppID that cannot name a table is refused before any statement.
    l.setWorkstationID("w");
    l.setAppID("x; DROP");
    EXPECT_THROW((void)l.WriteLog("u", "e", "x"), tallyquill::InvalidAppIdError);
    EXPECT_NO_THROW(l.CreateTable());
    l.setAppID(app);
    EXPECT_EQ(l.WriteLog("u", "e", "x"), 0);
    EXPECT_TRUE(messages.messages().empty());
}

TEST_P(WriterDb, FailedOpenIsSilentAndRetriedByTheNextCall)
{
    MsgLogger l;
    l.setDSN("tq_no_such_dsn_" + std::to_string(getpid()));
    l.setAppID(app);
    l.setWorkstationID("w");
    EXPECT_EQ(l.WriteLog("u", "e", "x"), 1);
    EXPECT_TRUE(messages.messages().empty());
    l.setDSN(dsn);  // not connected yet, so the new DSN counts
    EXPECT_EQ(l.WriteLog("u", "e", "x"), 0);
    // Once connected, a later DSN changes nothing.
    l.setDSN("tq_no_such_dsn");
    EXPECT_EQ(l.WriteLog("u", "e", "y"), 0);
    EXPECT_EQ(all().size(), 2u);
}

TEST_P(WriterDb, MissingTableIsMadeByTheNextWrite)
{
    ASSERT_EQ(logger.WriteLog("u", "e", "first"), 0);
    raw().execute(QStringLiteral("DROP TABLE ") + table);
    EXPECT_EQ(logger.WriteLog("u", "e", "after a drop"), 0);
    if (!isPostgres()) {
        // A first write behind another's lock, on a data source that waits
        // 0.2 s for it: it says why, and the next write makes the table.
        const QString hasty = QString::fromStdString(dsn) + QStringLiteral("_hasty");
        tallyquill::odbc::writeUserDsn(hasty, QStringLiteral("SQLite3"),
                                       {{"Database", dir.path() + "/log.sqlite"}, {"Timeout", "200"}});
        raw().execute(QStringLiteral("DROP TABLE ") + table);
        raw().execute(QStringLiteral("BEGIN IMMEDIATE"));
        MsgLogger l;
        l.setDSN(hasty.toStdString());
        l.setAppID(app);
        l.setWorkstationID("w");
        try {
            (void)l.WriteLog("u", "e", "locked out");
            ADD_FAILURE() << "expected a DatabaseError";
        } catch (const tallyquill::DatabaseError& e) {
            EXPECT_NE(e.description().find("locked"), std::string::npos) << e.description();
        }
        raw().execute(QStringLiteral("COMMIT"));
        EXPECT_EQ(l.WriteLog("u", "e", "after a lock"), 0);
    }
    EXPECT_EQ(all().back()[6], isPostgres() ? "after a drop" : "after a lock");
}

TEST_P(WriterDb, OverlongValuesAreRefusedOnEveryDatabase)
{
    // Characters, not UTF-16 units; the user and event type in capitals.
    const std::string key = "\xF0\x9F\x94\x91", d250 = std::string(250, 'd');
    std::string keys250;
    for (int i = 0; i < 250; ++i)
        keys250 += key;
    struct Case {
        std::string ws, user, event, data;
        bool fits;
    };
    const Case cases[] = {
        {"W234567890123456", "U23456789012345", "E2345678", d250, true},
        {"ws", "u", "e", keys250, true},
        {"W2345678901234567", "u", "e", "x", false},
        {"ws", "U234567890123456", "e", "x", false},
        {"ws", "\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F", "e", "x", false},  // SS x 8
        {"ws", "u", "E23456789", "x", false},
        {"ws", "u", "e", d250 + "d", false},
        {"ws", "u", "e", keys250 + key, false},
    };
    size_t written = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ws + " " + c.user + " " + c.event + " " + std::to_string(c.data.size()));
        logger.setWorkstationID(c.ws);
        try {
            EXPECT_EQ(logger.WriteLog(c.user, c.event, c.data), 0);
            written += c.fits;
            EXPECT_TRUE(c.fits);
        } catch (const tallyquill::DatabaseError& e) {
            EXPECT_FALSE(c.fits);
            EXPECT_EQ(e.sqlstate(), "22001") << e.description();
        }
    }
    EXPECT_EQ(all().size(), written);
}

TEST_P(WriterDb, TextThatCannotBeStoredAsGivenIsRefused)
{
    using namespace std::string_literals;
    const std::string cases[][3] = {
        {"u", "e", "before\0after"s}, {"a\0b"s, "e", "x"},      {"u", "e", "stray \xFF byte"},
        {"u", "e", "cut \xE4\xB8"},    {"u", "\xC0\xAF", "x"}, {"\xED\xA0\x80", "e", "encoded surrogate"},
    };
    for (const auto& c : cases)
        EXPECT_THROW((void)logger.WriteLog(c[0], c[1], c[2]), tallyquill::InvalidTextError) << c[0] + c[1] + c[2];
    EXPECT_THROW(logger.setWorkstationID("\xFF"), tallyquill::InvalidTextError);
    EXPECT_FALSE(tableExists(table));
}

TEST_P(WriterDb, ConnectionValuesCannotAddSettings)
{
    // The row goes to the data source's own database, or nowhere.
    const QString other = isPostgres() ? QStringLiteral("postgres") : dir.path() + QStringLiteral("/other.sqlite");
    const std::string redirect = ";Database=" + other.toStdString();
    struct Case {
        std::string dsn, login, password;
    };
    std::vector<Case> cases = {{dsn, "", "x" + redirect}, {dsn + redirect, "", ""}, {dsn + "[x]", "", ""},
                               {dsn + "\nDatabase=x", "", ""}};
    if (!isPostgres())  // the server refuses so odd a user name anyway
        cases.push_back({dsn, redirect, ""});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dsn + " | " + c.login + " | " + c.password);
        MsgLogger l;
        l.setDSN(c.dsn);
        l.setLoginID(c.login);
        l.setPassword(c.password);
        l.setAppID(app);
        l.setWorkstationID("w");
        if (l.WriteLog("u", "e", "x") == 0) {
            EXPECT_EQ(c.dsn, dsn);
            EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), "1");
            raw().execute(QStringLiteral("DELETE FROM ") + table);
        } else {
            EXPECT_TRUE(tallyquill::LastOpenFailure().contains(QStringLiteral("data source name")));
        }
    }
    EXPECT_FALSE(QFile::exists(other));
    // An empty login leaves the data source's own user name in force.
    if (isPostgres()) {
        EXPECT_EQ(scalar(QStringLiteral("SELECT tableowner FROM pg_tables WHERE tablename = '") + table.toLower()
                         + QStringLiteral("'")),
                  tqtest::dsnSetting(dsn, "Username"));
    }
}

TEST_P(WriterDb, CreateTableAlsoIndexesDateAndTime)
{
    ASSERT_EQ(logger.WriteLog("", "", "x"), 0);
    const QString idx = isPostgres()
        ? scalar(QStringLiteral("SELECT indexdef FROM pg_indexes WHERE tablename = '") + table.toLower()
                 + QStringLiteral("'"))
        : scalar(QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'index' AND tbl_name = '") + table
                 + QStringLiteral("'"));
    EXPECT_TRUE(idx.contains(QStringLiteral("log_date"), Qt::CaseInsensitive)) << idx.toStdString();
    EXPECT_TRUE(idx.contains(QStringLiteral("log_time"), Qt::CaseInsensitive)) << idx.toStdString();
    // Running it again on an existing table is silently harmless.
    logger.CreateTable();
}

TEST_P(WriterDb, EightProcessesWriteSixteenThousandRows)
{
    const QString worker = QCoreApplication::applicationDirPath() + QStringLiteral("/write_worker");
    ASSERT_TRUE(QFile::exists(worker)) << worker.toStdString();
    ASSERT_EQ(logger.WriteLog("", "", "setup"), 0);  // creates the table once
    raw().execute(QStringLiteral("DELETE FROM ") + table);
    constexpr int kProcesses = 8, kCalls = 2000;
    std::vector<std::unique_ptr<QProcess>> procs;
    for (int i = 0; i < kProcesses; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(worker, {QString::fromStdString(dsn), QString::fromStdString(app), QStringLiteral("WS%1").arg(i),
                          QString::number(kCalls)});
        procs.push_back(std::move(p));
    }
    for (auto& p : procs) {
        ASSERT_TRUE(p->waitForFinished(240000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
    }
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), QString::number(kProcesses * kCalls));
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(DISTINCT log_WsID) FROM ") + table), QString::number(kProcesses));
}

TQ_INSTANTIATE_DB_TESTS(WriterDb);

} // namespace
