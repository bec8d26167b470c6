#include "settings/SettingsStore.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

namespace tallyquill {

bool SettingsStore::Open()
{
    open_ = false;
    if (appName_.isEmpty())
        return false;
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, appName_);
    // A missing file is fine (every value is simply absent); a file that
    // cannot be read or parsed is not.
    open_ = settings.status() == QSettings::NoError;
    return open_;
}

QString SettingsStore::ReadValue(const QString& name) const
{
    if (!open_ || name.isEmpty())
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
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

} // namespace tallyquill
