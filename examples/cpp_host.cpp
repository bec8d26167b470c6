// The C++ classes of an installed Tallyquill: the public headers need neither
// Qt nor ODBC.

#include <tallyquill/log_viewer.h>
#include <tallyquill/msg_logger.h>

#include <iostream>

int main(int argc, char** argv)
{
    tallyquill::MsgLogger logger;
    logger.setAppID("example");
    logger.setWorkstationID("ws01");
    logger.setDSN(argc > 1 ? argv[1] : "");
    std::cout << "AppID " << logger.AppID() << '\n';
    try {
        std::cout << "WriteLog answered " << logger.WriteLog("example", "start", "C++ host started") << '\n';
    } catch (const tallyquill::DatabaseError& e) {
        std::cerr << "the database refused the line: " << e.description() << '\n';
        return 2;
    }
    tallyquill::LogViewer viewer;
    std::cout << "Viewer caption " << viewer.Caption() << '\n';
    return 0;
}
