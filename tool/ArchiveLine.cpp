#include "tool/ArchiveLine.h"
#include "tool/Formats.h"

#include "service/Command.h"

#include <QDate>
#include <QStringDecoder>
#include <QTime>

#include <vector>

namespace tallyquill::cli {

namespace {

// The column sizes of the table where the line's widths differ.
constexpr int kUserColumn = ColumnWidth(LogColumn::User), kDataColumn = ColumnWidth(LogColumn::Data);

bool allDigits(const QString& s)
{
    for (QChar c : s)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

// The line layout shows control characters as visible stand-ins (Control
// Pictures, or the replacement character); the original cannot be told apart
// from the same character typed on purpose.
bool isStandIn(char32_t c)
{
    return (c >= 0x2400 && c <= 0x2426) || c == 0xFFFD;
}

} // namespace

std::variant<Record, QString> ParseArchiveLine(const QByteArray& utf8)
{
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString line = decode(utf8);
    if (decode.hasError())
        return QStringLiteral("not valid UTF-8");
    const QList<uint> chars = line.toUcs4();
    for (uint c : chars) {
        if (c == '\r' || c == '\n')
            return QStringLiteral("holds a line break");
        if (c == 0)
            return QStringLiteral("holds a NUL character, which no column keeps");
        if (isStandIn(char32_t(c)))
            return QStringLiteral("holds U+%1, which may stand for a control character")
                .arg(QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0')));
    }

    // Cuts the next field of `width` characters and the separator after it.
    qsizetype at = 0;
    bool separated = true;
    auto text = [&](qsizetype from, qsizetype n) {
        const QList<uint> piece = chars.mid(from, n);
        return QString::fromUcs4(reinterpret_cast<const char32_t*>(piece.constData()), piece.size());
    };
    auto field = [&](int width) {
        const QString piece = text(at, width);
        at += width;
        if (at >= chars.size() || chars[at] != ' ')
            separated = false;
        ++at;
        return piece;
    };
    const QString date = field(kDateWidth), time = field(kTimeWidth), app = field(kAppIdWidth),
                  ws = field(kWsIdWidth), user = field(kUserWidth), event = field(kEventWidth);
    if (!separated)
        return QStringLiteral("is not an archive line with every column (too short, or a field is out of place)");
    const QString activity = text(at, -1);

    if (date.mid(8) != QLatin1String("  ") || !allDigits(date.left(8))
        || !QDate::fromString(date.left(8), QStringLiteral("yyyyMMdd")).isValid())
        return QStringLiteral("has no stored date (yyyymmdd) at its start");
    if (time.mid(6) != QLatin1String("  ") || !allDigits(time.left(6))
        || !QTime::fromString(time.left(6), QStringLiteral("HHmmss")).isValid())
        return QStringLiteral("has no stored time (hhmmss) after the date");

    Record r{date.left(8), time.left(6), TrimEnd(app), TrimEnd(ws), TrimEnd(user), TrimEnd(event), activity};
    if (r.AppID.isEmpty() || r.WsID.isEmpty())
        return QStringLiteral("has no application or workstation ID");
    if (r.UserName.toUcs4().size() > kUserColumn)
        return QStringLiteral("has a user longer than its column (%1 characters): it was cut").arg(kUserColumn);
    if (r.Activity.toUcs4().size() > kDataColumn)
        return QStringLiteral("has an activity longer than its column (%1 characters)").arg(kDataColumn);
    return r;
}

} // namespace tallyquill::cli
