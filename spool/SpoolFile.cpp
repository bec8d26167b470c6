#include "spool/SpoolLayout.h"

#include "localize/StringIds.h"
#include "platform/Paths.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>

namespace tallyquill::spool {

using namespace detail;

QString SpoolDirectory() { return platform::SpoolDirectory(); }

QString EnsureSpoolDirectory()
{
    const QString dir = SpoolDirectory();
    // Each missing level is made private; an existing one is left as it is,
    // except the spool directory itself, which must be ours and private.
    const platform::DirectoryFault fault = platform::MakePrivateDirectory(dir);
    switch (fault.step) {
    case platform::DirectoryFault::None:
        return dir;
    case platform::DirectoryFault::Create:
        fail(sid::SpoolCannotCreateDirectory, QStringLiteral("Cannot create the spool directory %1: %2"), {fault.path},
             fault.error);
    case platform::DirectoryFault::Open:
        fail(sid::SpoolCannotOpenDirectory, QStringLiteral("Cannot open the spool directory %1: %2"), {dir},
             fault.error);
    case platform::DirectoryFault::NotOwn:
        break;
    case platform::DirectoryFault::MakePrivate:
        fail(sid::SpoolCannotMakePrivate, QStringLiteral("Cannot make the spool directory private: %1: %2"), {dir},
             fault.error);
    }
    throw SpoolError(sid::SpoolNotOwnDirectory, QStringLiteral("The spool directory %1 is not a directory of this user"),
                     {dir});
}

QString SpoolFileName(const QString& dsn, const QString& table)
{
    auto escape = [](const QString& text) {
        QString out;
        for (char c : text.toUtf8()) {
            const auto u = uint8_t(c);
            if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '_' || u == '-')
                out += QLatin1Char(c);
            else
                out += QStringLiteral("%%1").arg(u, 2, 16, QLatin1Char('0')).toUpper();
        }
        return out;
    };
    QString name = escape(dsn) + QLatin1Char('.') + escape(table);
    if (name.size() > 200) {
        // Still one name per data source and table, within NAME_MAX.
        const QByteArray hash = QCryptographicHash::hash((dsn + QChar(0) + table).toUtf8(), QCryptographicHash::Sha256);
        name = name.left(150) + QLatin1Char('~') + QString::fromLatin1(hash.toHex().left(32));
    }
    return name + QStringLiteral(".spool");
}

std::optional<std::pair<QString, QString>> SpoolNameParts(const QString& fileName)
{
    if (!fileName.endsWith(QLatin1String(".spool")))
        return std::nullopt;
    const QStringList parts = fileName.chopped(6).split(QLatin1Char('.'));
    if (parts.size() != 2)
        return std::nullopt;
    auto unescape = [](const QString& text) -> std::optional<QString> {
        QByteArray out;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i] != QLatin1Char('%')) {
                out += char(text[i].toLatin1());
                continue;
            }
            bool ok = false;
            const int v = text.mid(i + 1, 2).toInt(&ok, 16);
            if (!ok || text.mid(i + 1, 2).size() != 2)
                return std::nullopt;
            out += char(v);
            i += 2;
        }
        return QString::fromUtf8(out);
    };
    const auto dsn = unescape(parts[0]), table = unescape(parts[1]);
    if (!dsn || !table || SpoolFileName(*dsn, *table) != fileName)
        return std::nullopt;
    return std::make_pair(*dsn, *table);
}

