#include "spool/Spool.h"

#include "spool/SpoolDelivery.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace tallyquill::spool {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {
constexpr milliseconds kIdlePoll{2000};     // looks for what other processes left
constexpr milliseconds kFirstBackoff{200};
constexpr milliseconds kMaxBackoff{5000};
constexpr milliseconds kFlushRetry{100};    // while someone waits in flush()
constexpr milliseconds kExitBound{2000};    // what a releasing spool may spend delivering
} // namespace

QString SettingsPath() { return platform::SettingsPath(); }

Settings ReadSettings()
{
    Settings s;
    const QString path = SettingsPath();
    // Only a regular file: a FIFO would hang the host.
    if (!QFileInfo(path).isFile())
        return s;
    QSettings ini(path, QSettings::IniFormat);
    const QString on = ini.value(QStringLiteral("Writer/Spool")).toString().trimmed().toLower();
    s.enabled = on == QLatin1String("1") || on == QLatin1String("true") || on == QLatin1String("yes");
    bool ok = false;
    const qulonglong mb = ini.value(QStringLiteral("Writer/SpoolLimitMB")).toString().trimmed().toULongLong(&ok);
    if (ok && mb > 0 && mb < (uint64_t(1) << 40))
        s.limitBytes = uint64_t(mb) << 20;
    return s;
}

struct Spool::State {
    Target target;
    std::unique_ptr<SpoolFile> file;

    std::mutex m;
    std::condition_variable syncWake, deliveryWake, done;
    // Group commit: appends counted, and how many of them the last sync saw.
    uint64_t appended = 0, synced = 0;
    bool stopSync = false;
    // Delivery.
    bool wake = false;
    int flushWaiters = 0;
    bool closing = false, abandon = false, deliveryEnded = false;
    Clock::time_point exitDeadline;
    QString lastError;
    std::thread syncer, deliverer;

    void syncLoop()
    {
        std::unique_lock lk(m);
        for (;;) {
            syncWake.wait(lk, [&] { return appended != synced || stopSync; });
            if (appended == synced)
                return;
            // Everything appended until now goes with this one sync; what
            // comes meanwhile waits for the next.
            const uint64_t upTo = appended;
            lk.unlock();
            QString error;
            try {
                file->sync();
            } catch (const std::exception& e) {
                // The records are in the file for anything but a power cut;
                // the next sync tries again, and the host hears of it.
                error = QString::fromUtf8(e.what());
            }
            lk.lock();
            synced = upTo;
            if (!error.isEmpty())
                lastError = error;
        }
    }

    // Idle: the lock was had, but whoever held it before left nothing.
    enum class Round { Empty, Idle, Partial, Busy, Failed };

    // Waits for the lock rather than asking again and again: another
    // process's deliverer delivers this process's records as well, and this
    // one takes over the moment it lets go or dies.
    Round deliverRound(Deliverer& deliverer, QString& error, std::optional<Clock::time_point> deadline)
    {
        try {
            if (!file->lockDelivery(deadline))
                return Round::Busy;
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
            return Round::Failed;
        }
        struct Unlock {
            SpoolFile& f;
            ~Unlock() { f.unlockDelivery(); }
        } unlock{*file};
        try {
            {
                std::lock_guard g(m);
                if (abandon)
                    return Round::Partial;
            }
            // No connection for nothing to deliver.
            if (!file->mayHavePending())
                return Round::Idle;
            for (;;) {
                if (deliverer.deliverBatch(*file) == 0)
                    return Round::Empty;
                std::lock_guard g(m);
                if (abandon || (closing && Clock::now() >= exitDeadline))
                    return Round::Partial;
            }
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
            return Round::Failed;
        }
    }

