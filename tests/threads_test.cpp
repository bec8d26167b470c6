// One logger shared between threads: every acknowledged event is one row.

#include "WriterFixture.h"

#include "tallyquill/log_viewer.h"

#include <QApplication>

#include <atomic>
#include <thread>

namespace tqtest {
namespace {

TEST_P(WriterDb, ThreadsSharingOneLoggerLoseAndDoubleNothing)
{
    ASSERT_EQ(logger.WriteLog("u", "ev", "table made"), 0);
    for (const bool spooled : {false, true}) {
        SCOPED_TRACE(spooled ? "spooled" : "synchronous");
        logger.setSpooled(spooled);
        const int before = static_cast<int>(all().size());
        std::atomic<int> acknowledged{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([&, t] {
                for (int i = 0; i < 50; ++i)
                    if (logger.WriteLog("u" + std::to_string(t), "ev", std::to_string(i)) == 0)
                        ++acknowledged;
            });
        // Setters racing the writers, with the values they already hold.
        std::thread setter([&] {
            while (!stop) {
                logger.setDSN(dsn);
                logger.setAppID(app);
                logger.setWorkstationID("ws01");
                (void)logger.pendingCount();
            }
        });
        for (std::thread& w : writers)
            w.join();
        stop = true;
        setter.join();
        ASSERT_TRUE(logger.flushSpool(30000));
        EXPECT_EQ(acknowledged.load(), 200);
        EXPECT_EQ(static_cast<int>(all().size()) - before, acknowledged.load());
    }
}

TEST(ViewerThread, ScreensOffTheApplicationThreadFailWithTheReason)
{
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    tallyquill::LogViewer viewer;
    std::string reason;
    std::thread([&] {
        try {
            viewer.ShowLog(0);
        } catch (const tallyquill::Error& e) {
            reason = e.what();
        }
    }).join();
    EXPECT_EQ(reason, "The log viewer must be used on the thread that runs the application's screens");
}

} // namespace
TQ_INSTANTIATE_DB_TESTS(WriterDb);
} // namespace tqtest
