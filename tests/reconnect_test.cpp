// Restarting the server breaks every open connection, so this runs alone.

#include "ViewerFixture.h"
#include "WriterFixture.h"

#include <cstdlib>

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

TQ_INSTANTIATE_DB_TESTS(WriterDb);
TQ_INSTANTIATE_DB_TESTS(ViewerDb);

} // namespace
