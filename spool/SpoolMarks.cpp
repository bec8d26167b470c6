#include "spool/SpoolLayout.h"

#include "localize/StringIds.h"

#include <QCryptographicHash>

#include <algorithm>
#include <ctime>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

namespace tallyquill::spool {

namespace detail {

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

QByteArray keySlot(const QByteArray& key)
{
    QByteArray slot = key;
    put32(slot, Crc32c(slot.constData(), size_t(slot.size())));
    return slot;
}

} // namespace detail

using namespace detail;

namespace {

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

} // namespace

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
    // One hash per file, not per record: making one costs more than a
    // short record's hashing.
    if (!chainHash_)
        chainHash_ = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);
    QCryptographicHash& h = *chainHash_;
    h.reset();
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

} // namespace tallyquill::spool
