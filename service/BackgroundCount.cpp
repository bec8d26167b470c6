#include "service/BackgroundCount.h"

#include "odbc/Odbc.h"
#include "writer/LogConnection.h"

namespace tallyquill {

BackgroundCount::~BackgroundCount()
{
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    cancel();
    if (thread_.joinable())
        thread_.join();
}

void BackgroundCount::start(Job job)
{
    cancel();
    {
        std::lock_guard guard(lock_);
        current_ = job.id;
        taking_ = job.id;  // the starter asks for the outcome before it is told
        ended_.reset();
        next_ = std::move(job);
        changed_.notify_all();
    }
    // Made outside the lock: a thread that waited for it would be woken by
    // its release, and could take the starter's processor there and then.
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void BackgroundCount::go(uint64_t id)
{
    std::lock_guard guard(lock_);
    going_ = id;
    changed_.notify_all();
}

void BackgroundCount::cancel()
{
    std::lock_guard guard(lock_);
    current_ = 0;
    next_.reset();
    ended_.reset();
    if (running_)
        running_->cancel();
    changed_.notify_all();
}

std::optional<BackgroundCount::Taken> BackgroundCount::take(uint64_t id, std::chrono::milliseconds limit)
{
    std::unique_lock guard(lock_);
    taking_ = id;
    // Without patience only a look: a wait, even one that ends at once, goes
    // through the condition's own locking, which meets the count's thread.
    if (limit > std::chrono::milliseconds(0))
        changed_.wait_for(guard, limit, [&] { return current_ != id || ended_; });
    taking_ = 0;
    if (current_ != id || !ended_)
        return std::nullopt;
    std::optional<Taken> taken = ended_;
    ended_->told = true;  // whoever asks again has been answered
    return taken;
}

void BackgroundCount::run()
{
    LogConnection link;  // kept from count to count
    QString openedFor;
    for (;;) {
        Job job;
        {
            std::unique_lock guard(lock_);
            changed_.wait(guard, [&] { return stop_ || next_; });
            if (stop_)
                return;
            job = std::move(*next_);
            next_.reset();
            if (job.holdOff > std::chrono::milliseconds(0)) {
                changed_.wait_for(guard, job.holdOff,
                                  [&] { return stop_ || current_ != job.id || going_ == job.id; });
                if (stop_)
                    return;
                if (current_ != job.id)
                    continue;  // cancelled before it sent anything
            }
        }
        // Another data source or login: not the connection to count on.
        const QString source = job.dsn + QChar(0) + job.login + QChar(0) + job.password;
        if (source != openedFor)
            link.drop();
        openedFor = source;
        const CountOutcome outcome = count(job, link);
        {
            std::lock_guard guard(lock_);
            if (job.id != current_)
                continue;  // cancelled: a later retrieval or a closed screen does not want it
            ended_ = Taken{outcome, taking_ != job.id};
            changed_.notify_all();
            if (taking_ == job.id || !job.deliver)
                continue;  // the waiter answers it instead, or nobody listens
        }
        job.deliver(outcome);
    }
}

CountOutcome BackgroundCount::count(const Job& job, LogConnection& link)
{
    CountOutcome out;
    out.retrieval = job.id;
    if (job.starting)
        job.starting();
    // cancel() reaches the connection only while it counts: a failure may
    // drop it below.
    struct Running {
        BackgroundCount& owner;
        ~Running()
        {
            std::lock_guard guard(owner.lock_);
            owner.running_ = nullptr;
        }
    };
    try {
        const bool opened = link.connected();
        odbc::Connection& conn = link.open(job.dsn, job.login, job.password);
        if (!opened)
            conn.setUpPagedReads();  // a connection lost fails the count
        {
            std::lock_guard guard(lock_);
            if (job.id != current_)
                return out;
            running_ = &conn;
        }
        const Running running{*this};
        auto rs = conn.query(job.sql);
        out.total = rs->integer(0);
        out.ok = true;
    } catch (const DatabaseError& e) {
        link.dropIfGone(e);
        out.number = e.number();
        out.detail = OperatorFailureText(e);
        out.reason = FailureText(e);
    } catch (const std::exception& e) {
        out.detail = out.reason = QString::fromStdString(e.what());
    }
    return out;
}

} // namespace tallyquill
