#include "spool/SpoolFile.h"

#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "platform/FaultPoint.h"

#include <algorithm>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyquill::spool {

namespace {
// One pass, so that a filled-in value is never read as a place holder.
QString Fill(const QString& text, const QStringList& a)
{
    switch (a.size()) {
    case 0: return text;
    case 1: return text.arg(a[0]);
    case 2: return text.arg(a[0], a[1]);
    default: return text.arg(a[0], a[1], a[2]);
    }
}
} // namespace

SpoolError::SpoolError(int16_t id, const QString& english, QStringList args, const SpoolError* inner)
    : Error(Fill(english, args).toStdString()), id_(id), english_(english), args_(std::move(args)),
      inner_(inner ? std::make_shared<const SpoolError>(*inner) : nullptr)
{
}

QString SpoolError::forOperator() const
{
    if (id_ == 0)
        return QString::fromUtf8(what());
    QStringList args = args_;
    if (inner_ && !args.isEmpty())
        args[0] = inner_->forOperator();
    return Fill(Tr(id_, english_), args);
}

namespace {

// Layout of a spool file. The first block is the header: an immutable part
// written once before the file gets its name, two marks for the delivered
// mark (written in turn, so that a write torn by a power cut leaves the
// other), a slot for the last delivery error and the key of the marks'
// chain. Records follow, each framed as [u32 length][u32 CRC-32C of length
// and payload][payload].
// A mark slot: [u64 sequence][u64 offset][u32 CRC of the 16 bytes before]
// [16 bytes chain value][u32 CRC of the 36 bytes before]; files written
// before the chain have only the first 20 bytes.
constexpr char kMagic[8] = {'T', 'Q', 'S', 'P', 'O', 'O', 'L', '1'};
constexpr uint32_t kHeaderSize = 4096;
constexpr uint32_t kFormat = 1;
constexpr off_t kMarkSlots[2] = {1024, 1536};
constexpr off_t kErrorSlot = 2048;
constexpr uint32_t kErrorMax = 1900;
constexpr off_t kKeySlot = 3968;  // [32 bytes key][u32 CRC]
constexpr int kKeySize = 32;
constexpr int kChainSize = 16;
constexpr uint32_t kFrameMax = 1u << 20;
constexpr uint8_t kRecordVersion = 1;
// Lock bytes: appending (readers share it), delivering, being open.
constexpr int kAppendByte = 0;
constexpr int kDeliveryByte = 1;
constexpr int kOpenByte = 2;
constexpr size_t kReadChunk = 64 * 1024;

const std::array<uint32_t, 256>& crcTable()
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

void put16(QByteArray& out, uint16_t v)
{
    out.append(char(v & 0xff)).append(char(v >> 8));
}
void put32(QByteArray& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}
void put64(QByteArray& out, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}
uint64_t getLE(const char* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | uint8_t(p[i]);
    return v;
}

// The system's own words for `error` go last, as the system gives them.
[[noreturn]] void fail(int16_t id, const QString& english, QStringList args, int error = errno)
{
    args.append(QString::fromLocal8Bit(std::strerror(error)));
    throw SpoolError(id, english, std::move(args));
}

bool preadAll(int fd, char* data, size_t size, off_t at)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
        at += n;
    }
    return true;
}

bool pwriteAll(int fd, const char* data, size_t size, off_t at)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= size_t(n);
        at += n;
    }
    return true;
}

QByteArray markSlot(uint64_t sequence, uint64_t offset, const QByteArray& chain)
{
    QByteArray slot;
    put64(slot, sequence);
    put64(slot, offset);
    put32(slot, Crc32c(slot.constData(), size_t(slot.size())));
    if (chain.size() == kChainSize) {
        slot.append(chain);
        put32(slot, Crc32c(slot.constData(), size_t(slot.size())));
    } else {
        slot.append(QByteArray(kChainSize + 4, '\0'));
    }
    return slot;
}

