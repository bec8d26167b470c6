#include "core/Seal.h"

#include "core/Error.h"
#include "core/Schema.h"

#include <QMessageAuthenticationCode>

#include <algorithm>
#include <cstring>

namespace tallyquill::seal {

namespace {

void appendLength(QByteArray& out, uint64_t n, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((n >> (8 * i)) & 0xff));
}

void appendField(QByteArray& out, const QByteArray& bytes)
{
    appendLength(out, uint64_t(bytes.size()), 4);
    out.append(bytes);
}

std::string_view trimTrailingBlanks(std::string_view v)
{
    while (!v.empty() && v.back() == ' ')
        v.remove_suffix(1);
    return v;
}

bool isChar(size_t tableColumn) { return std::string_view(kLogColumns[tableColumn].type) == "char"; }

} // namespace

DayDigest::DayDigest() = default;

void DayDigest::add(const LogRecord& stored)
{
    const std::array<QString, 7> values = TableOrderValues(stored);
    std::array<QByteArray, 7> utf8;
    std::array<std::string_view, 7> views;
    for (size_t i = 0; i < 7; ++i) {
        utf8[i] = values[i].toUtf8();
        views[i] = std::string_view(utf8[i].constData(), size_t(utf8[i].size()));
    }
    add(views);
}

void DayDigest::add(const std::array<std::string_view, 7>& tableOrder)
{
    std::array<std::string_view, 7> v;
    size_t size = 0;
    for (size_t i = 0; i < 7; ++i) {
        v[i] = isChar(i) ? trimTrailingBlanks(tableOrder[i]) : tableOrder[i];
        size += 4 + v[i].size();
    }
    // Ascending, field by field; equal rows are the same bytes either way.
    if (rows_ > 0) {
        for (size_t i = 0; i < 7; ++i) {
            const size_t end = i + 1 < 7 ? lastAt_[i + 1] - 4 : last_.size();
            const int c = v[i].compare(std::string_view(last_).substr(lastAt_[i], end - lastAt_[i]));
            if (c > 0)
                break;
            if (c < 0)
                throw OutOfOrder();
        }
    }
    row_.resize(size);
    char* out = row_.data();
    for (size_t i = 0; i < 7; ++i) {
        const auto n = uint32_t(v[i].size());
        *out++ = char(n >> 24);
        *out++ = char(n >> 16);
        *out++ = char(n >> 8);
        *out++ = char(n);
        at_[i] = size_t(out - row_.data());
        std::memcpy(out, v[i].data(), v[i].size());
        out += v[i].size();
    }
    hash_.add(row_.data(), row_.size());
    row_.swap(last_);
    at_.swap(lastAt_);
    ++rows_;
}

QByteArray DayDigest::finish() { return hash_.finish(); }

namespace {

constexpr size_t kDateColumn = 2;

// Each value's bytes with NUL as NUL 1, then NUL NUL: a value that is a
// prefix of another sorts first, as it does compared whole. Cut at 24 bytes,
// padded with NULs, read as three big-endian words.
std::array<uint64_t, 3> sortKey(const std::array<std::string_view, 7>& v)
{
    unsigned char out[24] = {};
    size_t n = 0;
    for (size_t i = 0; i < 7 && n < sizeof out; ++i) {
        if (i == kDateColumn)
            continue;
        for (const char c : v[i]) {
            if (n == sizeof out)
                break;
            out[n++] = static_cast<unsigned char>(c);
            if (c == 0 && n < sizeof out)
                out[n++] = 1;
        }
        for (int t = 0; t < 2 && n < sizeof out; ++t)
            out[n++] = 0;
    }
    std::array<uint64_t, 3> key{};
    for (size_t w = 0; w < 3; ++w)
        for (size_t b = 0; b < 8; ++b)
            key[w] = key[w] << 8 | out[8 * w + b];
    return key;
}

} // namespace

bool DayRows::add(const std::array<std::string_view, 7>& tableOrder)
{
    if (over_)
        return false;
    std::array<std::string_view, 7> v;
    size_t size = 0;
    for (size_t i = 0; i < 7; ++i) {
        v[i] = isChar(i) ? trimTrailingBlanks(tableOrder[i]) : tableOrder[i];
        size += v[i].size();
        if (v[i].size() > UINT32_MAX)
            size = SIZE_MAX;
    }
    if (size > limit_ || bytes_.size() > limit_ - size) {
        over_ = true;
        bytes_ = std::string();
        rows_ = std::vector<Row>();
        return false;
    }
    if (rows_.empty())
        date_.assign(v[kDateColumn]);
    else if (oneDate_ && v[kDateColumn] != date_)
        oneDate_ = false;
    Row row{sortKey(v), bytes_.size(), {}};
    for (size_t i = 0; i < 7; ++i) {
        row.size[i] = uint32_t(v[i].size());
        bytes_.append(v[i]);
    }
    rows_.push_back(row);
    return true;
}

