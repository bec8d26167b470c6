#include "screens/WindowMemory.h"

#include "platform/IniLines.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace tallyquill {

namespace {

constexpr int kFar = 100000;          // pixels: no desktop is wider
constexpr int kMinColumnTwips = 150;  // a column narrower than this is lost
constexpr int kMaxColumnTwips = 60000;
constexpr qint64 kMaxFileSize = 64 * 1024;
const QString kColumn = QStringLiteral("column");

std::optional<int> number(const QString& text, int low, int high)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        return std::nullopt;
    return v;
}

} // namespace

// The file the writer's settings live in too.
QString WindowMemory::filePath() { return platform::SettingsPath(); }

WindowMemory WindowMemory::recall(const QString& screen)
{
    WindowMemory m;
    std::optional<int> x, y;
    const std::optional<platform::IniLines> ini = platform::IniLines::read(filePath(), kMaxFileSize);
    if (!ini)
        return m;
    for (const platform::IniLines::Section& section : ini->sections()) {
        if (section.name != screen)
            continue;
        for (const QByteArray& raw : section.lines) {
            const QString line = QString::fromUtf8(raw);
            const auto eq = line.indexOf(QLatin1Char('='));
            if (eq <= 0)
                continue;
            const QString key = line.left(eq).trimmed(), value = line.mid(eq + 1).trimmed();
            if (key == QLatin1String("x"))
                x = number(value, -kFar, kFar);
            else if (key == QLatin1String("y"))
                y = number(value, -kFar, kFar);
            else if (key == QLatin1String("extraWidth"))
                m.extra.setWidth(number(value, 0, kFar).value_or(0));
            else if (key == QLatin1String("extraHeight"))
                m.extra.setHeight(number(value, 0, kFar).value_or(0));
            else if (key == QLatin1String("maximized"))
                m.maximized = value == QLatin1String("true");
            else if (key.startsWith(kColumn) && key.size() > kColumn.size())
                if (const auto w = number(value, kMinColumnTwips, kMaxColumnTwips))
                    m.columnTwips[key.mid(kColumn.size())] = *w;
        }
    }
    if (x && y)
        m.position = QPoint(*x, *y);
    return m;
}

bool WindowMemory::keep(const QString& screen) const
{
    const QString path = filePath();
    auto fail = [&path](const QString& why) {
        std::fprintf(stderr, "Tallyquill: the window's size was not remembered in %s: %s\n",
                     qUtf8Printable(path), qUtf8Printable(why));
        return false;
    };
    std::optional<platform::IniLines> ini = platform::IniLines::read(path, kMaxFileSize);
    if (!ini)
        return fail(errno == EINVAL ? QStringLiteral("not a plain file")
                                    : QStringLiteral("it cannot be read whole, so it is left as it is"));
    QList<QByteArray> mine;
    auto add = [&mine](const QString& key, const QString& value) { mine.push_back((key + '=' + value).toUtf8()); };
    if (position) {
        add(QStringLiteral("x"), QString::number(position->x()));
        add(QStringLiteral("y"), QString::number(position->y()));
    }
    add(QStringLiteral("extraWidth"), QString::number(extra.width()));
    add(QStringLiteral("extraHeight"), QString::number(extra.height()));
    add(QStringLiteral("maximized"), maximized ? QStringLiteral("true") : QStringLiteral("false"));
    for (const auto& [key, twips] : columnTwips)
        add(kColumn + key, QString::number(twips));
    // This screen's section is replaced, or added at the end; every other
    // line stays as it was.
    ini->put(screen, std::move(mine));
    if (const int error = ini->save())
        return fail(QString::fromLocal8Bit(std::strerror(error)));
    return true;
}

} // namespace tallyquill
