// Restarting or stopping the server breaks every open connection, so this
// runs alone.

#include "ViewerFixture.h"
#include "WriterFixture.h"

#include "writer/Constant.h"
#include "writer/LogConnection.h"

#include <odbcinst.h>

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
    EXPECT_EQ(r.result, tallyquill::kFalse);
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_TRUE(messages.messages()[0].text.startsWith("Error in retrieve record:"));
    r = retrieve();
    EXPECT_EQ(r.result, tallyquill::kTrue);
    EXPECT_EQ(r.total, 25);
    EXPECT_EQ(page.OutputActivity[1], "r1");
}

QString dsnSetting(const std::string& dsn, const char16_t* key)
{
    SQLWCHAR value[256] = {};
    const int n = SQLGetPrivateProfileStringW(reinterpret_cast<const SQLWCHAR*>(QString::fromStdString(dsn).utf16()),
                                              reinterpret_cast<const SQLWCHAR*>(key),
                                              reinterpret_cast<const SQLWCHAR*>(u""), value, 256,
                                              reinterpret_cast<const SQLWCHAR*>(u"odbc.ini"));
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(value), std::max(n, 0));
}

TEST_P(ViewerDb, ServerThatStopsAnsweringFailsWithinTheTimeout)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a server to stop";
    // A loopback port that takes connections and never says a word.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(silent, 8), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    // Data sources with short limits: the test server's own, named in
    // pg_stat_activity, and one on the silent port.
    auto source = [&](const std::string& name, bool onSilentPort) {
        std::vector<std::pair<QString, QString>> settings = {
            {"Servername", onSilentPort ? QStringLiteral("127.0.0.1") : dsnSetting(dsn, u"Servername")},
            {"Port", onSilentPort ? QString::number(ntohs(addr.sin_port)) : dsnSetting(dsn, u"Port")},
            {"Database", dsnSetting(dsn, u"Database")},
            {"Username", dsnSetting(dsn, u"Username")},
            {"UseDeclareFetch", "1"},
            {"pqopt", QStringLiteral("application_name=") + QString::fromStdString(name)},
            {"LoginTimeout", "1"},
            {"QueryTimeout", "1"}};
        tallyquill::odbc::writeUserDsn(QString::fromStdString(name), dsnSetting(dsn, u"Driver"), settings);
        return name;
    };
    const std::string tag = "tqstop" + std::to_string(getpid());
    fill(3);
    struct Case {
        const char* name;
        bool onSilentPort;
        std::function<void(const std::string& dsn)> before;     // connects while the server answers
        std::function<QString(const std::string& dsn)> fails;  // the failure's text
    };
    tallyquill::MsgLogger logger;
    tallyquill::LogViewer other;
    const Case cases[] = {
        {"write to a stopped backend", false,
         [&](const std::string& d) {
             logger.setDSN(d);
             logger.setAppID(app.toStdString());
             logger.setWorkstationID("w");
             ASSERT_EQ(logger.WriteLog("u", "e", "before"), 0);
         },
         [&](const std::string&) {
             try {
                 logger.WriteLog("u", "e", "frozen");
             } catch (const tallyquill::DatabaseError& e) {
                 EXPECT_TRUE(e.connectionLost());
                 return QString::fromStdString(e.what());
             }
             return QString();
         }},
        {"retrieval from a stopped backend", false,
         [&](const std::string& d) {
             other.setDSN(d);
             int16_t result = 0;
             int32_t total = 0, got = 0;
             other.impl().RetrieveLog(result, total, got, "19980101", "19981231", {}, {}, app, {}, {}, {}, {}, page);
             ASSERT_EQ(total, 3);
         },
         [&](const std::string&) {
             messages.clear();
             int16_t result = 0;
             int32_t total = 0, got = 0;
             other.impl().RetrieveLog(result, total, got, "19980101", "19981231", {}, {}, app, {}, {}, {}, {}, page);
             return result == tallyquill::kFalse && !messages.messages().empty() ? messages.messages()[0].text
                                                                                 : QString();
         }},
        {"write to a server that never answers", true, [](const std::string&) {},
         [&](const std::string& d) {
             tallyquill::MsgLogger l;
             l.setDSN(d);
             l.setAppID(app.toStdString());
             l.setWorkstationID("w");
             return l.WriteLog("u", "e", "x") == 1 ? tallyquill::LastOpenFailure() : QString();
         }},
        {"archive on a server that never answers", true, [](const std::string&) {},
         [&](const std::string& d) {
             tallyquill::LogViewer v;
             v.setDSN(d);
             int16_t ok = tallyquill::kTrue;
             v.impl().ArchiveLog(ok, app, "19981231", tallyquill::kFalse, tallyquill::kTrue, tallyquill::kFalse, {},
                                 {});
             return ok == tallyquill::kFalse ? v.impl().lastArchiveError : QString();
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string d = source(tag + "_" + std::to_string(++n), c.onSilentPort);
        c.before(d);
        if (HasFatalFailure())
            return;
        pid_t backend = 0;
        if (!c.onSilentPort) {
            backend = scalar(QStringLiteral("SELECT pid FROM pg_stat_activity WHERE application_name = '")
                             + QString::fromStdString(d) + QStringLiteral("'"))
                          .toInt();
            ASSERT_GT(backend, 0);
            ASSERT_EQ(kill(backend, SIGSTOP), 0);
        }
        auto failure = std::async(std::launch::async, c.fails, d);
        const bool answered = failure.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        if (backend)
            kill(backend, SIGCONT);
        EXPECT_TRUE(answered) << "still waiting after a minute";
        if (!answered)
            shutdown(silent, SHUT_RDWR);
        const QString text = failure.get();
        EXPECT_TRUE(text.contains(c.onSilentPort ? QStringLiteral("timeout") : QStringLiteral("did not answer within")))
            << text.toStdString();
    }
    close(silent);
}

TQ_INSTANTIATE_DB_TESTS(WriterDb);
TQ_INSTANTIATE_DB_TESTS(ViewerDb);

} // namespace