struct Slot {
    bool valid = false, blank = false;
    uint64_t sequence = 0, offset = 0;
    QByteArray chain;  // empty when the slot has none
};

Slot readSlot(int fd, off_t at)
{
    char b[40];
    Slot slot;
    if (!preadAll(fd, b, sizeof b, at))
        return slot;
    slot.blank = std::all_of(b, b + 20, [](char c) { return c == 0; });
    if (uint32_t(getLE(b + 16, 4)) != Crc32c(b, 16))
        return slot;
    slot.valid = true;
    slot.sequence = getLE(b, 8);
    slot.offset = getLE(b + 8, 8);
    if (uint32_t(getLE(b + 36, 4)) == Crc32c(b, 36))
        slot.chain = QByteArray(b + 20, kChainSize);
    return slot;
}

// The newest of the two marks; throws when neither holds a mark.
int newestSlot(const Slot (&marks)[2], const QString& path)
{
    const int best = marks[1].valid && (!marks[0].valid || marks[1].sequence > marks[0].sequence) ? 1 : 0;
    if (!marks[best].valid || marks[best].sequence == 0 || marks[best].offset < kHeaderSize)
        throw SpoolError(sid::SpoolDamagedMark, QStringLiteral("The spool %1 has a damaged delivery mark"), {path});
    return best;
}

QByteArray keySlot(const QByteArray& key)
{
    QByteArray slot = key;
    put32(slot, Crc32c(slot.constData(), size_t(slot.size())));
    return slot;
}

// The seven fields of a payload; false when it is not a record of ours.
bool splitRecord(const char* p, uint32_t size, uint32_t base, SpoolFile::Field* fields)
{
    if (size < 1 || uint8_t(p[0]) != kRecordVersion)
        return false;
    uint32_t at = 1;
    for (int c = 0; c < 7; ++c) {
        if (size - at < 4)
            return false;
        const uint32_t n = uint32_t(getLE(p + at, 4));
        at += 4;
        if (size - at < n)
            return false;
        SpoolFile::Field& f = fields[c];
        f.offset = base + at;
        f.bytes = n;
        // Valid UTF-8 (QString wrote it): one unit per lead byte, two for a
        // four-byte sequence.
        uint8_t any = 0;
        uint32_t units = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const auto b = uint8_t(p[at + i]);
            any |= b;
            units += (b & 0xC0) != 0x80 ? (b >= 0xF0 ? 2 : 1) : 0;
        }
        f.ascii = any < 0x80;
        f.units = units;
        at += n;
    }
    return at == size;
}

bool decodeRecord(const char* p, uint32_t size, Record& r)
{
    SpoolFile::Field f[7];
    if (!splitRecord(p, size, 0, f))
        return false;
    QString* out[] = {&r.appId, &r.wsId, &r.date, &r.time, &r.user, &r.eventType, &r.data};
    for (int c = 0; c < 7; ++c)
        *out[c] = QString::fromUtf8(p + f[c].offset, qsizetype(f[c].bytes));
    return true;
}

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

#if defined(__x86_64__)
// The same polynomial in one instruction per eight bytes.
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(const char* data, size_t size, uint32_t crc)
{
    uint64_t c = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        uint64_t word;
        std::memcpy(&word, data, 8);
        c = __builtin_ia32_crc32di(c, word);
    }
    auto c32 = uint32_t(c);
    for (; size > 0; ++data, --size)
        c32 = __builtin_ia32_crc32qi(c32, uint8_t(*data));
    return ~c32;
}
#endif

uint32_t Crc32c(const char* data, size_t size, uint32_t crc)
{
#if defined(__x86_64__)
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    if (hardware)
        return crc32cHardware(data, size, crc);
#endif
    const auto& t = crcTable();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = t[(crc ^ uint8_t(data[i])) & 0xff] ^ (crc >> 8);
    return ~crc;
}

