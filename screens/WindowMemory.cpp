#include "screens/WindowMemory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cstdio>

namespace tallyquill {

namespace {

constexpr int kFar = 100000;          // pixels: no desktop is wider
constexpr int kMinColumnTwips = 150;  // a column narrower than this is lost
constexpr int kMaxColumnTwips = 60000;

// Reading a FIFO or a device would hang or worse; a missing file is fine.
bool usable(const QString& path)
{
    const QFileInfo info(path);
    return !info.exists() || info.isFile();
}

std::optional<int> number(const QSettings& s, const QString& key, int low, int high)
{
    bool ok = false;
    const int v = s.value(key).toString().toInt(&ok);
    if (!ok || v < low || v > high)
        return std::nullopt;
    return v;
}

} // namespace

QString WindowMemory::filePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Tallyquill/tallyquill.ini");
}

WindowMemory WindowMemory::recall(const QString& screen)
{
    WindowMemory m;
    const QString path = filePath();
    if (!QFileInfo::exists(path) || !usable(path))
        return m;
    QSettings s(path, QSettings::IniFormat);
    if (s.status() != QSettings::NoError)
        return m;
    s.beginGroup(screen);
    const auto x = number(s, QStringLiteral("x"), -kFar, kFar);
    const auto y = number(s, QStringLiteral("y"), -kFar, kFar);
    if (x && y)
        m.position = QPoint(*x, *y);
    m.extra = QSize(number(s, QStringLiteral("extraWidth"), 0, kFar).value_or(0),
                    number(s, QStringLiteral("extraHeight"), 0, kFar).value_or(0));
    m.maximized = s.value(QStringLiteral("maximized")).toString() == QLatin1String("true");
    s.beginGroup(QStringLiteral("columns"));
    for (const QString& key : s.childKeys())
        if (const auto w = number(s, key, kMinColumnTwips, kMaxColumnTwips))
            m.columnTwips[key] = *w;
    return m;
}

bool WindowMemory::keep(const QString& screen) const
{
    const QString path = filePath();
    auto fail = [&path](const char* why) {
        std::fprintf(stderr, "Tallyquill: the window's size was not remembered in %s: %s\n",
                     qUtf8Printable(path), why);
        return false;
    };
    if (!usable(path))
        return fail("not a plain file");
    const QString dir = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(dir)) {
        if (!QDir().mkpath(dir))
            return fail("its folder cannot be made");
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    QSettings s(path, QSettings::IniFormat);
    s.beginGroup(screen);
    s.remove(QString());  // columns of an earlier layout go too
    if (position) {
        s.setValue(QStringLiteral("x"), position->x());
        s.setValue(QStringLiteral("y"), position->y());
    }
    s.setValue(QStringLiteral("extraWidth"), extra.width());
    s.setValue(QStringLiteral("extraHeight"), extra.height());
    s.setValue(QStringLiteral("maximized"), maximized);
    for (const auto& [key, twips] : columnTwips)
        s.setValue(QStringLiteral("columns/") + key, twips);
    s.endGroup();
    s.sync();
    if (s.status() != QSettings::NoError)
        return fail(s.status() == QSettings::FormatError ? "the file cannot be parsed" : "the file cannot be written");
    return true;
}

} // namespace tallyquill
