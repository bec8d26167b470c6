#pragma once

#include "tallyquill/export.h"
#include <cstdint>
#include <memory>

#include <QString>

class QWidget;

namespace tallyquill {

class SettingsStore;

// Chooses the language from the per-user setting KESTREL/COMMON/Language
// ("0", "1000" or "2000") and answers texts of the string table by base id.
class clsLocalize {
public:
    clsLocalize();
    ~clsLocalize();

    // Sets the screen's title and the captions of its labels, frames, option
    // buttons, buttons, check boxes and menu actions from their "tag" property
    // (a base id as decimal text). Never fails.
    void LocalizeFormControl(QWidget* frmForm) const;
    QString GetLocalizedString(int16_t intStringID, const QString& strDefault) const;

    int32_t Language() const;          // 0 English, 1 Simplified, 2 Traditional Chinese
    void setLanguage(int32_t value);   // other values ignored, nothing stored
    QString SystemName() const { return systemName_; }
    void setSystemName(const QString& value);
    QString ModuleName() const { return moduleName_; }
    void setModuleName(const QString& value);

private:
    void readLanguageSetting();

    std::unique_ptr<SettingsStore> store_;
    QString moduleName_;
    QString systemName_;
    int16_t offset_ = 0;
};

// The process's shared localizer, made at first use.
std::shared_ptr<clsLocalize> Localizer();
// Makes a new localizer and installs it as the shared one (done by each new
// LogViewer, so a changed language setting reaches screens loaded later).
std::shared_ptr<clsLocalize> ReplaceLocalizer();
// Shorthand: the shared localizer's text for a base id.
QString Tr(int16_t id, const QString& english);

// The string table itself: the text of an exact id (base, +1000 or +2000), or
// a null QString when the table has no such id.
QString LookupString(int id);

} // namespace tallyquill