    void deliveryLoop()
    {
        Deliverer deliverer(target.dsn);
        milliseconds backoff{0};
        std::unique_lock lk(m);
        for (;;) {
            if (!closing) {
                bool woken;
                if (backoff.count() > 0) {
                    // Appends do not cut a backoff short; someone waiting in
                    // flush() does, at most every kFlushRetry.
                    const milliseconds wait = flushWaiters > 0 ? std::min(backoff, kFlushRetry) : backoff;
                    deliveryWake.wait_for(lk, wait, [&] { return closing || (flushWaiters > 0 && wake); });
                    woken = true;
                } else {
                    woken = deliveryWake.wait_for(lk, kIdlePoll, [&] { return wake || closing; });
                }
                if (!woken && !closing) {
                    lk.unlock();
                    const bool any = file->mayHavePending();
                    lk.lock();
                    if (!any)
                        continue;
                }
            }
            if (abandon)
                break;
            wake = false;
            const bool closingNow = closing;
            const Clock::time_point deadline = exitDeadline;
            const QString login = target.login, password = target.password;
            const QString hadError = lastError;
            lk.unlock();
            deliverer.setCredentials(login, password);
            QString error;
            const Round r = deliverRound(deliverer, error,
                                         closingNow ? std::optional<Clock::time_point>(deadline) : std::nullopt);
            // Busy and Idle rounds did not reach the database: they say nothing of it.
            const bool reached = r != Round::Busy && r != Round::Idle;
            if (r != Round::Failed)
                error = deliverer.takeRejection();
            if (const QString damage = deliverer.takeDamage(); !damage.isEmpty())
                error = error.isEmpty() ? damage : damage + QStringLiteral("; ") + error;
            // The file carries the error to `spool status` and other processes.
            if (reached && error != hadError)
                file->setLastError(error);
            const bool empty = r == Round::Empty || r == Round::Idle;
            bool removed = false;
            if (closingNow && empty && file->removeIfDone()) {
                removed = true;
                deliverer.forget(file->id());
            }
            lk.lock();
            if (reached)
                lastError = error;
            done.notify_all();
            backoff = r == Round::Failed ? std::clamp(2 * backoff, kFirstBackoff, kMaxBackoff)
                      : r == Round::Busy ? milliseconds(closingNow ? 50 : 500)
                                         : milliseconds(0);
            if (closingNow) {
                // Leave when done, when delivery is not possible now, or at
                // the bound; the rest waits in the file.
                if (removed || empty || r == Round::Failed || Clock::now() >= deadline)
                    break;
                if (r == Round::Busy)
                    deliveryWake.wait_for(lk, backoff, [&] { return abandon; });
            }
        }
        deliveryEnded = true;
        done.notify_all();
    }
};

namespace {
struct Registry {
    std::mutex m;
    std::map<QString, std::weak_ptr<Spool>> spools;
};
Registry& registry()
{
    // Never destroyed: a logger in a static may outlive any other static.
    static auto* r = new Registry;
    return *r;
}
} // namespace

Spool::Spool(std::shared_ptr<State> state) : s_(std::move(state)) {}

std::shared_ptr<Spool> Spool::acquire(const Target& target)
{
    Registry& reg = registry();
    std::lock_guard g(reg.m);
    const QString dir = EnsureSpoolDirectory();
    const QString key = dir + QLatin1Char('\n') + target.dsn + QLatin1Char('\n') + target.table;
    for (auto it = reg.spools.begin(); it != reg.spools.end();)
        it = it->second.expired() ? reg.spools.erase(it) : std::next(it);
    if (auto existing = reg.spools[key].lock()) {
        existing->setCredentials(target.login, target.password);
        return existing;
    }
    auto state = std::make_shared<State>();
    state->target = target;
    state->file = SpoolFile::open(dir, {target.dsn, target.table, target.login});
    // The threads hold the state, so that a deliverer stuck in a driver call
    // at exit can be left behind without anything freed under it.
    state->syncer = std::thread([state] { state->syncLoop(); });
    state->deliverer = std::thread([state] { state->deliveryLoop(); });
    std::shared_ptr<Spool> spool(new Spool(state));
    reg.spools[key] = spool;
    return spool;
}

