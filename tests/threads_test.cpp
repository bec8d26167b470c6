// One logger shared between threads: every acknowledged event is one row.

#include "WriterFixture.h"

#include "tallyquill/log_viewer.h"

#include <QApplication>

#include <atomic>
#include <functional>
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

TEST(ViewerThread, MembersOffTheApplicationThreadFailWithTheReason)
{
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    using tallyquill::LogViewer;
    // Every member reads or changes what the open screens use.
    const std::vector<std::pair<const char*, std::function<void(LogViewer&)>>> members = {
        {"ShowLog", [](LogViewer& v) { v.ShowLog(0); }},
        {"Caption", [](LogViewer& v) { (void)v.Caption(); }},
        {"setCaption", [](LogViewer& v) { v.setCaption("c"); }},
        {"AppID", [](LogViewer& v) { (void)v.AppID(); }},
        {"setAppID", [](LogViewer& v) { v.setAppID("a"); }},
        {"WorkstationID", [](LogViewer& v) { (void)v.WorkstationID(); }},
        {"setWorkstationID", [](LogViewer& v) { v.setWorkstationID("w"); }},
        {"UserProgDesc", [](LogViewer& v) { (void)v.UserProgDesc(); }},
        {"setUserProgDesc", [](LogViewer& v) { v.setUserProgDesc("u"); }},
        {"EventDesc", [](LogViewer& v) { (void)v.EventDesc(); }},
        {"setEventDesc", [](LogViewer& v) { v.setEventDesc("e"); }},
        {"ActivityDesc", [](LogViewer& v) { (void)v.ActivityDesc(); }},
        {"setActivityDesc", [](LogViewer& v) { v.setActivityDesc("x"); }},
        {"AppIDVisible", [](LogViewer& v) { (void)v.AppIDVisible(); }},
        {"setAppIDVisible", [](LogViewer& v) { v.setAppIDVisible(1); }},
        {"WorkstationIDVisible", [](LogViewer& v) { (void)v.WorkstationIDVisible(); }},
        {"setWorkstationIDVisible", [](LogViewer& v) { v.setWorkstationIDVisible(1); }},
        {"UserProgVisible", [](LogViewer& v) { (void)v.UserProgVisible(); }},
        {"setUserProgVisible", [](LogViewer& v) { v.setUserProgVisible(1); }},
        {"EventVisible", [](LogViewer& v) { (void)v.EventVisible(); }},
        {"setEventVisible", [](LogViewer& v) { v.setEventVisible(1); }},
        {"DSN", [](LogViewer& v) { (void)v.DSN(); }},
        {"setDSN", [](LogViewer& v) { v.setDSN("d"); }},
        {"LoginID", [](LogViewer& v) { (void)v.LoginID(); }},
        {"setLoginID", [](LogViewer& v) { v.setLoginID("l"); }},
        {"Password", [](LogViewer& v) { (void)v.Password(); }},
        {"setPassword", [](LogViewer& v) { v.setPassword("p"); }},
    };
    LogViewer viewer;
    for (const auto& [name, call] : members) {
        SCOPED_TRACE(name);
        std::string reason;
        std::thread([&] {
            try {
                call(viewer);
            } catch (const tallyquill::Error& e) {
                reason = e.what();
            }
        }).join();
        EXPECT_EQ(reason, "The log viewer must be used on the thread that runs the application's screens");
    }
    // Nothing was changed by the refused setters.
    EXPECT_EQ(viewer.Caption(), "Log Viewer");
    EXPECT_EQ(viewer.AppIDVisible(), 0);
}

} // namespace
TQ_INSTANTIATE_DB_TESTS(WriterDb);
} // namespace tqtest
