// Writes N rows through its own MsgLogger; exits 0 only when every call
// answered 0. Used by the concurrency test.
#include "msgbox/MessageBox.h"
#include "tallyquill/msg_logger.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 5)
        return 64;
    tallyquill::MsgLogger logger;
    logger.setDSN(argv[1]);
    logger.setAppID(argv[2]);
    logger.setWorkstationID(argv[3]);
    const int n = std::stoi(argv[4]);
    int failures = 0;
    for (int i = 0; i < n; ++i) {
        try {
            if (logger.WriteLog("worker", "bulk", "row " + std::to_string(i)) != 0)
                ++failures;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "write_worker: %s\n", e.what());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
