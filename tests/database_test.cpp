// MsgLogger against real databases: each case runs on SQLite and PostgreSQL.

#include "WriterFixture.h"

#include "writer/Global.h"
#include "writer/LogConnection.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "tallyquill/msg_logger.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <odbcinst.h>

#include <cstdlib>
#include <functional>

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
    EXPECT_THROW(l.WriteLog("u", "e", "x"), tallyquill::InvalidAppIdError);
    EXPECT_THROW(l.CreateTable(), tallyquill::InvalidAppIdError);
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
    // However the table went missing, a logger never stays broken: it makes
    // the table again and writes, and reports why when it cannot.
    struct Case {
        const char* name;
        bool sqliteOnly;
        std::function<void()> breakIt, mendIt;
    };
    // A data source on the same file whose writers give up on a lock at once.
    const std::string hasty = dsn + "_hasty";
    if (!isPostgres())
        tallyquill::odbc::writeUserDsn(QString::fromStdString(hasty), QStringLiteral("SQLite3"),
                                       {{QStringLiteral("Database"), dir.path() + QStringLiteral("/log.sqlite")},
                                        {QStringLiteral("Timeout"), QStringLiteral("200")}});
    const Case cases[] = {
        {"dropped under the logger", false, [&] { raw().execute(QStringLiteral("DROP TABLE ") + table); }, [] {}},
        {"first write behind another's write lock", true,
         [&] {
             raw().execute(QStringLiteral("DROP TABLE ") + table);
             raw().execute(QStringLiteral("BEGIN IMMEDIATE"));
         },
         [&] { raw().execute(QStringLiteral("COMMIT")); }},
    };
    for (const Case& c : cases) {
        if (c.sqliteOnly && isPostgres())
            continue;
        SCOPED_TRACE(c.name);
        MsgLogger l;
        l.setDSN(c.sqliteOnly ? hasty : dsn);
        l.setAppID(app);
        l.setWorkstationID("w");
        ASSERT_EQ(l.WriteLog("u", "e", "before"), 0);
        c.breakIt();
        if (c.sqliteOnly) {
            MsgLogger fresh;  // its first write meets the lock
            fresh.setDSN(hasty);
            fresh.setAppID(app);
            fresh.setWorkstationID("w");
            try {
                fresh.WriteLog("u", "e", "locked out");
                ADD_FAILURE() << "expected a DatabaseError";
            } catch (const tallyquill::DatabaseError& e) {
                EXPECT_NE(e.description().find("locked"), std::string::npos) << e.description();
            }
            c.mendIt();
            EXPECT_EQ(fresh.WriteLog("u", "e", "after"), 0);
        } else {
            EXPECT_EQ(l.WriteLog("u", "e", "after"), 0);
        }
        EXPECT_EQ(scalar(QStringLiteral("SELECT log_Data FROM ") + table), "after");
        raw().execute(QStringLiteral("DELETE FROM ") + table);
    }
}

TEST_P(WriterDb, OverlongValuesAreRefusedOnEveryDatabase)
{
    // Counted in characters, after conversion to capitals for the user and
    // event type; the database then never has to cut anything.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x94\x91");  // one character, two UTF-16 units
    struct Case {
        std::string ws, user, event, data;
        bool fits;
    };
    const Case cases[] = {
        {"W234567890123456", "U23456789012345", "E2345678", QString(250, QLatin1Char('d')).toStdString(), true},
        {"ws", "u", "e", emoji.repeated(250).toStdString(), true},
        {"W2345678901234567", "u", "e", "x", false},
        {"ws", "U234567890123456", "e", "x", false},
        {"ws", "\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F\xC3\x9F", "e", "x", false},  // ß×8: SS×8
        {"ws", "u", "E23456789", "x", false},
        {"ws", "u", "e", QString(251, QLatin1Char('d')).toStdString(), false},
        {"ws", "u", "e", emoji.repeated(251).toStdString(), false},
    };
    int written = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ws + " / " + c.user + " / " + c.event + " / " + std::to_string(c.data.size()) + " bytes");
        logger.setWorkstationID(c.ws);
        if (c.fits) {
            EXPECT_EQ(logger.WriteLog(c.user, c.event, c.data), 0);
            ++written;
            continue;
        }
        try {
            logger.WriteLog(c.user, c.event, c.data);
            ADD_FAILURE() << "expected a DatabaseError";
        } catch (const tallyquill::DatabaseError& e) {
            EXPECT_EQ(e.sqlstate(), "22001");
            EXPECT_NE(e.description().find("too long"), std::string::npos) << e.description();
        }
    }
    EXPECT_EQ(all().size(), size_t(written));
    EXPECT_EQ(all().back()[6], emoji.repeated(250));
}

