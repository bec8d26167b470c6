#include "core/LineBytes.h"

#include "core/LogRecord.h"

#include <QChar>
#include <QStringDecoder>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tallyquill {

namespace {

using Byte = unsigned char;

char* putUtf8(char* o, char32_t c)
{
    if (c < 0x80) {
        *o++ = char(c);
    } else if (c < 0x800) {
        *o++ = char(0xC0 | (c >> 6));
        *o++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *o++ = char(0xE0 | (c >> 12));
        *o++ = char(0x80 | ((c >> 6) & 0x3F));
        *o++ = char(0x80 | (c & 0x3F));
    } else {
        *o++ = char(0xF0 | (c >> 18));
        *o++ = char(0x80 | ((c >> 12) & 0x3F));
        *o++ = char(0x80 | ((c >> 6) & 0x3F));
        *o++ = char(0x80 | (c & 0x3F));
    }
    return o;
}

// --- How a stored character shows in a line -----------------------------------
// Every character of a value goes through what is here; a change in how some
// characters show is made here and nowhere else. Each shows as one character,
// so widths stay counts of stored characters.

// Bytes the copy loops pass through as they are (each one character): the
// ASCII range from kPlainFirst up to, not including, kPlainEnd (at most 0x80).
constexpr unsigned kPlainFirst = 0x20;
constexpr unsigned kPlainEnd = 0x7F;
constexpr bool passesAsIs(Byte b) { return b >= kPlainFirst && b < kPlainEnd; }

// Writes how any other character c shows (control characters as the line
// layout's stand-ins); at most 4 bytes.
inline char* putShown(char* o, char32_t c, bool keepBidi) { return putUtf8(o, VisibleChar(c, keepBidi)); }

// -------------------------------------------------------------------------------

static_assert(kPlainFirst < kPlainEnd && kPlainEnd <= 0x80);

// Whether all eight bytes of w pass as they are: none below kPlainFirst and
// none above kPlainEnd - 1 (the word tests for bytes under and over a bound
// that hold for bounds up to 0x80).
inline bool eightPass(uint64_t w)
{
    constexpr uint64_t ones = ~uint64_t(0) / 255, highs = ones * 0x80;
    const uint64_t below = (w - ones * kPlainFirst) & ~w & highs;
    const uint64_t above = ((w + ones * (127 - (kPlainEnd - 1))) | w) & highs;
    return (below | above) == 0;
}

constexpr bool isContinuation(Byte b) { return (b & 0xC0) == 0x80; }

// Decodes the character at p (not passed as is) and moves past it. Invalid
// UTF-8 (a stray or missing continuation, an overlong form, a surrogate or a
// value past U+10FFFF) gives U+FFFD for its first byte alone, as Qt's decoder.
char32_t decode(const Byte*& p, const Byte* end)
{
    const Byte b = *p;
    size_t need;
    char32_t c, min;
    if (b < 0x80) {
        ++p;
        return b;
    } else if (b < 0xC2) {
        ++p;
        return 0xFFFD;
    } else if (b < 0xE0) {
        need = 2, c = b & 0x1F, min = 0x80;
    } else if (b < 0xF0) {
        need = 3, c = b & 0x0F, min = 0x800;
    } else if (b < 0xF5) {
        need = 4, c = b & 0x07, min = 0x10000;
    } else {
        ++p;
        return 0xFFFD;
    }
    if (size_t(end - p) < need) {
        ++p;
        return 0xFFFD;
    }
    for (size_t i = 1; i < need; ++i) {
        if (!isContinuation(p[i])) {
            ++p;
            return 0xFFFD;
        }
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        ++p;
        return 0xFFFD;
    }
    p += need;
    return c;
}

// Whether the first n bytes all pass as they are.
inline bool allPass(const Byte* p, size_t n)
{
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (!eightPass(w))
            return false;
    }
    for (; i < n; ++i)
        if (!passesAsIs(p[i]))
            return false;
    return true;
}

// The value fitted to `Width` characters: cut, or padded with spaces.
template <int Width>
inline char* putFitted(char* o, std::string_view value, bool keepBidi)
{
    const Byte* p = reinterpret_cast<const Byte*>(value.data());
    const Byte* const end = p + value.size();
    // Most values: plain characters, one byte each.
    const size_t head = std::min(value.size(), size_t(Width));
    if (allPass(p, head)) {
        std::memset(o, ' ', Width);
        if (head != 0)  // an empty value may have no data at all
            std::memcpy(o, p, head);
        return o + Width;
    }
    int n = 0;
    while (n < Width && p < end) {
        if (passesAsIs(*p))
            *o++ = char(*p++);
        else
            o = putShown(o, decode(p, end), keepBidi);
        ++n;
    }
    if (n < Width) {
        std::memset(o, ' ', size_t(Width - n));
        o += Width - n;
    }
    return o;
}

