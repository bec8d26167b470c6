// The tallyquill command as an administrator or a script uses it.

#include "TestSupport.h"

#include "writer/LogTable.h"

#include <QDir>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

namespace {

struct CliRun {
    int code;
    QString out;
    QString err;
};

CliRun run(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tool/tallyquill"), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

class Cli : public tqtest::DbTest {};

TEST_P(Cli, WriteAnswersWithItsExitStatus)
{
    const QString app = QString::fromStdString(newAppId());
    const QString d = QString::fromStdString(dsn);
    CliRun r = run({"write", "--dsn", d, "--app", app, "--ws", "ws1", "--user", "ann", "--event", "login",
                 QStringLiteral("登录 'ok'")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    auto rows = this->rows(QStringLiteral("SELECT log_WsID, log_User, log_Data FROM ") + app
                           + QStringLiteral("_logs"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].trimmed(), "WS1");
    EXPECT_EQ(rows[0][1].trimmed(), "ANN");
    EXPECT_EQ(rows[0][2], QStringLiteral("登录 'ok'"));

    // Nothing written: an unknown data source, or an AppID that is no table name.
    r = run({"write", "--dsn", "tq_no_such_dsn", "--app", app, "--ws", "w", "x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("nothing was written")) << r.err.toStdString();
    r = run({"write", "--dsn", d, "--app", "A;B", "--ws", "w", "x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("A;B")) << r.err.toStdString();

    // The database refuses: a table dropped under it has gone for good once
    // the flag says it was created, so use a value too long for its column.
    if (isPostgres()) {
        r = run({"write", "--dsn", d, "--app", app, "--ws", "w", "--user", "a_user_name_far_too_long", "x"});
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.err.contains("22001")) << r.err.toStdString();
    }
}

TEST_P(Cli, ListAndArchiveFromTheCommandLine)
{
    const QString app = QString::fromStdString(newAppId());
    const QString d = QString::fromStdString(dsn);
    raw().execute(tallyquill::CreateTableSql(app + "_logs"));
    for (int day = 1; day <= 3; ++day)
        for (int k = 0; k < 12; ++k)
            raw().execute(QStringLiteral("INSERT INTO %1_logs VALUES ('%1', 'WS%2', '2026010%3', '10%4', 'U%2', "
                                         "'EV', '第%3天 row %4')")
                              .arg(app)
                              .arg(k % 2)
                              .arg(day)
                              .arg(k, 4, 10, QLatin1Char('0')));
    // All pages, oldest first, in the print-file layout with CRLF.
    CliRun r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-01", "--to", "03/01/2026"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    QStringList lines = r.out.split("\r\n");
    EXPECT_EQ(lines.takeLast(), "");
    ASSERT_EQ(lines.size(), 37);
    EXPECT_EQ(lines[0], "Date       Time     App ID     Ws ID            User                 Event Ty Activity");
    EXPECT_EQ(lines[1], QStringLiteral("01/01/2026 10:00:00 %1 WS0              U0                   EV       第1天 row 0000")
                            .arg(app.leftJustified(10)));
    EXPECT_TRUE(lines[36].endsWith(QStringLiteral("第3天 row 0011")));

    // Filters, hidden columns and an output file.
    const QString out = dir.path() + "/list.txt";
    r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-02", "--to", "2026-01-02", "--time-from",
             "10:00:05", "--time-to", "10:00:08", "--ws", "ws1", "--activity", "row", "--hide", "app,user,event",
             "--output", out});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()),
              QStringLiteral("Date       Time     Ws ID            Activity\r\n"
                             "02/01/2026 10:00:05 WS1              第2天 row 0005\r\n"
                             "02/01/2026 10:00:07 WS1              第2天 row 0007\r\n"));

    // A value longer than the column (only SQLite keeps one; PostgreSQL is
    // given a wider column) is listed whole.
    if (isPostgres())
        raw().execute("ALTER TABLE " + app + "_logs ALTER COLUMN log_Data TYPE varchar(4000)");
    const QString longText = QString(900, QChar(u'长')) + QString(900, QLatin1Char('x'));
    raw().execute(QStringLiteral("INSERT INTO %1_logs VALUES ('%1', 'WS9', '20260104', '100000', 'U9', 'EV', '%2')")
                      .arg(app, longText));
    r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-04", "--to", "2026-01-04", "--hide", "app,ws,user,event"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.split("\r\n").value(1), "04/01/2026 10:00:00 " + longText);

    // The viewer's filter rules and messages.
    r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-03", "--to", "2026-01-01"});
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.err, "Error: Invalid date range\n");
    r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-01", "--to", "2026-01-03", "--time-from",
             "10:00:00"});
    EXPECT_EQ(r.err, "Error: No end time\n");