QByteArray EncodeRecord(const Record& r)
{
    QByteArray payload;
    payload.append(char(kRecordVersion));
    for (const QString* f : {&r.appId, &r.wsId, &r.date, &r.time, &r.user, &r.eventType, &r.data}) {
        const QByteArray bytes = f->toUtf8();
        put32(payload, uint32_t(bytes.size()));
        payload.append(bytes);
    }
    if (uint32_t(payload.size()) > kFrameMax)
        throw SpoolError(sid::SpoolRecordTooLong, QStringLiteral("A record of %1 bytes is too long for the spool"),
                         {QString::number(payload.size())});
    QByteArray frame;
    frame.reserve(payload.size() + 8);
    put32(frame, uint32_t(payload.size()));
    uint32_t crc = Crc32c(frame.constData(), 4);
    crc = Crc32c(payload.constData(), size_t(payload.size()), crc);
    put32(frame, crc);
    frame.append(payload);
    return frame;
}

QString SpoolDirectory()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tallyquill/spool");
}

QString EnsureSpoolDirectory()
{
    const QString dir = SpoolDirectory();
    // Each missing level is made private; an existing one is left as it is,
    // except the spool directory itself, which must be ours and private.
    QString path;
    for (const QString& part : dir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        const QByteArray p = QFile::encodeName(path);
        if (::mkdir(p.constData(), 0700) != 0 && errno != EEXIST)
            fail(sid::SpoolCannotCreateDirectory, QStringLiteral("Cannot create the spool directory %1: %2"), {path});
    }
    const QByteArray p = QFile::encodeName(dir);
    struct stat st{};
    if (::lstat(p.constData(), &st) != 0)
        fail(sid::SpoolCannotOpenDirectory, QStringLiteral("Cannot open the spool directory %1: %2"), {dir});
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw SpoolError(sid::SpoolNotOwnDirectory,
                         QStringLiteral("The spool directory %1 is not a directory of this user"), {dir});
    if ((st.st_mode & 077) != 0 && ::chmod(p.constData(), 0700) != 0)
        fail(sid::SpoolCannotMakePrivate, QStringLiteral("Cannot make the spool directory private: %1: %2"), {dir});
    return dir;
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

// --- SpoolFile ---------------------------------------------------------------

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
        if (fd >= 0)
            return fd;
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
        const int d = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (d >= 0) {
            ::fsync(d);
            ::close(d);
        }
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

// The append lock of the file, and of this process: threads that share one
// open file share its byte locks, so they take the mutex as well.
class SpoolFile::AppendLock {
public:
    AppendLock(SpoolFile& f, short type) : f_(f), guard_(f.mutex_) { f_.lock(kAppendByte, type, true); }
    ~AppendLock() { f_.unlock(kAppendByte); }

private:
    SpoolFile& f_;
    std::lock_guard<std::mutex> guard_;
};

uint64_t SpoolFile::readDelivered()
{
    const Slot marks[2] = {readSlot(fd_, kMarkSlots[0]), readSlot(fd_, kMarkSlots[1])};
    return marks[newestSlot(marks, path_)].offset;
}

uint64_t SpoolFile::delivered() { return readDelivered(); }

SpoolFile::Mark SpoolFile::mark()
{
    const Slot marks[2] = {readSlot(fd_, kMarkSlots[0]), readSlot(fd_, kMarkSlots[1])};
    const int best = newestSlot(marks, path_);
    Mark m;
    m.offset = marks[best].offset;
    m.certain = marks[1 - best].valid || marks[1 - best].blank;
    m.chain = marks[best].chain;
    if (m.chain.isEmpty()) {
        // The chain begins at a mark that has none.
        const QByteArray key = chainKey();
        QCryptographicHash h(QCryptographicHash::Sha256);
        h.addData(key);
        h.addData(QByteArrayView("start"));
        QByteArray at;
        put64(at, m.offset);
        h.addData(at);
        m.chain = h.result().left(kChainSize);
    }
    return m;
}

QByteArray SpoolFile::chainKey()
{
    std::lock_guard g(keyMutex_);
    if (!key_.isEmpty())
        return key_;
    auto load = [&] {
        char b[kKeySize + 4];
        if (preadAll(fd_, b, sizeof b, kKeySlot) && uint32_t(getLE(b + kKeySize, 4)) == Crc32c(b, kKeySize))
            key_ = QByteArray(b, kKeySize);
        return !key_.isEmpty();
    };
    if (load())
        return key_;
    // A file made before the chain: its key is made once, and on disk
    // before any value computed with it leaves the process.
    AppendLock hold(*this, F_WRLCK);
    if (load())
        return key_;
    QByteArray key(kKeySize, '\0');
    if (::getrandom(key.data(), size_t(key.size()), 0) != ssize_t(key.size()))
        fail(sid::SpoolCannotMakeKey, QStringLiteral("Cannot make a spool key: %1"), {});
    const QByteArray slot = keySlot(key);
    if (!pwriteAll(fd_, slot.constData(), size_t(slot.size()), kKeySlot) || ::fdatasync(fd_) != 0)
        fail(sid::SpoolCannotWriteKey, QStringLiteral("Cannot write the key of %1: %2"), {path_});
    key_ = key;
    return key_;
}

QByteArray SpoolFile::chainStep(const QByteArray& key, const QByteArray& chain, const char* payload, uint32_t size)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(key);
    h.addData(chain);
    h.addData(QByteArrayView(payload, qsizetype(size)));
    return h.result().left(kChainSize);
}