Spool::~Spool()
{
    State& s = *s_;
    std::unique_lock lk(s.m);
    s.closing = true;
    s.exitDeadline = Clock::now() + kExitBound;
    s.deliveryWake.notify_all();
    const auto deliveryOver = [&] { return s.deliveryEnded; };
    bool ended = s.done.wait_until(lk, s.exitDeadline, deliveryOver);
    if (!ended) {
        // A deliverer waiting for another process's lock stops waiting.
        lk.unlock();
        s.file->stopWaiting();
        lk.lock();
        ended = s.done.wait_until(lk, s.exitDeadline + milliseconds(200), deliveryOver);
    }
    if (!ended)
        s.abandon = true;
    s.stopSync = true;
    s.syncWake.notify_all();
    s.deliveryWake.notify_all();
    lk.unlock();
    if (ended)
        s.deliverer.join();
    else
        s.deliverer.detach();  // blocked in the driver; it ends with its call
    s.syncer.join();
}

const QString& Spool::table() const { return s_->target.table; }
const QString& Spool::dsn() const { return s_->target.dsn; }

void Spool::setCredentials(const QString& login, const QString& password)
{
    std::lock_guard g(s_->m);
    s_->target.login = login;
    s_->target.password = password;
}

void Spool::append(const Record& record)
{
    const QByteArray frame = EncodeRecord(record);
    s_->file->append(frame, s_->target.limitBytes);
    {
        std::lock_guard g(s_->m);
        ++s_->appended;
        s_->wake = true;
    }
    s_->syncWake.notify_one();
    s_->deliveryWake.notify_one();
}

int64_t Spool::pending() { return s_->file->pending().records; }

int64_t Spool::deliveryLockAttempts() const { return s_->file->deliveryLockAttempts(); }

QString Spool::lastError()
{
    std::lock_guard g(s_->m);
    return s_->lastError;
}

bool Spool::flush(milliseconds timeout)
{
    State& s = *s_;
    const Clock::time_point deadline = Clock::now() + timeout;
    std::unique_lock lk(s.m);
    ++s.flushWaiters;
    bool empty = false;
    Clock::time_point nextWake = Clock::now();
    for (;;) {
        lk.unlock();
        empty = s.file->pending().records == 0;
        lk.lock();
        const Clock::time_point now = Clock::now();
        if (empty || now >= deadline)
            break;
        // At most every kFlushRetry: a deliverer that has nothing it can
        // deliver now must not be sent round again at once.
        if (now >= nextWake) {
            s.wake = true;
            s.deliveryWake.notify_all();
            nextWake = now + kFlushRetry;
        }
        // Each delivery round ends with a notification; poll besides, for
        // rounds run by another process.
        s.done.wait_until(lk, std::min(deadline, nextWake));
    }
    --s.flushWaiters;
    return empty;
}

// --- For the command ---------------------------------------------------------