    // Archive the first two days to daily files, deleting them.
    const QString daily = dir.path() + "/daily";
    QDir().mkpath(daily);
    r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-02", "--daily", daily, "--prefix", "t_",
             "--delete"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(QDir(daily).entryList(QDir::Files), QStringList({"t_20260101.log", "t_20260102.log"}));
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "13");
    // Into a directory that is not there: refused, nothing deleted.
    r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-03", "--file", daily + "/none/x.log",
             "--delete"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.startsWith("Error: Error in archive record")) << r.err.toStdString();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "13");
    r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-04", "--delete"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "0");
    EXPECT_EQ(run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-03"}).code, 64);
}

TEST(CliUsage, BadUsageIsSixtyFourAndHelpExplainsEveryOption)
{
    EXPECT_EQ(run({}).code, 64);
    EXPECT_EQ(run({"frobnicate"}).code, 64);
    EXPECT_EQ(run({"write", "--dsn", "x", "--app", "A", "--ws", "W"}).code, 64);  // no TEXT
    EXPECT_EQ(run({"write", "--app", "A", "--ws", "W", "t"}).code, 64);           // no --dsn
    EXPECT_EQ(run({"write", "--dsn", "x", "--app", "A", "--ws", "W", "--colour", "red", "t"}).code, 64);
    const CliRun help = run({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* option : {"--dsn", "--login", "--password", "TALLYQUILL_PASSWORD", "--app", "--ws", "--user",
                               "--event", "--database", "--from", "--to", "--time-from", "--time-to", "--activity",
                               "--hide", "--output", "--until", "--file", "--daily", "--prefix", "--delete"})
        EXPECT_TRUE(help.out.contains(QLatin1String(option))) << option;
}

TEST(CliUsage, SetupTwiceIsHarmless)
{
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ODBCINI", home.path() + "/odbc.ini");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    const CliRun first = run({"setup", "--dsn", "TqSetup"}, env);
    ASSERT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out.trimmed(), home.path() + "/data/tallyquill/TqSetup.sqlite");
    const CliRun second = run({"setup", "--dsn", "TqSetup"}, env);
    EXPECT_EQ(second.code, 0);
    QFile ini(home.path() + "/odbc.ini");
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(ini.readAll());
    EXPECT_EQ(text.count("[TqSetup]"), 1);
    for (const char* setting : {"StepAPI=1", "JournalMode=WAL", "SyncPragma=NORMAL", "Timeout=", "Driver=SQLite3"})
        EXPECT_TRUE(text.contains(QLatin1String(setting))) << setting;
    // The registered source works: a row goes in through it.
    const CliRun write = run({"write", "--dsn", "TqSetup", "--app", "SETUP", "--ws", "w", "hello"}, env);
    EXPECT_EQ(write.code, 0) << write.err.toStdString();
}

TEST(HeadlessHost, MessagesGoToStderrWithoutBlocking)
{
    // The worker has no QApplication, as a console host: an empty DSN must
    // neither block nor crash, and the operator's text reaches stderr.
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/write_worker"), {"", "APP", "WS", "2"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(err.count(QStringLiteral("Error: No DSN provided\n")), 2) << err.toStdString();
}

TQ_INSTANTIATE_DB_TESTS(Cli);

} // namespace
