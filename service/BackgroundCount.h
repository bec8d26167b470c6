#pragma once

// The exact count of a retrieval, made on a connection and a thread of its
// own so that the first page need not wait for it. One count at a time: a
// new one cancels the one before, whose outcome is then never told.

#include "core/ViewValues.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace tallyquill {

class LogConnection;
namespace odbc {
class Connection;
}

class BackgroundCount {
public:
    using Delivery = std::function<void(const CountOutcome&)>;

    BackgroundCount() = default;
    // Cancels the count and waits for its thread.
    ~BackgroundCount();
    BackgroundCount(const BackgroundCount&) = delete;
    BackgroundCount& operator=(const BackgroundCount&) = delete;

    struct Job {
        uint64_t id = 0;
        QString dsn, login, password;
        QString sql;  // answers one integer
        Delivery deliver;  // told the outcome, on the count's thread
        std::function<void()> starting;  // run on the count's thread first
        // Waits this long for go() before it counts: a count cancelled
        // meanwhile has sent nothing.
        std::chrono::milliseconds holdOff{0};
    };
    // Counts for `job.id`, cancelling an earlier count. The outcome is kept
    // for take() until a take() gives up waiting; only then is it delivered.
    void start(Job job);
    // Ends the hold-off of the count of `id`: it counts now.
    void go(uint64_t id);
    // Cancels the waiting or running count: its outcome is never told.
    void cancel();
    // Waits up to `limit` for the count of `id` to end, and answers its
    // outcome: `told` when it was delivered already, otherwise it never is;
    // none when the count goes on (it is delivered later) or was cancelled.
    struct Taken {
        CountOutcome outcome;
        bool told = false;
    };
    std::optional<Taken> take(uint64_t id, std::chrono::milliseconds limit);

private:
    void run();
    CountOutcome count(const Job& job, LogConnection& link);

    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<Job> next_;   // waiting for the thread
    uint64_t current_ = 0;      // the one count whose outcome may be told
    uint64_t taking_ = 0;       // a caller waits in take() for this count
    uint64_t going_ = 0;        // the count that need not hold off
    std::optional<Taken> ended_;  // the outcome of `current_`, once it ended
    odbc::Connection* running_ = nullptr;  // counting now, for cancel()
    bool stop_ = false;
    std::thread thread_;
};

} // namespace tallyquill
