// A host in spooled mode: writes COUNT records "<WSID> row <i>", stamped
// 2001-02-03 04:05:06 plus i seconds, prints "written" once every call has
// answered 0, then either exits (delivering what it can on the way out) or,
// with "hold", waits to be killed. With --hold-delivery it takes the delivery
// lock of the spool file at PATH, prints "locked" and waits to be killed.
//   spool_host DSN APPID WSID COUNT exit|hold
//   spool_host --hold-delivery PATH
#include "core/LogRecord.h"
#include "core/LogTable.h"
#include "spool/SpoolFile.h"
#include "tallyquill/msg_logger.h"

#include <QDateTime>

#include <cstdio>
#include <string>

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--hold-delivery") {
        const auto file = tallyquill::spool::SpoolFile::openExisting(QString::fromLocal8Bit(argv[2]));
        if (!file || !file->tryLockDelivery())
            return 1;
        std::printf("locked\n");
        std::fflush(stdout);
        for (;;)
            ::pause();
    }
    if (argc != 6)
        return 64;
    const std::string ws = argv[3];
    const int count = std::stoi(argv[4]);
    const bool hold = std::string(argv[5]) == "hold";
    int reads = 0;
    const QDateTime base(QDate(2001, 2, 3), QTime(4, 5, 6));
    tallyquill::SetClock([&] { return base.addSecs(reads++); });
    {
        tallyquill::MsgLogger logger;
        logger.setSpooled(true);
        logger.setDSN(argv[1]);
        logger.setAppID(argv[2]);
        logger.setWorkstationID(ws);
        for (int i = 0; i < count; ++i)
            if (logger.WriteLog("host", "spool", ws + " row " + std::to_string(i)) != 0) {
                std::fprintf(stderr, "spool_host: call %d answered 1\n", i);
                return 1;
            }
        std::printf("written\n");
        std::fflush(stdout);
        while (hold)
            ::pause();
    }
    return 0;
}