SpoolFile::~SpoolFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int SpoolFile::openOrCreate(const QString& dir, const QString& path, const Identity* identity, bool create)
{
    const QByteArray p = QFile::encodeName(path);
    for (;;) {
        const int fd = ::open(p.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            // Without its directory on disk a power cut could take the
            // name, and every record acknowledged into it, away; the name
            // may also be one whose maker's sync failed. A writer makes sure
            // before it acknowledges anything.
            if (create)
                if (const int e = platform::SyncDirectory(dir)) {
                    ::close(fd);
                    fail(sid::SpoolCannotCreate, QStringLiteral("Cannot create the spool %1: %2"), {path}, e);
                }
            return fd;
        }
        if (errno != ENOENT)
            fail(sid::SpoolCannotOpen, QStringLiteral("Cannot open the spool %1: %2"), {path});
        if (!create)
            return -1;
        // The header is written and on disk before the file gets its name,
        // so that nobody ever meets a spool without its identifier.
        QByteArray header(kMagic, sizeof kMagic);
        put32(header, kHeaderSize);
        put32(header, kFormat);
        char id[16];
        if (::getrandom(id, sizeof id, 0) != ssize_t(sizeof id))
            fail(sid::SpoolCannotMakeId, QStringLiteral("Cannot make a spool identifier: %1"), {});
        header.append(id, sizeof id);
        put64(header, uint64_t(std::time(nullptr)));
        for (const QString* f : {&identity->dsn, &identity->table, &identity->login}) {
            const QByteArray bytes = f->toUtf8();
            if (bytes.size() > 255)
                throw SpoolError(sid::SpoolNameTooLong,
                                 QStringLiteral("A data source name, table or login of over 255 bytes cannot "
                                                "name a spool"),
                                 {});
            put16(header, uint16_t(bytes.size()));
            header.append(bytes);
        }
        put32(header, Crc32c(header.constData(), size_t(header.size())));
        header.resize(kHeaderSize, '\0');
        header.replace(kMarkSlots[0], 40, markSlot(1, kHeaderSize, QByteArray()));
        QByteArray key(kKeySize, '\0');
        if (::getrandom(key.data(), size_t(key.size()), 0) != ssize_t(key.size()))
            fail(sid::SpoolCannotMakeKey, QStringLiteral("Cannot make a spool key: %1"), {});
        header.replace(kKeySlot, kKeySize + 4, keySlot(key));

        QByteArray tmp = QFile::encodeName(dir + QStringLiteral("/.new-XXXXXX"));
        const int t = ::mkostemp(tmp.data(), O_CLOEXEC);
        if (t < 0)
            fail(sid::SpoolCannotCreateIn, QStringLiteral("Cannot create a spool in %1: %2"), {dir});
        FdCloser closeTmp{t};
        const bool written = ::fchmod(t, 0600) == 0 && pwriteAll(t, header.constData(), size_t(header.size()), 0)
                             && ::fdatasync(t) == 0;
        const int error = errno;
        if (!written || (::link(tmp.constData(), p.constData()) != 0 && errno != EEXIST)) {
            const int e = written ? errno : error;
            ::unlink(tmp.constData());
            fail(sid::SpoolCannotCreate, QStringLiteral("Cannot create the spool %1: %2"), {path}, e);
        }
        ::unlink(tmp.constData());
        // Opened by name next time round, which syncs the directory.
    }
}

std::unique_ptr<SpoolFile> SpoolFile::open(const QString& dir, const Identity& identity)
{
    const QString path = dir + QLatin1Char('/') + SpoolFileName(identity.dsn, identity.table);
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::unique_ptr<SpoolFile> f(new SpoolFile);
        f->path_ = path;
        f->fd_ = openOrCreate(dir, path, &identity, true);
        f->lock(kOpenByte, F_RDLCK, true);
        // A file removed between opening and locking is no longer the spool.
        struct stat mine{}, named{};
        if (::fstat(f->fd_, &mine) != 0 || mine.st_nlink == 0
            || ::stat(QFile::encodeName(path).constData(), &named) != 0 || mine.st_ino != named.st_ino
            || mine.st_dev != named.st_dev)
            continue;
        try {
            f->readHeader();
        } catch (const SpoolError& e) {
            // Every record of this data source and table waits on this file.
            const QString aside = QStringLiteral(
                "%1; nothing can be added to it: move it aside (keep it, it may hold records; tallyquill spool "
                "status lists it) and the next record starts a new spool");
            throw SpoolError(sid::SpoolMoveAside, aside, {QString::fromUtf8(e.what())}, &e);
        }
        if (f->identity_.dsn != identity.dsn || f->identity_.table != identity.table)
            throw SpoolError(sid::SpoolOtherSource, QStringLiteral("The spool %1 belongs to another data source or table"),
                             {path});
        return f;
    }
    throw SpoolError(sid::SpoolReplaced, QStringLiteral("Cannot open the spool %1: it keeps being replaced"), {path});
}

