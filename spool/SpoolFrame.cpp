#include "spool/SpoolLayout.h"

#include "localize/StringIds.h"
#include "localize/clsLocalize.h"

#include <array>
#include <cstring>

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

namespace detail {

// The system's own words for `error` go last, as the system gives them.
[[noreturn]] void fail(int16_t id, const QString& english, QStringList args, int error)
{
    args.append(QString::fromLocal8Bit(std::strerror(error)));
    throw SpoolError(id, english, std::move(args));
}

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

} // namespace detail

using namespace detail;

namespace {

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

} // namespace tallyquill::spool