TEST_P(WriterDb, TextThatCannotBeStoredAsGivenIsRefused)
{
    using namespace std::string_literals;
    struct Case {
        std::string user, event, data;
    };
    const Case cases[] = {
        {"u", "e", "before\0after"s},
        {"a\0b"s, "e", "x"},
        {"u", "e", "stray \xFF byte"},
        {"u", "e", "cut \xE4\xB8"},
        {"u", "\xC0\xAF", "overlong slash"},
        {"\xED\xA0\x80", "e", "encoded lone surrogate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.user + "|" + c.event + "|" + c.data));
        EXPECT_THROW(logger.WriteLog(c.user, c.event, c.data), tallyquill::InvalidTextError);
    }
    EXPECT_THROW(logger.setWorkstationID("\xFF"), tallyquill::InvalidTextError);
    EXPECT_FALSE(tableExists(table));
    ASSERT_EQ(logger.WriteLog("u", "e", "fine"), 0);
    EXPECT_EQ(all().size(), 1u);
}

TEST_P(WriterDb, ConnectionValuesCannotAddSettings)
{
    // A value that reads like a connection string must stay one value: the
    // row goes to the data source's own database, or nowhere.
    const QString other = isPostgres() ? QStringLiteral("postgres") : dir.path() + QStringLiteral("/other.sqlite");
    struct Case {
        std::string dsn, login, password;
        bool refused;
    };
    const std::string redirect = ";Database=" + other.toStdString();
    std::vector<Case> cases = {
        {dsn, "", "x" + redirect, false},
        {dsn + redirect, "", "", true},
        {dsn + "[x]", "", "", true},
        {dsn + "\nDatabase=x", "", "", true},
    };
    if (!isPostgres())  // the server would refuse so odd a user name anyway
        cases.push_back({dsn, redirect, "", false});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.dsn + " | " + c.login + " | " + c.password));
        MsgLogger l;
        l.setDSN(c.dsn);
        l.setLoginID(c.login);
        l.setPassword(c.password);
        l.setAppID(app);
        l.setWorkstationID("w");
        if (c.refused) {
            EXPECT_EQ(l.WriteLog("u", "e", "x"), 1);
            EXPECT_TRUE(tallyquill::LastOpenFailure().contains(QStringLiteral("data source name")))
                << tallyquill::LastOpenFailure().toStdString();
        } else {
            ASSERT_EQ(l.WriteLog("u", "e", "x"), 0);
            EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), "1");
            raw().execute(QStringLiteral("DELETE FROM ") + table);
        }
    }
    EXPECT_FALSE(QFile::exists(other));
    if (isPostgres()) {
        // An empty login leaves the data source's own user name in force.
        SQLWCHAR user[64] = {};
        const int n = SQLGetPrivateProfileStringW(
            reinterpret_cast<const SQLWCHAR*>(QString::fromStdString(dsn).utf16()),
            reinterpret_cast<const SQLWCHAR*>(u"Username"), reinterpret_cast<const SQLWCHAR*>(u""), user, 64,
            reinterpret_cast<const SQLWCHAR*>(u"odbc.ini"));
        ASSERT_GT(n, 0);
        EXPECT_EQ(scalar(QStringLiteral("SELECT tableowner FROM pg_tables WHERE tablename = '") + table.toLower()
                         + QStringLiteral("'")),
                  QString::fromUtf16(reinterpret_cast<const char16_t*>(user), n));
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