std::unique_ptr<SpoolFile> SpoolFile::openExisting(const QString& path)
{
    std::unique_ptr<SpoolFile> f(new SpoolFile);
    f->path_ = path;
    f->fd_ = openOrCreate(QString(), path, nullptr, false);
    if (f->fd_ < 0)
        return nullptr;
    f->lock(kOpenByte, F_RDLCK, true);
    struct stat mine{};
    if (::fstat(f->fd_, &mine) != 0 || mine.st_nlink == 0)
        return nullptr;
    f->readHeader();
    return f;
}

void SpoolFile::readHeader()
{
    char h[1024];
    if (!preadAll(fd_, h, sizeof h, 0) || std::memcmp(h, kMagic, sizeof kMagic) != 0
        || getLE(h + 8, 4) != kHeaderSize || getLE(h + 12, 4) != kFormat)
        throw SpoolError(sid::SpoolNotASpool, QStringLiteral("The spool %1 is damaged or not a spool"), {path_});
    id_ = QByteArray(h + 16, 16).toHex();
    size_t at = 40;
    QString* fields[] = {&identity_.dsn, &identity_.table, &identity_.login};
    for (QString* f : fields) {
        const auto n = size_t(getLE(h + at, 2));
        if (at + 2 + n + 4 > sizeof h)
            throw SpoolError(sid::SpoolDamaged, QStringLiteral("The spool %1 is damaged"), {path_});
        *f = QString::fromUtf8(h + at + 2, qsizetype(n));
        at += 2 + n;
    }
    if (uint32_t(getLE(h + at, 4)) != Crc32c(h, at))
        throw SpoolError(sid::SpoolDamaged, QStringLiteral("The spool %1 is damaged"), {path_});
}

