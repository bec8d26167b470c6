// The ODBC layer on each back end: reading values, errors, bound parameters
// and a result set that can go back to a remembered position.

#include "TestSupport.h"

#include "writer/LogConnection.h"
#include "odbc/Odbc.h"
#include "odbc/Utf8Rows.h"

#include <QFileInfo>

#include <atomic>
#include <clocale>
#include <locale.h>
#include <thread>

using tallyquill::DatabaseError;
using tallyquill::odbc::Connection;
using tqtest::DbTest;

namespace {

class OdbcDb : public DbTest {
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        if (IsSkipped())
            return;
        table = QString::fromStdString(newAppId()) + QStringLiteral("_logs");
        raw().execute(QStringLiteral("CREATE TABLE ") + table + QStringLiteral(" (n integer, t varchar(50))"));
    }
    void fill(int count)
    {
        auto ins = raw().prepare(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (n, t) VALUES (?, ?)"));
        for (int i = 1; i <= count; ++i) {
            ins->setParameters({QString::number(i), QStringLiteral("row %1").arg(i)});
            ins->execute();
        }
    }
    QString table;
};

TEST_P(OdbcDb, ReadsByNameOrPositionAndNullAsEmpty)
{
    raw().execute(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (n, t) VALUES (42, NULL)"));
    auto rs = raw().query(QStringLiteral("SELECT n, t, COUNT(*) AS Total FROM ") + table
                          + QStringLiteral(" GROUP BY n, t"));
    ASSERT_FALSE(rs->eof());
    EXPECT_EQ(rs->integer(0), 42);
    EXPECT_EQ(rs->integer(QStringLiteral("N")), 42);
    EXPECT_EQ(rs->text(QStringLiteral("t")), QString());
    EXPECT_EQ(rs->integer(QStringLiteral("total")), 1);
    // Misuse is the caller's fault, not the database's.
    EXPECT_THROW(rs->text(QStringLiteral("missing")), tallyquill::odbc::UsageError);
    EXPECT_THROW(rs->text(7), tallyquill::odbc::UsageError);
    rs->next();
    EXPECT_TRUE(rs->eof());
    EXPECT_THROW(rs->text(0), tallyquill::odbc::UsageError);
}

TEST_P(OdbcDb, LongAndChineseTextRoundTripsThroughParameters)
{
    raw().execute(QStringLiteral("CREATE TABLE ") + table + QStringLiteral("x (t varchar(4000))"));
    const QString long_text = QString(3000, QChar(u'语')) + QStringLiteral("end");
    const QString mixed = QStringLiteral("日志 記錄 'quote' 😀");
    auto ins = raw().prepare(QStringLiteral("INSERT INTO ") + table + QStringLiteral("x (t) VALUES (?)"));
    for (const QString& v : {long_text, mixed}) {
        ins->setParameters({v});
        ins->execute();
    }
    auto r = rows(QStringLiteral("SELECT t FROM ") + table + QStringLiteral("x ORDER BY t DESC"));
    raw().execute(QStringLiteral("DROP TABLE ") + table + QStringLiteral("x"));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE((r[0][0] == long_text && r[1][0] == mixed) || (r[1][0] == long_text && r[0][0] == mixed));
}

TEST_P(OdbcDb, ErrorsCarrySqlstateAndDescription)
{
    try {
        raw().execute(QStringLiteral("SELECT * FROM tq_no_such_table_at_all"));
        FAIL();
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.sqlstate().size(), 5u);
        EXPECT_NE(e.description().find("tq_no_such_table_at_all"), std::string::npos) << e.description();
        EXPECT_FALSE(e.connectionLost());
    }
    Connection c;
    try {
        c.open(QStringLiteral("tq_no_such_dsn"), {}, {});
        FAIL();
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.sqlstate(), "IM002");
    }
    EXPECT_FALSE(c.isOpen());
    EXPECT_FALSE(tallyquill::OpenLogConnection(c, QStringLiteral("tq_no_such_dsn"), {}, {}));
    EXPECT_TRUE(tallyquill::OpenLogConnection(c, QString::fromStdString(dsn), {}, {}));
}