std::vector<SpoolStatus> ListSpools()
{
    std::vector<SpoolStatus> out;
    const QDir dir(SpoolDirectory());
    // Another user's directory could hand us spools to deliver as ours.
    struct stat st{};
    if (::lstat(QFile::encodeName(dir.path()).constData(), &st) != 0) {
        if (errno == ENOENT)
            return out;
        throw SpoolError(("Cannot open the spool directory " + dir.path()).toStdString());
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw SpoolError(("The spool directory " + dir.path() + " is not a directory of this user").toStdString());
    const QStringList names =
        dir.entryList({QStringLiteral("*.spool")}, QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        if (name.startsWith(QLatin1Char('.')))
            continue;
        SpoolStatus st;
        st.path = dir.filePath(name);
        try {
            auto file = SpoolFile::openExisting(st.path);
            if (!file)
                continue;  // delivered and removed meanwhile
            st.dsn = file->identity().dsn;
            st.table = file->identity().table;
            st.login = file->identity().login;
            const SpoolFile::Counts c = file->pending();
            st.pending = c.records;
            if (c.records > 0) {
                st.oldestDate = c.oldest.date;
                st.oldestTime = c.oldest.time;
            }
            st.lastError = file->lastError();
            st.rejected = file->rejectedCount();
            st.damagedWaiting = c.damaged;
            st.damagedAt = c.firstDamage;
            const SpoolFile::AsideCount aside = file->damagedCount();
            st.damagedSetAside = aside.bytes;
            st.damagedRegions = aside.lines;
            st.damagedPath = file->damagedPath();
        } catch (const std::exception& e) {
            st.problem = QString::fromUtf8(e.what());
            // Its name still says whose it is, so that a flush for that data
            // source and table meets it and says why it cannot deliver it.
            const std::optional<std::pair<QString, QString>> named = SpoolNameParts(name);
            if (named) {
                st.dsn = named->first;
                st.table = named->second;
            }
        }
        out.push_back(st);
    }
    return out;
}

QString DamageNote(const SpoolStatus& s)
{
    QStringList parts;
    if (s.damagedRegions > 0)
        parts << QStringLiteral("%1 damaged bytes (%2 piece(s)) set aside in %3")
                     .arg(s.damagedSetAside)
                     .arg(s.damagedRegions)
                     .arg(s.damagedPath);
    if (s.damagedWaiting > 0)
        parts << QStringLiteral("%1 damaged bytes from offset %2 wait to be set aside by spool flush")
                     .arg(s.damagedWaiting)
                     .arg(s.damagedAt);
    if (!s.lastError.isEmpty())
        parts << s.lastError;
    return parts.join(QStringLiteral("; "));
}

FlushOutcome FlushSpoolFile(const QString& path, const QString* login, const QString& password,
                            milliseconds timeout)
{
    FlushOutcome out;
    std::unique_ptr<SpoolFile> file;
    try {
        file = SpoolFile::openExisting(path);
    } catch (const std::exception& e) {
        out.error = QString::fromUtf8(e.what());
        out.remaining = -1;
        return out;
    }
    if (!file)
        return out;
    Deliverer deliverer(file->identity().dsn);
    deliverer.setCredentials(login ? *login : file->identity().login, password);
    const Clock::time_point deadline = Clock::now() + timeout;
    bool delivering = false;  // whether this process ever held the delivery lock
    for (;;) {
        // Waits in the kernel while another process delivers.
        const bool held = file->lockDelivery(deadline);
        if (held) {
            delivering = true;
            bool failed = true;
            try {
                while (deliverer.deliverBatch(*file) > 0 && Clock::now() < deadline) {
                }
                failed = false;
                if (!file->lastError().isEmpty())
                    file->setLastError(QString());
                if (const QString note = deliverer.takeRejection(); !note.isEmpty())
                    out.error = note;
            } catch (const DatabaseError& e) {
                out.error = QString::fromUtf8(e.what());
                out.databaseError = true;
            } catch (const std::exception& e) {
                out.error = QString::fromUtf8(e.what());
            }
            // Also when a failure followed: what was set aside needs saying.
            if (const QString note = deliverer.takeDamage(); !note.isEmpty()) {
                out.error = out.error.isEmpty() ? note : note + QStringLiteral("; ") + out.error;
                out.damageSetAside = true;
            }
            if (!out.error.isEmpty())
                file->setLastError(out.error);
            file->unlockDelivery();
            if (failed)
                break;
        }
        if (file->pending().records == 0)
            break;
        if (Clock::now() >= deadline) {
            const QString why = delivering ? QStringLiteral("The time was up before the spool was empty")
                                           : QStringLiteral("Another process is delivering this spool; try again later");
            out.error = out.error.isEmpty() ? why : out.error + QStringLiteral("; ") + why;
            break;
        }
        if (held)
            std::this_thread::sleep_for(kFlushRetry);  // what it could not deliver yet
    }
    const SpoolFile::Counts left = file->pending();
    out.remaining = left.records;
    if (out.remaining == 0 && left.damaged > 0) {
        // Kept whole: the operator decides what the damaged bytes were.
        out.error = QStringLiteral("The spool ") + file->path() + QStringLiteral(" holds ")
            + QString::number(left.damaged) + QStringLiteral(" damaged bytes from offset ")
            + QString::number(left.firstDamage)
            + QStringLiteral(" that were not set aside; the file was kept");
        file->setLastError(out.error);
        out.remaining = -1;
        return out;
    }
    if (out.remaining == 0 && file->removeIfDone())
        deliverer.forget(file->id());
    return out;
}

} // namespace tallyquill::spool
