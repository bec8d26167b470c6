#include "service/BackgroundCount.h"

#include "odbc/Odbc.h"
#include "writer/LogConnection.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace tallyquill {

namespace {

// How long closing waits for a cancelled count to end: one whose server
// answers ends within a millisecond or two.
constexpr std::chrono::milliseconds kCloseGrace{200};
// A count still running this long after its cancel is cancelled again, and
// then ever less often.
constexpr std::chrono::milliseconds kRecancel{10}, kRecancelAtMost{1000};

} // namespace

struct BackgroundCount::Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::optional<Job> next;     // waiting for the thread
    uint64_t current = 0;        // the one count whose outcome may be told
    uint64_t taking = 0;         // a caller waits in take() for this count
    uint64_t going = 0;          // the count that need not hold off
    std::optional<Taken> ended;  // the outcome of `current`, once it ended
    odbc::Connection* running = nullptr;  // counting now, for a cancel
    bool cancelling = false;  // a cancel is being sent to `running`
    bool busy = false;        // the thread has a count, from taking it to telling it
    bool calling = false;     // the thread is in one of the job's callbacks
    bool stop = false;

    // Runs a callback of the count of `id` unless it was given up; never
    // once the owner has gone.
    template <class F>
    void callBack(uint64_t id, F&& f)
    {
        {
            std::lock_guard guard(lock);
            if (stop || current != id)
                return;
            calling = true;
        }
        struct Done {
            Shared& s;
            ~Done()
            {
                std::lock_guard guard(s.lock);
                s.calling = false;
                s.changed.notify_all();
            }
        } done{*this};
        f();
    }
};

BackgroundCount::BackgroundCount() : s_(std::make_shared<Shared>()) {}

BackgroundCount::~BackgroundCount()
{
    if (!thread_.joinable())
        return;
    std::unique_lock guard(s_->lock);
    s_->stop = true;
    cancelLocked(s_);
    // A callback may reach what the owner frees next; it is short.
    s_->changed.wait(guard, [&] { return !s_->calling; });
    const bool idle = s_->changed.wait_for(guard, kCloseGrace, [&] { return !s_->busy && !s_->cancelling; });
    guard.unlock();
    // A server that takes no cancel (stopped, cut off) would hold the
    // closing screen: that count ends at the watchdog or when the server
    // answers, and its thread then closes its connection.
    if (idle)
        thread_.join();
    else
        thread_.detach();
}

void BackgroundCount::start(Job job)
{
    cancel();
    {
        std::lock_guard guard(s_->lock);
        s_->current = job.id;
        s_->taking = job.id;  // the starter asks for the outcome before it is told
        s_->ended.reset();
        s_->next = std::move(job);
        s_->changed.notify_all();
    }
    // Made outside the lock: a thread that waited for it would be woken by
    // its release, and could take the starter's processor there and then.
    if (!thread_.joinable())
        thread_ = std::thread(run, s_);
}

void BackgroundCount::go(uint64_t id)
{
    std::lock_guard guard(s_->lock);
    s_->going = id;
    s_->changed.notify_all();
}

void BackgroundCount::cancel()
{
    std::lock_guard guard(s_->lock);
    cancelLocked(s_);
}

