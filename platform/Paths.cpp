#include "platform/Paths.h"

#include <QDir>

namespace tallyquill::platform {

namespace {

QString baseDirectory(const char* variable, const QString& fallback)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return value;
    return QDir::homePath() + QLatin1Char('/') + fallback;
}

} // namespace

QString ConfigHome() { return baseDirectory("XDG_CONFIG_HOME", QStringLiteral(".config")); }
QString StateHome() { return baseDirectory("XDG_STATE_HOME", QStringLiteral(".local/state")); }
QString DataHome() { return baseDirectory("XDG_DATA_HOME", QStringLiteral(".local/share")); }

QString SettingsPath() { return ConfigHome() + QStringLiteral("/Tallyquill/tallyquill.ini"); }
QString SpoolDirectory() { return StateHome() + QStringLiteral("/tallyquill/spool"); }
QString SealKeyPath() { return StateHome() + QStringLiteral("/tallyquill/seal.key"); }
QString DatabaseDirectory() { return DataHome() + QStringLiteral("/tallyquill"); }

} // namespace tallyquill::platform