TEST_P(OdbcDb, RestoredPositionDeliversTheSameRowsAgain)
{
    fill(25);
    auto rs = raw().query(QStringLiteral("SELECT n FROM ") + table + QStringLiteral(" ORDER BY n"));
    for (int i = 0; i < 9; ++i)
        rs->next();
    ASSERT_EQ(rs->integer(0), 10);
    rs->markReplayPoint();
    const int32_t mark = rs->position();
    EXPECT_EQ(mark, 10);
    int last = 0;
    for (rs->next(); !rs->eof(); rs->next())
        last = rs->integer(0);
    EXPECT_EQ(last, 25);
    rs->setPosition(mark);
    ASSERT_FALSE(rs->eof());
    EXPECT_EQ(rs->integer(0), 10);
    std::vector<int> again;
    for (rs->next(); !rs->eof(); rs->next())
        again.push_back(rs->integer(0));
    ASSERT_EQ(again.size(), 15u);
    EXPECT_EQ(again.front(), 11);
    EXPECT_EQ(again.back(), 25);
    // Going back before the remembered position is refused, not faked.
    EXPECT_THROW(rs->setPosition(3), tallyquill::odbc::UsageError);
}

TEST_P(OdbcDb, PositionRemembersWhileReadingOnPartially)
{
    fill(12);
    auto rs = raw().query(QStringLiteral("SELECT n FROM ") + table + QStringLiteral(" ORDER BY n"));
    rs->markReplayPoint();  // on row 1
    const int32_t mark = rs->position();
    rs->next();
    rs->next();
    rs->setPosition(mark);
    EXPECT_EQ(rs->integer(0), 1);
    int count = 1;
    for (rs->next(); !rs->eof(); rs->next())
        ++count;
    EXPECT_EQ(count, 12);
}