// The whole value, as it shows.
char* putAll(char* o, std::string_view value, bool keepBidi)
{
    const Byte* p = reinterpret_cast<const Byte*>(value.data());
    const Byte* const end = p + value.size();
    while (p < end) {
        const Byte* run = p;
        for (uint64_t w; end - p >= 8 && (std::memcpy(&w, p, 8), eightPass(w));)
            p += 8;
        while (p < end && passesAsIs(*p))
            ++p;
        std::memcpy(o, run, size_t(p - run));
        o += p - run;
        if (p < end)
            o = putShown(o, decode(p, end), keepBidi);
    }
    return o;
}

// Without leading and trailing blanks, as TrimBlanks: a blank byte is never
// part of a longer character.
std::string_view trimmed(std::string_view v)
{
    size_t begin = 0, end = v.size();
    while (begin < end && v[begin] == ' ')
        ++begin;
    while (end > begin && v[end - 1] == ' ')
        --end;
    return v.substr(begin, end - begin);
}

bool isAscii(std::string_view v)
{
    for (char c : v)
        if (Byte(c) >= 0x80)
            return false;
    return true;
}

// QString::mid on a text of single-byte characters.
std::string_view mid(std::string_view v, size_t from, size_t n)
{
    return from >= v.size() ? std::string_view() : v.substr(from, n);
}

constexpr size_t kFixedBytes = 4 * size_t(kDateWidth + kTimeWidth + kAppIdWidth + kWsIdWidth + kUserWidth + kEventWidth);

} // namespace

ByteBuffer::ByteBuffer(size_t capacity) : data_(new char[capacity]), capacity_(capacity) {}

void ByteBuffer::grow(size_t n)
{
    const size_t capacity = std::max(capacity_ * 2, size_ + n);
    std::unique_ptr<char[]> bigger(new char[capacity]);
    std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
}

RecordBytes DisplayFormBytes(const RecordBytes& stored, std::string& scratch)
{
    scratch.clear();
    size_t dateSize = 0;
    if (isAscii(stored.date) && isAscii(stored.time)) {
        for (std::string_view piece : {mid(stored.date, 6, 2), std::string_view("/"), mid(stored.date, 4, 2),
                                       std::string_view("/"), mid(stored.date, 0, 4)})
            scratch += piece;
        dateSize = scratch.size();
        for (std::string_view piece : {mid(stored.time, 0, 2), std::string_view(":"), mid(stored.time, 2, 2),
                                       std::string_view(":"), mid(stored.time, 4, 2)})
            scratch += piece;
    } else {
        // Positions count UTF-16 units there: let QString count them.
        QStringDecoder decoder(QStringDecoder::Utf8,
                               QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
        const QByteArray date =
            DisplayDate(decoder(QByteArrayView(stored.date.data(), qsizetype(stored.date.size())))).toUtf8();
        const QByteArray time =
            DisplayTime(decoder(QByteArrayView(stored.time.data(), qsizetype(stored.time.size())))).toUtf8();
        scratch.assign(date.constData(), size_t(date.size()));
        dateSize = scratch.size();
        scratch.append(time.constData(), size_t(time.size()));
    }
    const std::string_view both(scratch);
    return {both.substr(0, dateSize),    both.substr(dateSize),       trimmed(stored.appId),
            trimmed(stored.wsId),        trimmed(stored.user),        trimmed(stored.eventType),
            trimmed(stored.activity)};
}

void AppendLogLine(ByteBuffer& out, const RecordBytes& r, const LineLayout& layout)
{
    // Each input byte gives at most 3 output bytes (a stray byte becomes
    // U+FFFD), each fixed place at most 4.
    char* o = out.room(kFixedBytes + 8 + 3 * r.activity.size());
    o = putFitted<kDateWidth>(o, r.date, layout.keepBidi);
    *o++ = ' ';
    o = putFitted<kTimeWidth>(o, r.time, layout.keepBidi);
    if (!layout.hideAppID) {
        *o++ = ' ';
        o = putFitted<kAppIdWidth>(o, r.appId, layout.keepBidi);
    }
    if (!layout.hideWsID) {
        *o++ = ' ';
        o = putFitted<kWsIdWidth>(o, r.wsId, layout.keepBidi);
    }
    if (!layout.hideUser) {
        *o++ = ' ';
        o = putFitted<kUserWidth>(o, r.user, layout.keepBidi);
    }
    if (!layout.hideEvent) {
        *o++ = ' ';
        o = putFitted<kEventWidth>(o, r.eventType, layout.keepBidi);
    }
    *o++ = ' ';
    o = putAll(o, r.activity, layout.keepBidi);
    *o++ = '\r';
    *o++ = '\n';
    out.commit(o);
}

} // namespace tallyquill
