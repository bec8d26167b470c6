#include "spool/SpoolLayout.h"

#include "localize/StringIds.h"

#include <QCryptographicHash>

#include <algorithm>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace tallyquill::spool {

using namespace detail;

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
        // cut left the file longer than its data. A frame that is all there
        // but fails its checksum was whole once (a killed write leaves it
        // short, and acknowledged records were synced): it is damage to keep.
        if (length != 0 && end + 8 + length > size)
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

} // namespace tallyquill::spool