void BackgroundCount::cancelLocked(const std::shared_ptr<Shared>& s)
{
    s->current = 0;
    s->next.reset();
    s->ended.reset();
    s->changed.notify_all();
    if (!s->running || s->cancelling)
        return;
    // PostgreSQL's cancel opens a connection of its own and waits for the
    // server with no limit: never on the caller's thread. The count's thread
    // keeps its connection until the cancel has returned.
    // A cancel that comes as the statement is being sent finds nothing
    // running yet, in the driver or at the server, and is lost: it is sent
    // again until the count has ended.
    s->cancelling = true;
    try {
        std::thread([s, conn = s->running] {
            std::unique_lock guard(s->lock);
            for (auto wait = kRecancel;; wait = std::min(wait * 2, kRecancelAtMost)) {
                guard.unlock();
                conn->cancel();
                guard.lock();
                if (s->changed.wait_for(guard, wait, [&] { return s->running != conn; }))
                    break;
            }
            s->cancelling = false;
            s->changed.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        s->cancelling = false;  // no thread to spare: the count runs to its end, unheeded
    }
}

std::optional<BackgroundCount::Taken> BackgroundCount::take(uint64_t id, std::chrono::milliseconds limit)
{
    Shared& s = *s_;
    std::unique_lock guard(s.lock);
    s.taking = id;
    // Without patience only a look: a wait, even one that ends at once, goes
    // through the condition's own locking, which meets the count's thread.
    if (limit > std::chrono::milliseconds(0))
        s.changed.wait_for(guard, limit, [&] { return s.current != id || s.ended; });
    s.taking = 0;
    if (s.current != id || !s.ended)
        return std::nullopt;
    std::optional<Taken> taken = s.ended;
    s.ended->told = true;  // whoever asks again has been answered
    return taken;
}

void BackgroundCount::run(std::shared_ptr<Shared> shared)
{
    Shared& s = *shared;
    LogConnection link;  // kept from count to count
    QString openedFor;
    for (;;) {
        Job job;
        {
            std::unique_lock guard(s.lock);
            s.busy = false;
            s.changed.notify_all();
            s.changed.wait(guard, [&] { return s.stop || s.next; });
            if (s.stop)
                return;
            job = std::move(*s.next);
            s.next.reset();
            s.busy = true;
            if (job.holdOff > std::chrono::milliseconds(0)) {
                s.changed.wait_for(guard, job.holdOff,
                                   [&] { return s.stop || s.current != job.id || s.going == job.id; });
                if (s.current != job.id)
                    continue;  // cancelled before it sent anything
            }
        }
        // Another data source or login: not the connection to count on.
        const QString source = job.dsn + QChar(0) + job.login + QChar(0) + job.password;
        if (source != openedFor)
            link.drop();
        openedFor = source;
        const CountOutcome outcome = count(s, job, link);
        {
            std::lock_guard guard(s.lock);
            if (job.id != s.current)
                continue;  // cancelled: a later retrieval or a closed screen does not want it
            s.ended = Taken{outcome, s.taking != job.id};
            s.changed.notify_all();
            if (s.taking == job.id || !job.deliver)
                continue;  // the waiter answers it instead, or nobody listens
        }
        s.callBack(job.id, [&] { job.deliver(outcome); });
    }
}

CountOutcome BackgroundCount::count(Shared& s, const Job& job, LogConnection& link)
{
    CountOutcome out;
    out.retrieval = job.id;
    // A cancel reaches the connection only while it counts: a failure may
    // drop it below, and the connection outlives a cancel sent to it.
    struct Running {
        Shared& s;
        ~Running()
        {
            std::unique_lock guard(s.lock);
            s.running = nullptr;
            s.changed.notify_all();
            s.changed.wait(guard, [&] { return !s.cancelling; });
        }
    };
    auto wanted = [&] {
        std::lock_guard guard(s.lock);
        return job.id == s.current;
    };
    try {
        const bool opened = link.connected();
        odbc::Connection& conn = link.open(job.dsn, job.login, job.password);
        if (!opened)
            conn.setUpPagedReads();  // a connection lost fails the count
        {
            std::lock_guard guard(s.lock);
            if (job.id != s.current)
                return out;
            s.running = &conn;
        }
        const Running running{s};
        if (job.starting)
            s.callBack(job.id, job.starting);
        auto rs = conn.query(job.sql);
        out.total = rs->integer(0);
        out.ok = true;
    } catch (const DatabaseError& e) {
        link.dropIfGone(e);
        // A count given up tells nothing, nor reads the operator's language
        // behind a new screen's back.
        if (!wanted())
            return out;
        out.number = e.number();
        out.detail = OperatorFailureText(e);
        out.reason = FailureText(e);
    } catch (const std::exception& e) {
        out.detail = out.reason = QString::fromStdString(e.what());
    }
    return out;
}

} // namespace tallyquill