void DayRows::clear(size_t limitBytes, size_t keepBytes)
{
    limit_ = limitBytes;
    over_ = false;
    oneDate_ = true;
    if (bytes_.capacity() + rows_.capacity() * sizeof(Row) > keepBytes) {
        bytes_ = std::string();
        rows_ = std::vector<Row>();
    }
    bytes_.clear();
    rows_.clear();
}

QByteArray DayRows::digest()
{
    if (over_)
        throw Failure(ErrorCategory::Internal, "A day's rows were not all kept, so they cannot be digested here");
    const char* base = bytes_.data();
    auto values = [base](const Row& r) {
        std::array<std::string_view, 7> v;
        size_t at = r.at;
        for (size_t i = 0; i < 7; ++i) {
            v[i] = std::string_view(base + at, r.size[i]);
            at += r.size[i];
        }
        return v;
    };
    if (oneDate_)
        std::sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) {
            return a.key != b.key ? a.key < b.key : values(a) < values(b);
        });
    else
        std::sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) { return values(a) < values(b); });
    DayDigest d;
    for (const Row& r : rows_)
        d.add(values(r));
    return d.finish();
}

QString CanonicalOrder(const QString& collate, bool trimChar)
{
    QStringList terms;
    for (size_t i = 0; i < kLogColumns.size(); ++i) {
        const QString name = QLatin1String(kLogColumns[i].name);
        terms << ((trimChar && isChar(i)) ? QStringLiteral("rtrim(%1, ' ')").arg(name) : name) + collate;
    }
    return QStringLiteral(" ORDER BY ") + terms.join(QStringLiteral(", "));
}

QByteArray FirstKey(const QByteArray& seed)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(QByteArrayLiteral("tallyquill seal key 0"));
    h.addData(seed);
    return h.result();
}

QByteArray NextKey(const QByteArray& key)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(QByteArrayLiteral("tallyquill seal key"));
    h.addData(key);
    return h.result();
}

QByteArray KeyOfEpoch(const QByteArray& seed, int64_t epoch)
{
    QByteArray key = FirstKey(seed);
    for (int64_t i = 0; i < epoch; ++i)
        key = NextKey(key);
    return key;
}

QByteArray SealRecord::macInput() const
{
    QByteArray out = QByteArrayLiteral("tallyquill seal v1");
    appendField(out, table.toUtf8());
    appendField(out, day.toUtf8());
    appendLength(out, uint64_t(rows), 8);
    appendField(out, digest);
    appendField(out, previous);
    appendLength(out, uint64_t(epoch), 8);
    appendField(out, sealedAt.toUtf8());
    appendField(out, reason.toUtf8());
    appendField(out, replaces);
    return out;
}

QByteArray SealRecord::hash() const
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    QByteArray out = QByteArrayLiteral("tallyquill seal link v1");
    appendField(out, macInput());
    appendField(out, mac);
    h.addData(out);
    return h.result();
}

QByteArray Mac(const QByteArray& key, const SealRecord& record)
{
    return QMessageAuthenticationCode::hash(record.macInput(), key, QCryptographicHash::Sha256);
}

bool MacValid(const QByteArray& epochKey, const SealRecord& record)
{
    const QByteArray want = Mac(epochKey, record);
    if (want.size() != record.mac.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < want.size(); ++i)
        diff |= (unsigned char)(want[i] ^ record.mac[i]);
    return diff == 0;
}

EpochKeys::EpochKeys(QByteArray seed) : seed_(std::move(seed)) {}

QByteArray EpochKeys::at(int64_t epoch)
{
    if (epoch < 0)
        return {};
    if (epoch < epoch_ || epoch_ < 0) {
        key_ = FirstKey(seed_);
        epoch_ = 0;
    }
    for (; epoch_ < epoch; ++epoch_)
        key_ = NextKey(key_);
    return key_;
}

QString Hex(const QByteArray& raw) { return QString::fromLatin1(raw.toHex()); }

QByteArray FromHex(const QString& hex)
{
    if (hex.size() % 2)
        return {};
    for (QChar c : hex)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return {};
    return QByteArray::fromHex(hex.toLatin1());
}

} // namespace tallyquill::seal
