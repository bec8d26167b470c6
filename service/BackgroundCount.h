#pragma once

// The exact count of a retrieval, made on a connection and a thread of its
// own so that the first page need not wait for it. One count at a time: a
// new one cancels the one before, whose outcome is then never told.

#include "core/ViewValues.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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

    BackgroundCount();
    // Cancels the count and waits a moment for its thread; a count that
    // does not end by then is left to end on its own, and tells nothing.
    ~BackgroundCount();
    BackgroundCount(const BackgroundCount&) = delete;
    BackgroundCount& operator=(const BackgroundCount&) = delete;

    struct Job {
        uint64_t id = 0;
        QString dsn, login, password;
        QString sql;  // answers one integer
        Delivery deliver;  // told the outcome, on the count's thread
        // Run on the count's thread as it begins its statement, cancellable.
        std::function<void()> starting;
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
    // Never waits for the server: the cancel is sent from a thread of its own.
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
    struct Shared;
    static void run(std::shared_ptr<Shared> s);
    static CountOutcome count(Shared& s, const Job& job, LogConnection& link);
    static void cancelLocked(const std::shared_ptr<Shared>& s);

    // The count's state, held also by its threads: a count whose server
    // does not answer goes on without this object, and ends on its own.
    std::shared_ptr<Shared> s_;
    std::thread thread_;
};

} // namespace tallyquill
