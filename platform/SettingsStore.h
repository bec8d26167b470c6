#pragma once

#include <QString>

namespace tallyquill {

// Per-user settings store: values under an application name and a section.
// Backed by QSettings in INI format in the user's configuration directory.
// Used in four steps: SetAppName, SetSection, Open, ReadValue.
class SettingsStore {
public:
    static inline const QString kNone = QStringLiteral("<REGISTRY_NONE>");

    void SetAppName(const QString& name) { appName_ = name; }
    void SetSection(const QString& section) { section_ = section; }
    // Prepares for reading; answers false when the store cannot be read.
    bool Open();
    // The value as text, or kNone when it does not exist.
    QString ReadValue(const QString& name) const;

private:
    QString appName_;
    QString section_;
    bool open_ = false;
};

} // namespace tallyquill
