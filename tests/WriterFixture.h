#pragma once

// A MsgLogger set up on a fresh table of the back end under test.

#include "TestSupport.h"

#include "core/LogRecord.h"
#include "msgbox/MessageBox.h"
#include "tallyquill/msg_logger.h"

namespace tqtest {

class WriterDb : public DbTest {
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        if (IsSkipped())
            return;
        app = newAppId();
        table = QString::fromStdString(app) + QStringLiteral("_logs");
        logger.setDSN(dsn);
        logger.setAppID(app);
        logger.setWorkstationID("ws01");
    }
    void TearDown() override
    {
        tallyquill::SetClock({});
        DbTest::TearDown();
    }
    std::vector<std::vector<QString>> all()
    {
        return rows(QStringLiteral("SELECT log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, "
                                   "log_Data FROM ")
                    + table + QStringLiteral(" ORDER BY log_Date, log_Time"));
    }

    tallyquill::MessageRecorder messages;
    tallyquill::MsgLogger logger;
    std::string app;
    QString table;
};

} // namespace tqtest
