#include "platform/SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <sys/stat.h>

#include <cerrno>
#include <utility>

namespace tallyquill {

namespace {

// Whether QSettings may read the files of `appName` (the per-user one and
// the system-wide one behind it): each is missing or a regular file. Reading
// a FIFO or a device would wait for a writer for ever. QSettings reads a
// file as soon as it is made, so the folders come from a name that no file
// has.
bool onlyRegularFiles(const QString& appName)
{
    static const QString probe = QStringLiteral("tallyquill-settings-probe");
    for (const QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope}) {
        const QString folder = QFileInfo(QSettings(QSettings::IniFormat, scope, probe).fileName()).absolutePath();
        const QString file = folder + QLatin1Char('/') + appName + QStringLiteral(".ini");
        struct stat st {};
        if (::stat(QFile::encodeName(file).constData(), &st) != 0 ? errno != ENOENT : !S_ISREG(st.st_mode))
            return false;
    }
    return true;
}

// The blanks around an unquoted value on its line in `file`, which the INI
// reader drops: a setting is compared as written.
std::pair<QString, QString> blanksAround(const QString& file, const QString& section, const QString& name)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString current;
    for (QString line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().startsWith(QLatin1Char('['))) {
            current = line.trimmed().mid(1).section(QLatin1Char(']'), 0, 0);
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0 || current != section || line.left(eq).trimmed() != name)
            continue;
        const QString raw = line.mid(eq + 1);
        const QString inner = raw.trimmed();
        if (inner.startsWith(QLatin1Char('"')))
            return {};
        const qsizetype lead = raw.indexOf(inner.isEmpty() ? QString() : inner);
        return {raw.left(lead), raw.mid(lead + inner.size())};
    }
    return {};
}

} // namespace

bool SettingsStore::Open()
{
    open_ = false;
    if (appName_.isEmpty() || !onlyRegularFiles(appName_))
        return false;
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, appName_);
    // A missing file is fine (every value is simply absent); a file that
    // cannot be read or parsed is not.
    open_ = settings.status() == QSettings::NoError;
    return open_;
}

QString SettingsStore::ReadValue(const QString& name) const
{
    if (!open_ || name.isEmpty() || !onlyRegularFiles(appName_))
        return kNone;
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, appName_);
    if (settings.status() != QSettings::NoError)
        return kNone;
    settings.beginGroup(section_);
    const QVariant value = settings.value(name);
    if (!value.isValid())
        return kNone;
    // The INI reader splits unquoted text at commas; join the pieces again
    // so the caller still sees one text.
    const QString text = value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                                 : value.toString();
    const auto [before, after] = blanksAround(settings.fileName(), section_, name);
    return before + text + after;
}

} // namespace tallyquill