std::optional<QByteArray> SpoolFile::chainTo(uint64_t from, const QByteArray& chain, uint64_t to)
{
    const QByteArray key = chainKey();
    QByteArray at = chain;
    struct stat st{};
    if (to < from || ::fstat(fd_, &st) != 0 || uint64_t(st.st_size) < to)
        return std::nullopt;
    AppendLock hold(*this, F_RDLCK);
    if (scan(from, to, [&](uint64_t, const char* p, uint32_t n) {
            at = chainStep(key, at, p, n);
            return true;
        }) != to)
        return std::nullopt;
    return at;
}

int64_t SpoolFile::Proof(const QByteArray& chain)
{
    if (chain.size() < 8)
        return 0;  // no chain: no value that could prove a mark
    return int64_t(getLE(chain.constData(), 8) & uint64_t(INT64_MAX));
}

void SpoolFile::setDelivered(uint64_t offset, const QByteArray& chain)
{
    uint64_t punchFrom = 0, previous = kHeaderSize;
    {
        AppendLock hold(*this, F_WRLCK);
        const Slot marks[2] = {readSlot(fd_, kMarkSlots[0]), readSlot(fd_, kMarkSlots[1])};
        uint64_t sequence = 0;
        int older = 0;
        for (int i = 0; i < 2; ++i)
            if (marks[i].valid && marks[i].sequence > sequence) {
                sequence = marks[i].sequence;
                previous = marks[i].offset;
                older = 1 - i;
            }
        const QByteArray slot = markSlot(sequence + 1, offset, chain);
        if (!pwriteAll(fd_, slot.constData(), size_t(slot.size()), kMarkSlots[older]))
            fail(sid::SpoolCannotWriteMark, QStringLiteral("Cannot write the delivery mark of %1: %2"), {path_});
        punchFrom = punched_;
    }
    // The delivered bytes may go only once the mark that says so is on disk:
    // a later reader takes the bytes below the mark for gone, and anything
    // after it for records. Only those below the previous mark as well, so
    // that a reader left with the other slot still finds records there.
    // Done some megabytes at a time, as it costs a sync.
    const uint64_t below = std::min(offset, previous) / kHeaderSize * kHeaderSize;
    if (below < punchFrom + (4u << 20) || ::fdatasync(fd_) != 0)
        return;
    AppendLock hold(*this, F_WRLCK);
    if (below > punched_) {
        ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(punched_), off_t(below - punched_));
        punched_ = below;
    }
}

