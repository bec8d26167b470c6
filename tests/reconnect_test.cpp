// Restarting or stopping the server breaks every open connection, so this
// runs alone.

#include "ViewerFixture.h"
#include "WriterFixture.h"


#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <future>

namespace {

using tqtest::WriterDb;

TEST_P(WriterDb, ReconnectsAfterServerRestart)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a server to restart";
    const char* restart = std::getenv("TQ_PG_RESTART");
    if (!restart)
        GTEST_SKIP() << "TQ_PG_RESTART is not set";
    ASSERT_EQ(logger.WriteLog("", "", "before"), 0);
    ASSERT_EQ(std::system(restart), 0);
    // The call that meets the dead connection still fails...
    bool failed = false;
    try {
        failed = logger.WriteLog("", "", "during") != 0;
    } catch (const tallyquill::DatabaseError& e) {
        failed = true;
        EXPECT_TRUE(e.connectionLost()) << e.sqlstate() << " " << e.description();
    }
    // ...and the next one opens a fresh connection.
    EXPECT_EQ(logger.WriteLog("", "", "after"), 0);
    auto r = rows(QStringLiteral("SELECT log_Data FROM ") + table + QStringLiteral(" ORDER BY log_Data"));
    std::vector<QString> data;
    for (auto& row : r)
        data.push_back(row[0]);
    EXPECT_TRUE(std::find(data.begin(), data.end(), "after") != data.end());
    EXPECT_TRUE(std::find(data.begin(), data.end(), "before") != data.end());
    EXPECT_EQ(data.size(), failed ? 2u : 3u);
}

using tqtest::ViewerDb;

TEST_P(ViewerDb, RetrievalReconnectsAfterServerRestart)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a server to restart";
    const char* restart = std::getenv("TQ_PG_RESTART");
    if (!restart)
        GTEST_SKIP() << "TQ_PG_RESTART is not set";
    fill(25);
    ASSERT_EQ(retrieve().total, 25);
    raw_reset();
    ASSERT_EQ(std::system(restart), 0);
    // The retrieval that meets the dead connection reports a failure, not
    // "nothing found"; the next one works on a fresh connection.
    auto r = retrieve();
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_TRUE(messages.messages()[0].text.startsWith("Error in retrieve record:"));
    r = retrieve();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.total, 25);
    EXPECT_EQ(tqtest::Activities(r.page).value(0), "r1");
}

TEST_P(ViewerDb, ServerThatStopsAnsweringFailsWithinTheTimeout)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a server to stop";
    // A loopback port that takes connections and never says a word.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), len) | listen(silent, 8)
                  | getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len),
              0);
    // Data sources with 1 s limits, on the test server (named in
    // pg_stat_activity, to stop its backend) or on the silent port.
    auto source = [&](const char* name, bool onSilentPort) {
        const std::string d = name + std::to_string(getpid());
        tallyquill::odbc::writeUserDsn(
            QString::fromStdString(d), tqtest::dsnSetting(dsn, "Driver"),
            {{"Servername", onSilentPort ? "127.0.0.1" : tqtest::dsnSetting(dsn, "Servername")},
             {"Port", onSilentPort ? QString::number(ntohs(addr.sin_port)) : tqtest::dsnSetting(dsn, "Port")},
             {"Database", tqtest::dsnSetting(dsn, "Database")}, {"Username", tqtest::dsnSetting(dsn, "Username")},
             {"pqopt", QString::fromStdString("application_name=" + d)}, {"LoginTimeout", "1"},
             {"QueryTimeout", "1"}});
        return d;
    };
    // The call's answer within a minute; otherwise the test fails and
    // `release` lets the call go.
    auto within = [](const std::function<QString()>& call, const std::function<void()>& release) {
        auto answer = std::async(std::launch::async, call);
        if (answer.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "still waiting after a minute";
            release();
        }
        return answer.get();
    };

    // A write on a connection whose server process has stopped.
    tallyquill::MsgLogger logger;
    logger.setDSN(source("tqstop", false));
    logger.setAppID(app.toStdString());
    logger.setWorkstationID("w");
    ASSERT_EQ(logger.WriteLog("u", "e", "x"), 0);
    const pid_t backend =
        scalar(QStringLiteral("SELECT pid FROM pg_stat_activity WHERE application_name = '") +
               QString::fromStdString(logger.DSN()) + QStringLiteral("'"))
            .toInt();
    ASSERT_GT(backend, 0);
    ASSERT_EQ(kill(backend, SIGSTOP), 0);
    QString text = within(
        [&] {
            try {
                return QString::number(logger.WriteLog("u", "e", "x"));
            } catch (const tallyquill::DatabaseError& e) {
                return QString::fromStdString(e.what());
            }
        },
        [&] { kill(backend, SIGCONT); });
    kill(backend, SIGCONT);
    EXPECT_TRUE(text.contains("did not answer within")) << text.toStdString();

    // An archive on a server that takes the connection and never answers.
    text = within(
        [&] {
            tallyquill::LogService v;
            v.source.dsn = QString::fromStdString(source("tqsilent", true));
            return v.archive({.AppID = app, .ArchiveDate = "19981231", .DelRecord = true}, {}).reason;
        },
        [&] { shutdown(silent, SHUT_RDWR); });
    EXPECT_TRUE(text.contains("timeout expired")) << text.toStdString();
    close(silent);
}

TQ_INSTANTIATE_DB_TESTS(WriterDb);
TQ_INSTANTIATE_DB_TESTS(ViewerDb);

} // namespace
