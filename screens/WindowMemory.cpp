#include "screens/WindowMemory.h"

#include "spool/Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace tallyquill {

namespace {

constexpr int kFar = 100000;          // pixels: no desktop is wider
constexpr int kMinColumnTwips = 150;  // a column narrower than this is lost
constexpr int kMaxColumnTwips = 60000;
constexpr qint64 kMaxFileSize = 64 * 1024;
const QString kColumn = QStringLiteral("column");

// Reading a FIFO or a device would hang or worse; a missing file is fine.
bool usable(const QString& path)
{
    const QFileInfo info(path);
    return !info.exists() || info.isFile();
}

// The file as INI sections in their order, each with its lines as they
// stand, so that whatever else the file holds (the writer's settings,
// comments) is written back untouched. Read by hand: Qt's settings cache can
// serve stale values for a file rewritten behind it.
struct Section {
    QString name;       // empty before the first header
    QByteArray header;  // the "[name]" line as written
    QList<QByteArray> lines;
};
using Sections = std::vector<Section>;

// Nothing when the file exists but cannot be read whole: then it must not be
// written over either.
std::optional<Sections> readSections(const QString& path)
{
    Sections sections{Section{}};
    if (!QFileInfo::exists(path))
        return sections;
    QFile file(path);
    if (!usable(path) || !file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize)
        return std::nullopt;
    const QByteArray all = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    QList<QByteArray> lines = all.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();  // after the final line end
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']'))
            sections.push_back({QString::fromUtf8(line.mid(1, line.size() - 2)).trimmed(), raw, {}});
        else
            sections.back().lines.push_back(raw);
    }
    return sections;
}

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
QString WindowMemory::filePath() { return spool::SettingsPath(); }

WindowMemory WindowMemory::recall(const QString& screen)
{
    WindowMemory m;
    std::optional<int> x, y;
    for (const Section& section : readSections(filePath()).value_or(Sections{})) {
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
    if (!usable(path))
        return fail(QStringLiteral("not a plain file"));
    const QString dir = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(dir)) {
        if (!QDir().mkpath(dir))
            return fail(QStringLiteral("its folder cannot be made"));
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    std::optional<Sections> sections = readSections(path);
    if (!sections)
        return fail(QStringLiteral("it cannot be read whole, so it is left as it is"));
    Section mine{screen, '[' + screen.toUtf8() + ']', {}};
    auto add = [&mine](const QString& key, const QString& value) { mine.lines.push_back((key + '=' + value).toUtf8()); };
    if (position) {
        add(QStringLiteral("x"), QString::number(position->x()));
        add(QStringLiteral("y"), QString::number(position->y()));
    }
    add(QStringLiteral("extraWidth"), QString::number(extra.width()));
    add(QStringLiteral("extraHeight"), QString::number(extra.height()));
    add(QStringLiteral("maximized"), maximized ? QStringLiteral("true") : QStringLiteral("false"));
    for (const auto& [key, twips] : columnTwips)
        add(kColumn + key, QString::number(twips));
    mine.lines.push_back({});

    // This screen's section is replaced, or added at the end; every other
    // line stays as it was.
    const auto at = std::find_if(sections->begin() + 1, sections->end(),
                                 [&screen](const Section& s) { return s.name == screen; });
    if (at != sections->end()) {
        *at = mine;
    } else {
        if (!sections->back().lines.isEmpty() && !sections->back().lines.last().trimmed().isEmpty())
            sections->back().lines.push_back({});
        sections->push_back(mine);
    }
    QByteArray text;
    for (const Section& section : *sections) {
        if (!section.header.isEmpty())
            text += section.header + '\n';
        for (const QByteArray& l : section.lines)
            text += l + '\n';
    }
    // Written aside and renamed over: a crash leaves the old file or the new.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return fail(file.errorString());
    return true;
}

} // namespace tallyquill