QString SpoolFile::lastError()
{
    char head[12];
    if (!preadAll(fd_, head, sizeof head, kErrorSlot))
        return {};
    const uint32_t n = uint32_t(getLE(head + 8, 4));
    if (n == 0 || n > kErrorMax)
        return {};
    QByteArray slot(int(12 + n + 4), '\0');
    if (!preadAll(fd_, slot.data(), size_t(slot.size()), kErrorSlot)
        || uint32_t(getLE(slot.constData() + 12 + n, 4)) != Crc32c(slot.constData(), 12 + n))
        return {};
    return QString::fromUtf8(slot.constData() + 12, qsizetype(n));
}

void SpoolFile::setLastError(const QString& text)
{
    QByteArray bytes = text.toUtf8().left(kErrorMax);
    QByteArray slot;
    put64(slot, uint64_t(std::time(nullptr)));
    put32(slot, uint32_t(bytes.size()));
    slot.append(bytes);
    put32(slot, Crc32c(slot.constData(), size_t(slot.size())));
    // Only a hint for operators: a lost or torn write just reads as empty.
    pwriteAll(fd_, slot.constData(), size_t(slot.size()), kErrorSlot);
}

uint64_t SpoolFile::scan(uint64_t from, uint64_t to,
                         const std::function<bool(uint64_t, const char*, uint32_t)>& each)
{
    std::vector<char> buf;
    uint64_t bufStart = from;
    auto ensure = [&](uint64_t at, size_t n) -> const char* {
        if (at >= bufStart && at + n <= bufStart + buf.size())
            return buf.data() + (at - bufStart);
        if (at + n > to)
            return nullptr;
        const size_t want = size_t(std::min<uint64_t>(std::max(n, kReadChunk), to - at));
        buf.resize(want);
        bufStart = at;
        if (!preadAll(fd_, buf.data(), want, off_t(at))) {
            buf.clear();
            return nullptr;
        }
        return buf.data();
    };
    uint64_t at = from;
    while (at + 8 <= to) {
        const char* head = ensure(at, 8);
        if (!head)
            break;
        const auto length = uint32_t(getLE(head, 4));
        const auto crc = uint32_t(getLE(head + 4, 4));
        if (length == 0 || length > kFrameMax || at + 8 + length > to)
            break;
        const char* frame = ensure(at, 8 + size_t(length));
        if (!frame || Crc32c(frame + 8, length, Crc32c(frame, 4)) != crc)
            break;
        at += 8 + length;
        if (each && !each(at, frame + 8, length))
            break;
    }
    return at;
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

SpoolFile::Batch SpoolFile::read(uint64_t from, size_t max, const QByteArray& chain)
{
    const QByteArray key = chain.isEmpty() ? QByteArray() : chainKey();
    Batch batch;
    batch.chain = chain;
    batch.start = batch.end = from;
    struct stat st{};
    if (::fstat(fd_, &st) != 0)
        fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
    // Everything below this size was written before the sync below began
    // (or one that ran since this size was reached); whatever replaced a
    // torn tail meanwhile was synced by its writer before it let go of the
    // append lock.
    if (uint64_t(st.st_size) > syncedTo_.load())
        sync();
    AppendLock hold(*this, F_RDLCK);
    std::optional<uint64_t> unreadable;
    batch.end = scan(from, uint64_t(st.st_size), [&](uint64_t at, const char* p, uint32_t n) {
        const auto base = uint32_t(batch.data.size());
        batch.fields.resize(batch.fields.size() + 7);
        if (!splitRecord(p, n, base, &batch.fields[batch.fields.size() - 7])) {
            // Stops in front of it: damageAt() names it.
            batch.fields.resize(batch.fields.size() - 7);
            unreadable = at - 8 - n;
            return false;
        }
        batch.data.append(p, qsizetype(n));
        if (!key.isEmpty())
            batch.chain = chainStep(key, batch.chain, p, n);
        return batch.size() < max;
    });
    if (unreadable)
        batch.end = *unreadable;
    return batch;
}

Record SpoolFile::Batch::record(size_t i) const
{
    Record r;
    QString* out[] = {&r.appId, &r.wsId, &r.date, &r.time, &r.user, &r.eventType, &r.data};
    for (int c = 0; c < 7; ++c) {
        const Field& f = field(i, c);
        *out[c] = QString::fromUtf8(data.constData() + f.offset, qsizetype(f.bytes));
    }
    return r;
}

bool SpoolFile::isRecordEnd(uint64_t from, uint64_t offset)
{
    AppendLock hold(*this, F_RDLCK);
    return offset >= from && scan(from, offset, nullptr) == offset;
}

SpoolFile::Counts SpoolFile::pending()
{
    AppendLock hold(*this, F_RDLCK);
    struct stat st{};
    if (::fstat(fd_, &st) != 0)
        fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
    const uint64_t from = readDelivered();
    // Counted on from where the last count ended while the mark stays put,
    // so that a host asking often while the database is away reads only the
    // new records.
    if (from != countFrom_ || countEnd_ < from) {
        countFrom_ = countEnd_ = from;
        counted_ = Counts{};
    }
    const auto size = uint64_t(st.st_size);
    for (;;) {
        countEnd_ = scan(countEnd_, size, [&](uint64_t, const char* p, uint32_t n) {
            if (counted_.records++ == 0)
                decodeRecord(p, n, counted_.oldest);
            return true;
        });
        if (countEnd_ >= size)
            break;
        const std::optional<Damage> damage = classify(countEnd_, size);
        if (!damage)
            break;  // a torn tail: the next append cuts it
        if (counted_.damaged == 0)
            counted_.firstDamage = damage->at;
        counted_.damaged += damage->resume - damage->at;
        countEnd_ = damage->resume;
    }
    counted_.bytes = countEnd_ - from;
    return counted_;
}

bool SpoolFile::mayHavePending()
{
    struct stat st{};
    return ::fstat(fd_, &st) == 0 && uint64_t(st.st_size) > readDelivered();
}

uint64_t SpoolFile::nextFrame(uint64_t from, uint64_t to)
{
    std::vector<char> chunk, frame;
    for (uint64_t base = from + 1; base + 8 <= to;) {
        const size_t want = size_t(std::min<uint64_t>(kReadChunk + 7, to - base));
        chunk.resize(want);
        if (!preadAll(fd_, chunk.data(), want, off_t(base)))
            fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
        for (size_t i = 0; i + 8 <= want; ++i) {
            const uint64_t at = base + i;
            const auto length = uint32_t(getLE(chunk.data() + i, 4));
            if (length == 0 || length > kFrameMax || at + 8 + length > to)
                continue;
            const char* f = chunk.data() + i;
            if (i + 8 + length > want) {
                frame.resize(8 + size_t(length));
                if (!preadAll(fd_, frame.data(), frame.size(), off_t(at)))
                    continue;
                f = frame.data();
            }
            Field fields[7];
            if (Crc32c(f + 8, length, Crc32c(f, 4)) == uint32_t(getLE(f + 4, 4))
                && splitRecord(f + 8, length, 0, fields))
                return at;
        }
        base += want - 7;
    }
    return to;
}

std::optional<SpoolFile::Damage> SpoolFile::classify(uint64_t end, uint64_t size)
{
    const uint64_t next = nextFrame(end, size);
    char head[8];
    if (size - end < 8 || !preadAll(fd_, head, 8, off_t(end)))
        return std::nullopt;  // nothing valid can follow fewer than 8 bytes
    const uint64_t length = getLE(head, 4);
    if (next == size) {
        // Only the last frame can be torn: cut short, or zeros where a power
        // cut left the file longer than its data.
        if (length != 0 && end + 8 + length >= size)
            return std::nullopt;
        if (length == 0) {
            bool zeros = true;
            char chunk[4096];
            for (uint64_t at = end; zeros && at < size;) {
                const auto n = size_t(std::min<uint64_t>(sizeof chunk, size - at));
                if (!preadAll(fd_, chunk, n, off_t(at)))
                    fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
                zeros = std::all_of(chunk, chunk + n, [](char c) { return c == 0; });
                at += n;
            }
            if (zeros)
                return std::nullopt;
        }
    }
    Damage d{end, next, {}};
    if (length == 0 || length > kFrameMax)
        d.reason = QStringLiteral("a frame length of %1 bytes, which no record has").arg(length);
    else if (end + 8 + length > next)
        d.reason = QStringLiteral("a frame length of %1 bytes, past the next record").arg(length);
    else {
        std::vector<char> frame(8 + size_t(length));
        Field fields[7];
        if (!preadAll(fd_, frame.data(), frame.size(), off_t(end)))
            fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
        if (Crc32c(frame.data() + 8, length, Crc32c(frame.data(), 4)) != uint32_t(getLE(head + 4, 4)))
            d.reason = QStringLiteral("a record whose checksum does not match");
        else if (!splitRecord(frame.data() + 8, uint32_t(length), 0, fields))
            d.reason = QStringLiteral("a frame that holds no record this program can read");
        else
            d.reason = QStringLiteral("bytes between records");
    }
    return d;
}

std::optional<SpoolFile::Damage> SpoolFile::damageAt(uint64_t offset)
{
    AppendLock hold(*this, F_RDLCK);
    struct stat st{};
    if (::fstat(fd_, &st) != 0)
        fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
    const auto size = uint64_t(st.st_size);
    if (offset >= size)
        return std::nullopt;
    if (scan(offset, size, nullptr) != offset)
        return Damage{offset, nextFrame(offset, size),
                      QStringLiteral("a frame that holds no record this program can read")};
    return classify(offset, size);
}

QString SpoolFile::rejectedPath() const { return path_.chopped(6) + QStringLiteral(".rejected"); }

namespace {

// Side-file text: tabs, line ends and control bytes escaped, so that one
// line stays one line; with `ascii`, bytes over 0x7e too (raw bytes are no
// text).
QByteArray escapedBytes(const QByteArray& bytes, bool ascii)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto u = uint8_t(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (u < 0x20 || u == 0x7f || (ascii && u > 0x7e))
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

QByteArray escaped(const QString& text) { return escapedBytes(text.toUtf8(), false); }

// Appends the lines (each "time\tid\toffset\t...\n", by rising offset) to a
// side file, leaving out those its last line already covers: a deliverer
// killed after the sync below and before it moved the mark meets the same
// bytes again. A line a kill cut short is taken back first. On disk when
// this returns.
void appendAside(const QString& path, const QByteArray& id, const std::vector<std::pair<uint64_t, QByteArray>>& lines)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        fail(sid::CannotOpenFile, QStringLiteral("Cannot open %1: %2"), {path});
    FdCloser closer{fd};
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw SpoolError(sid::NotARegularFile, QStringLiteral("Cannot write to %1: not a regular file"), {path});
    // The last two line ends, read backwards.
    auto size = uint64_t(st.st_size);
    std::vector<uint64_t> ends;  // offsets just after a '\n'
    char chunk[4096];
    for (uint64_t at = size; at > 0 && ends.size() < 2;) {
        const uint64_t from = at > sizeof chunk ? at - sizeof chunk : 0;
        if (!preadAll(fd, chunk, size_t(at - from), off_t(from)))
            fail(sid::CannotReadFile, QStringLiteral("Cannot read %1: %2"), {path});
        for (uint64_t i = at; i > from && ends.size() < 2; --i)
            if (chunk[i - 1 - from] == '\n')
                ends.push_back(i);
        at = from;
    }
    const uint64_t whole = ends.empty() ? 0 : ends[0];
    if (whole < size) {
        if (::ftruncate(fd, off_t(whole)) != 0)
            fail(sid::CannotWriteFile, QStringLiteral("Cannot write to %1: %2"), {path});
        size = whole;
    }
    std::optional<uint64_t> covered;
    if (size > 0) {
        const uint64_t lineStart = ends.size() > 1 ? ends[1] : 0;
        QByteArray head(int(std::min<uint64_t>(size - lineStart, 128)), '\0');
        if (!preadAll(fd, head.data(), size_t(head.size()), off_t(lineStart)))
            fail(sid::CannotReadFile, QStringLiteral("Cannot read %1: %2"), {path});
        const QList<QByteArray> f = head.split('\t');
        bool ok = false;
        if (f.size() > 3 && f[1] == id) {
            const qulonglong offset = f[2].toULongLong(&ok);
            if (ok)
                covered = offset;
        }
    }
    QByteArray out;
    for (const auto& [offset, line] : lines)
        if (!covered || offset > *covered)
            out += line;
    if (!out.isEmpty() && !pwriteAll(fd, out.constData(), size_t(out.size()), off_t(size)))
        fail(sid::CannotWriteFile, QStringLiteral("Cannot write to %1: %2"), {path});
    if (::fdatasync(fd) != 0)
        fail(sid::CannotWriteFile, QStringLiteral("Cannot write to %1: %2"), {path});
    fault::point("spool-aside-synced");
}

QByteArray asideStart(const QByteArray& id, uint64_t offset)
{
    return escaped(QDateTime::currentDateTime().toString(Qt::ISODate)) + '\t' + id + '\t'
           + QByteArray::number(qulonglong(offset));
}

} // namespace

void SpoolFile::setAside(const Batch& batch, const QString& reason)
{
    std::vector<std::pair<uint64_t, QByteArray>> lines;
    for (size_t i = 0; i < batch.size(); ++i) {
        // The frame of record i: its payload starts five bytes before its
        // first field, behind i frame heads.
        const uint64_t offset = batch.start + 8 * i + (batch.field(i, 0).offset - 5);
        const Record r = batch.record(i);
        QByteArray line = asideStart(id_, offset);
        for (const QString* f : {&reason, &r.appId, &r.wsId, &r.date, &r.time, &r.user, &r.eventType, &r.data})
            line += '\t' + escaped(*f);
        lines.emplace_back(offset, line + '\n');
    }
    appendAside(rejectedPath(), id_, lines);
}

QString SpoolFile::damagedPath() const { return path_.chopped(6) + QStringLiteral(".damaged"); }

void SpoolFile::setAsideDamage(const Damage& damage)
{
    QByteArray raw(qsizetype(damage.resume - damage.at), '\0');
    if (!preadAll(fd_, raw.data(), size_t(raw.size()), off_t(damage.at)))
        fail(sid::SpoolCannotRead, QStringLiteral("Cannot read the spool %1: %2"), {path_});
    const QByteArray line = asideStart(id_, damage.at) + '\t' + QByteArray::number(qulonglong(raw.size())) + '\t'
                            + escaped(damage.reason) + '\t' + escapedBytes(raw, true) + '\n';
    appendAside(damagedPath(), id_, {{damage.at, line}});
}

SpoolFile::AsideCount SpoolFile::damagedCount() const
{
    AsideCount count;
    QFile f(damagedPath());
    if (!f.open(QIODevice::ReadOnly))
        return count;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine();
        if (!line.endsWith('\n'))
            break;
        ++count.lines;
        count.bytes += line.split('\t').value(3).toULongLong();
    }
    return count;
}

int64_t SpoolFile::rejectedCount() const
{
    QFile f(rejectedPath());
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    int64_t lines = 0;
    while (!f.atEnd()) {
        const QByteArray chunk = f.read(1 << 16);
        lines += chunk.count('\n');
    }
    return lines;
}

bool SpoolFile::tryLockDelivery() { return lock(kDeliveryByte, F_WRLCK, false); }
void SpoolFile::unlockDelivery() { unlock(kDeliveryByte); }

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