TEST_P(OdbcDb, BoundRowsReadWhatTheWidePathReads)
{
    // Blocks of 3 rows into 8-byte buffers: values under, at and over the
    // buffer, in characters of one to four bytes, NULL and empty.
    const QString values[] = {QStringLiteral("a"), QStringLiteral("12345678"), QString(), QStringLiteral("日志"),
                              QStringLiteral("ab'c"), QStringLiteral(""), QStringLiteral("😀😀"),
                              QStringLiteral("123456789"), QStringLiteral("日志記錄 😀"), QStringLiteral("z")};
    auto ins = raw().prepare(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (n, t) VALUES (?, ?)"));
    for (int i = 0; i < int(std::size(values)); ++i) {
        if (values[i].isNull())
            raw().execute(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (n, t) VALUES (%1, NULL)").arg(i));
        else {
            ins->setParameters({QString::number(i), values[i]});
            ins->execute();
        }
    }
    const tallyquill::odbc::TextCapabilities caps = raw().textCapabilities();
    ASSERT_TRUE(caps.utf8) << "both drivers answer UTF-8 in a UTF-8 locale";
    const QString sql = QStringLiteral("SELECT n, t FROM ") + table + QStringLiteral(" ORDER BY n");
    const auto wide = rows(sql);
    for (const size_t block : {3, 1}) {
        SCOPED_TRACE(block);
        tallyquill::odbc::Utf8Rows bound(raw(), sql, {4, 8}, block);
        const bool whole = block == 1 || caps.rereadInBlock;
        size_t seen = 0;
        try {
            while (bound.fetch())
                for (size_t r = 0; r < bound.rows(); ++r, ++seen) {
                    ASSERT_LT(seen, wide.size());
                    EXPECT_EQ(QString::fromUtf8(bound.text(r, 0)), wide[seen][0]);
                    EXPECT_EQ(QString::fromUtf8(bound.text(r, 1)), wide[seen][1]) << seen;
                }
            EXPECT_TRUE(whole) << "a long value must not be delivered cut";
            EXPECT_EQ(seen, wide.size());
        } catch (const tallyquill::odbc::ValueTooLong&) {
            // A driver that cannot read it again stops at the block of the
            // first long value (rows 6-8), having delivered every row before.
            EXPECT_FALSE(whole);
            EXPECT_EQ(seen, 6u);
        }
    }
}

// A host that never sets a locale (the C locale): the driver manager would
// pass statement text to the SQLite driver cut to a byte per character, so
// a filter's literal matched nothing and the bound reader fell back to the
// slow way. Its connections still speak UTF-8, and its locale stays its own.
TEST_P(OdbcDb, AHostInTheCLocaleGetsUtf8AndKeepsItsLocale)
{
    const std::string before = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    {
        tallyquill::odbc::Connection conn;
        conn.open(QString::fromStdString(dsn), {}, {});
        EXPECT_TRUE(conn.textCapabilities().utf8);
        raw().execute(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (n, t) VALUES (1, 'J\u00f6rg \u4e2d')"));
        EXPECT_EQ(conn.query(QStringLiteral("SELECT t FROM ") + table + QStringLiteral(" WHERE t = 'J\u00f6rg \u4e2d'"))
                      ->text(0),
                  QStringLiteral("J\u00f6rg \u4e2d"));
        EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
        EXPECT_EQ(uselocale(locale_t(nullptr)), LC_GLOBAL_LOCALE);
    }
    std::setlocale(LC_ALL, before.c_str());
}

TEST_P(OdbcDb, DialectAnswersWhatItsDatabaseDoes)
{
    using tallyquill::odbc::Dialect;
    struct Expected {
        const char* backend;
        Dialect::Kind kind;
        bool writeLock, escapesQuery, files;
    };
    const Expected table[] = {{"sqlite", Dialect::Kind::SQLite, true, false, true},
                              {"postgres", Dialect::Kind::PostgreSQL, false, true, false}};
    const Expected& want = isPostgres() ? table[1] : table[0];
    const Dialect& d = raw().dialect();
    EXPECT_EQ(d.kind(), want.kind);
    // The driver's own refusal of a missing table, and of something else.
    auto refusal = [&](const char* sql) {
        try {
            raw().execute(QString::fromLatin1(sql));
        } catch (const DatabaseError& e) {
            return e;
        }
        ADD_FAILURE() << sql;
        return DatabaseError("00000", 0, "");
    };
    const DatabaseError missing = refusal("SELECT * FROM tq_no_such_table_at_all");
    EXPECT_TRUE(d.isMissingTable(missing)) << missing.sqlstate() << " " << missing.description();
    EXPECT_TRUE(Dialect::isMissingTableInAny(missing));
    const DatabaseError other = refusal("SELEKT 1");
    EXPECT_FALSE(Dialect::isMissingTableInAny(other)) << other.sqlstate() << " " << other.description();
    EXPECT_EQ(!d.writeLockBegin().isEmpty(), want.writeLock);
    if (want.writeLock) {
        raw().execute(d.writeLockBegin());
        raw().execute(QStringLiteral("ROLLBACK"));
    }
    EXPECT_EQ(!d.backslashEscapesQuery().isEmpty(), want.escapesQuery);
    if (want.escapesQuery) {
        auto rs = raw().query(d.backslashEscapesQuery());
        ASSERT_FALSE(rs->eof());
        EXPECT_EQ(d.backslashEscapesFromAnswer(rs->text(0)), raw().backslashEscapes());
    }
    EXPECT_EQ(!d.databaseFilesQuery().isEmpty(), want.files);
    if (want.files) {
        bool found = false;
        for (auto rs = raw().query(d.databaseFilesQuery()); !rs->eof(); rs->next())
            found |= QFileInfo::exists(rs->text(QStringLiteral("file")) + d.databaseFileSuffixes().front());
        EXPECT_TRUE(found);
    }

    // Products by name; an unknown one gets none of the two's special ways.
    const std::pair<const char*, Dialect::Kind> names[] = {{"SQLite", Dialect::Kind::SQLite},
                                                           {"sqlite3", Dialect::Kind::SQLite},
                                                           {"PostgreSQL", Dialect::Kind::PostgreSQL},
                                                           {"Microsoft SQL Server", Dialect::Kind::Other}};
    for (const auto& [name, kind] : names)
        EXPECT_EQ(Dialect::ofDbms(QString::fromLatin1(name)).kind(), kind) << name;
    const Dialect& unknown = Dialect::ofDbms(QStringLiteral("Other"));
    EXPECT_TRUE(unknown.writeLockBegin().isEmpty());
    EXPECT_FALSE(unknown.backslashEscapesFromAnswer(QStringLiteral("off")));
    EXPECT_FALSE(unknown.isMissingTable(DatabaseError("42P01", 0, "no such table: x")));
}

// A query given up from another thread stops at once, with the reason,
// instead of running to its end (or to the statement timeout): on SQLite,
// whose driver does the work in the first fetch, too.
TEST_P(OdbcDb, CancelStopsAQueryRunningOnAnotherThread)
{
    Connection conn;
    conn.open(QString::fromStdString(dsn), {}, {});
    const QString slow = endlessQuery();
    std::atomic<bool> ended{false};
    std::string failure;
    std::thread running([&] {
        try {
            conn.query(slow);
        } catch (const DatabaseError& e) {
            failure = e.what();
        }
        ended = true;
    });
    conn.cancel();  // nothing runs yet, or it stops
    while (!ended) {
        conn.cancel();
        std::this_thread::yield();
    }
    running.join();
    // Stopped by the cancel (the server's "user request", or the driver's own
    // refusal when it came as the statement was sent), not by a timeout.
    EXPECT_FALSE(failure.empty());
    EXPECT_EQ(failure.find("timeout"), std::string::npos) << failure;
    EXPECT_EQ(conn.query(QStringLiteral("SELECT 1"))->integer(0), 1) << "the connection still serves";
}

TQ_INSTANTIATE_DB_TESTS(OdbcDb);

} // namespace