bool SpoolFile::lock(int byte, short type, bool wait)
{
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    for (;;) {
        if (::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (!wait && (errno == EAGAIN || errno == EACCES))
            return false;
        fail(sid::SpoolCannotLock, QStringLiteral("Cannot lock the spool %1: %2"), {path_});
    }
}

void SpoolFile::unlock(int byte)
{
    struct flock fl{};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    ::fcntl(fd_, F_OFD_SETLK, &fl);
}

void SpoolFile::append(const QByteArray& frames, uint64_t limit)
{
    AppendLock hold(*this, F_WRLCK);
    struct stat st{};
    if (::fstat(fd_, &st) != 0)
        fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
    if (st.st_nlink == 0)
        throw SpoolError(sid::SpoolRemoved, QStringLiteral("The spool %1 was removed while in use"), {path_});
    const uint64_t delivered = readDelivered();
    const auto size = uint64_t(st.st_size);
    // Records that other processes appended since are whole; anything after
    // the last whole record is what a killed writer left half written, as
    // nobody else is writing now.
    uint64_t end = std::max(end_, delivered);
    // Records that other processes appended since are whole; damage is
    // passed over to the next valid frame (it waits to be set aside), and
    // only a torn last frame is what a killed writer left half written, as
    // nobody else is writing now.
    bool torn = false;
    for (;;) {
        end = scan(end, size, nullptr);
        if (end >= size)
            break;
        const std::optional<Damage> damage = classify(end, size);
        if (!damage) {
            torn = true;
            break;
        }
        end = damage->resume;
    }
    if (torn && (::ftruncate(fd_, off_t(end)) != 0 || ::fdatasync(fd_) != 0))
        fail(sid::SpoolCannotCut, QStringLiteral("Cannot cut the torn end of the spool %1: %2"), {path_});
    end_ = end;
    if (end - delivered + uint64_t(frames.size()) > limit)
        throw SpoolError(sid::SpoolFull,
                         QStringLiteral("The spool for %1 %2 is full (%3 MB wait for delivery); nothing was written"),
                         {identity_.dsn, identity_.table, QString::number(double(limit) / (1 << 20), 'f', 1)});
    if (!pwriteAll(fd_, frames.constData(), size_t(frames.size()), off_t(end))) {
        const int error = errno;
        if (::ftruncate(fd_, off_t(end)) != 0) {
            // The frame's checksum still keeps a partial write from counting.
        }
        fail(sid::SpoolCannotWrite, QStringLiteral("Cannot write to the spool %1: %2"), {path_}, error);
    }
    // A record written where a torn one was is read by deliverers at once;
    // it must be on disk first, like every record they read.
    if (torn)
        ::fdatasync(fd_);
    end_ = end + uint64_t(frames.size());
}

void SpoolFile::sync()
{
    struct stat st{};
    if (::fstat(fd_, &st) != 0 || ::fdatasync(fd_) != 0)
        fail(sid::SpoolCannotFlush, QStringLiteral("Cannot flush the spool %1: %2"), {path_});
    // Everything below the size seen before the sync is on disk now.
    uint64_t seen = syncedTo_.load();
    while (uint64_t(st.st_size) > seen && !syncedTo_.compare_exchange_weak(seen, uint64_t(st.st_size))) {
    }
}

bool SpoolFile::tryLockDelivery()
{
    ++lockAttempts_;
    return lock(kDeliveryByte, F_WRLCK, false);
}
void SpoolFile::unlockDelivery() { unlock(kDeliveryByte); }

namespace {

// One blocking lock request, on a thread of its own so that the wait can be
// called off: pthread_cancel ends it inside the request, which takes nothing.
struct LockWait {
    int fd;
    struct flock fl;
    std::mutex& m;
    std::condition_variable& wake;
    bool ended = false;
    int error = 0;
};

void* waitForLock(void* arg)
{
    auto* w = static_cast<LockWait*>(arg);
    int rc;
    do
        rc = ::fcntl(w->fd, F_OFD_SETLKW, &w->fl);
    while (rc != 0 && errno == EINTR);
    const int error = rc == 0 ? 0 : errno;
    // The outcome must reach the caller now, even if it gives up meanwhile.
    ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    {
        std::lock_guard g(w->m);
        w->ended = true;
        w->error = error;
    }
    w->wake.notify_all();
    return nullptr;
}

} // namespace

bool SpoolFile::lockDelivery(std::optional<std::chrono::steady_clock::time_point> deadline)
{
    if (tryLockDelivery())
        return true;
    std::unique_lock lk(waitMutex_);
    if (stopWaiting_ || (deadline && std::chrono::steady_clock::now() >= *deadline))
        return false;
    ++lockAttempts_;
    LockWait w{fd_, {}, waitMutex_, waitWake_};
    w.fl.l_type = F_WRLCK;
    w.fl.l_whence = SEEK_SET;
    w.fl.l_start = kDeliveryByte;
    w.fl.l_len = 1;
    pthread_t thread;
    if (const int e = ::pthread_create(&thread, nullptr, waitForLock, &w); e != 0)
        fail(sid::SpoolCannotLock, QStringLiteral("Cannot lock the spool %1: %2"), {path_}, e);
    const auto over = [&] { return w.ended || stopWaiting_; };
    if (deadline)
        waitWake_.wait_until(lk, *deadline, over);
    else
        waitWake_.wait(lk, over);
    // Under the mutex: a thread that has not ended yet is still there.
    if (!w.ended)
        ::pthread_cancel(thread);
    lk.unlock();
    ::pthread_join(thread, nullptr);
    if (!w.ended) {
        // In case the grant raced the cancel: this description holds nothing then.
        unlock(kDeliveryByte);
        return false;
    }
    if (w.error != 0)
        fail(sid::SpoolCannotLock, QStringLiteral("Cannot lock the spool %1: %2"), {path_}, w.error);
    return true;
}

void SpoolFile::stopWaiting()
{
    {
        std::lock_guard g(waitMutex_);
        stopWaiting_ = true;
    }
    waitWake_.notify_all();
}

bool SpoolFile::removeIfDone()
{
    if (!lock(kOpenByte, F_WRLCK, false))
        return false;
    bool removed = false;
    {
        AppendLock hold(*this, F_WRLCK);
        struct stat mine{}, named{};
        const QByteArray p = QFile::encodeName(path_);
        const uint64_t from = readDelivered();
        if (::fstat(fd_, &mine) == 0 && mine.st_nlink > 0 && ::stat(p.constData(), &named) == 0
            && mine.st_ino == named.st_ino && mine.st_dev == named.st_dev
            && from == uint64_t(mine.st_size))
            removed = ::unlink(p.constData()) == 0;
    }
    if (!removed)
        lock(kOpenByte, F_RDLCK, true);
    return removed;
}

} // namespace tallyquill::spool
