// Takes the PostgreSQL server away and brings it back, so this runs alone.

#include "SpoolFixture.h"

#include "core/LogRecord.h"
#include "core/LogTable.h"

#include <csignal>
#include <cstdlib>

namespace {

using tqtest::SpoolDb;

TEST_P(SpoolDb, RecordsSpooledWhileTheServerIsDownOutliveAKilledHost)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a server to stop";
    const char* stop = std::getenv("TQ_PG_STOP");
    const char* start = std::getenv("TQ_PG_START");
    if (!stop || !start)
        GTEST_SKIP() << "TQ_PG_STOP and TQ_PG_START are not set";
    raw_reset();
    ASSERT_EQ(std::system(stop), 0);
    struct Restart {
        const char* start;
        bool done = false;
        ~Restart()
        {
            if (!done && std::system(start) != 0)
                ADD_FAILURE() << "the server did not start again";
        }
    } restart{start};

    constexpr int kCount = 1000;
    QProcess host;
    startHost(host, dsn, app, QStringLiteral("WS1"), kCount, "hold");
    ASSERT_TRUE(host.waitForReadyRead(120000)) << host.readAllStandardError().toStdString();
    ASSERT_EQ(host.readAllStandardOutput().trimmed(), "written");
    ::kill(pid_t(host.processId()), SIGKILL);
    host.waitForFinished();

    restart.done = true;
    ASSERT_EQ(std::system(start), 0);
    const Run flush = tool({"spool", "flush"});
    EXPECT_EQ(flush.code, 0) << flush.err.toStdString();
    const auto r = inserted(table);
    ASSERT_EQ(r.size(), size_t(kCount));
    const QDateTime base(QDate(2001, 2, 3), QTime(4, 5, 6));
    for (int i = 0; i < kCount; ++i) {
        const QDateTime stamp = base.addSecs(i);
        EXPECT_EQ(r[size_t(i)][0], QStringLiteral("WS1 row %1").arg(i));
        EXPECT_EQ(r[size_t(i)][1], tallyquill::StoredDate(stamp));
        EXPECT_EQ(r[size_t(i)][2], tallyquill::StoredTime(stamp));
    }
}

TQ_INSTANTIATE_DB_TESTS(SpoolDb);

} // namespace
