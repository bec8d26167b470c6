#include "localize/clsLocalize.h"

#include <limits>
#include <mutex>
#include <optional>

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QVariant>
#include <QWidget>

#include "platform/SettingsStore.h"

namespace tallyquill {

namespace {

const QString kDefaultSystemName = QStringLiteral("KESTREL");
const QString kDefaultModuleName = QStringLiteral("COMMON");
const QString kLanguageValue = QStringLiteral("Language");
const char* const kTagProperty = "tag";

constexpr int16_t kOffsets[] = {0, 1000, 2000}; // indexed by Language

// Field kinds whose caption comes from the string table.
enum class Kind { Other, Label, Frame, OptionButton, CommandButton, CheckBox, Menu };

Kind kindOf(const QObject* object)
{
    if (qobject_cast<const QLabel*>(object))
        return Kind::Label;
    if (qobject_cast<const QGroupBox*>(object))
        return Kind::Frame;
    if (qobject_cast<const QRadioButton*>(object))
        return Kind::OptionButton;
    if (qobject_cast<const QCheckBox*>(object))
        return Kind::CheckBox;
    if (qobject_cast<const QAbstractButton*>(object))
        return Kind::CommandButton;
    if (qobject_cast<const QAction*>(object) || qobject_cast<const QMenu*>(object))
        return Kind::Menu;
    return Kind::Other;
}

// A tag is a base id written as plain decimal digits that fit in 16 bits;
// anything else (blanks, signs, letters, too large) is not an id.
std::optional<int16_t> tagId(const QObject* object)
{
    const QVariant tag = object->property(kTagProperty);
    if (!tag.isValid())
        return std::nullopt;
    const QString text = tag.toString();
    if (text.isEmpty())
        return std::nullopt;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > std::numeric_limits<int16_t>::max())
            return std::nullopt;
    }
    return static_cast<int16_t>(value);
}

QString captionOf(const QObject* object, Kind kind)
{
    switch (kind) {
    case Kind::Label:
        return static_cast<const QLabel*>(object)->text();
    case Kind::Frame:
        return static_cast<const QGroupBox*>(object)->title();
    case Kind::OptionButton:
    case Kind::CommandButton:
    case Kind::CheckBox:
        return static_cast<const QAbstractButton*>(object)->text();
    case Kind::Menu:
        if (auto action = qobject_cast<const QAction*>(object))
            return action->text();
        return static_cast<const QMenu*>(object)->title();
    case Kind::Other:
        break;
    }
    return QString();
}

void setCaption(QObject* object, Kind kind, const QString& text)
{
    switch (kind) {
    case Kind::Label:
        static_cast<QLabel*>(object)->setText(text);
        break;
    case Kind::Frame:
        static_cast<QGroupBox*>(object)->setTitle(text);
        break;
    case Kind::OptionButton:
    case Kind::CommandButton:
    case Kind::CheckBox:
        static_cast<QAbstractButton*>(object)->setText(text);
        break;
    case Kind::Menu:
        if (auto action = qobject_cast<QAction*>(object))
            action->setText(text);
        else
            static_cast<QMenu*>(object)->setTitle(text);
        break;
    case Kind::Other:
        break;
    }
}

} // namespace

clsLocalize::clsLocalize()
    : store_(std::make_unique<SettingsStore>())
    , moduleName_(kDefaultModuleName)
    , systemName_(kDefaultSystemName)
{
    readLanguageSetting();
}

clsLocalize::~clsLocalize() = default;

void clsLocalize::readLanguageSetting()
{
    try {
        store_->SetAppName(systemName_);
        store_->SetSection(moduleName_);
        store_->Open(); // an unreadable store answers kNone below
        QString value = store_->ReadValue(kLanguageValue);
        if (value == SettingsStore::kNone)
            value = QStringLiteral("0");
        // The setting holds the offset itself; only these exact texts count.
        value = value.toUpper();
        for (const int16_t offset : kOffsets) {
            if (value == QString::number(offset)) {
                offset_ = offset;
                return;
            }
        }
    } catch (...) {
        // A broken store must not stop a screen from loading; keep the language.
    }
}

QString clsLocalize::GetLocalizedString(int16_t intStringID, const QString& strDefault) const
{
    try {
        const int sum = int(intStringID) + int(offset_);
        if (sum >= std::numeric_limits<int16_t>::min() && sum <= std::numeric_limits<int16_t>::max()) {
            const QString text = LookupString(sum);
            if (!text.isNull())
                return text;
        }
        const QString english = LookupString(intStringID);
        if (!english.isNull())
            return english;
    } catch (...) {
    }
    return strDefault;
}

int32_t clsLocalize::Language() const
{
    for (int32_t language = 0; language < int32_t(std::size(kOffsets)); ++language) {
        if (kOffsets[language] == offset_)
            return language;
    }
    return 0;
}

void clsLocalize::setLanguage(int32_t value)
{
    if (value >= 0 && value < int32_t(std::size(kOffsets)))
        offset_ = kOffsets[value];
}

void clsLocalize::setSystemName(const QString& value)
{
    if (value.isEmpty())
        return;
    systemName_ = value;
    readLanguageSetting();
}

void clsLocalize::setModuleName(const QString& value)
{
    if (value.isEmpty())
        return;
    moduleName_ = value;
    readLanguageSetting();
}

void clsLocalize::LocalizeFormControl(QWidget* frmForm) const
{
    if (!frmForm)
        return;

    // Each step stands alone: a field that cannot be localized is left as it
    // is and the walk goes on.
    try {
        if (const auto id = tagId(frmForm))
            frmForm->setWindowTitle(GetLocalizedString(*id, frmForm->windowTitle()));
    } catch (...) {
    }

    QList<QObject*> fields;
    try {
        fields = frmForm->findChildren<QObject*>();
    } catch (...) {
    }

    for (QObject* field : std::as_const(fields)) {
        try {
            const Kind kind = kindOf(field);
            if (kind == Kind::Other)
                continue;
            if (const auto id = tagId(field))
                setCaption(field, kind, GetLocalizedString(*id, captionOf(field, kind)));
            // Menus repaint themselves when shown.
            if (kind != Kind::Menu) {
                if (auto widget = qobject_cast<QWidget*>(field))
                    widget->update();
            }
        } catch (...) {
        }
    }

    try {
        frmForm->update();
    } catch (...) {
    }
}

namespace {

std::mutex& sharedMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<clsLocalize>& sharedSlot()
{
    static std::shared_ptr<clsLocalize> slot;
    return slot;
}

} // namespace

std::shared_ptr<clsLocalize> Localizer()
{
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot)
        slot = std::make_shared<clsLocalize>();
    return slot;
}

std::shared_ptr<clsLocalize> ReplaceLocalizer()
{
    auto fresh = std::make_shared<clsLocalize>();
    std::lock_guard lock(sharedMutex());
    sharedSlot() = fresh;
    return fresh;
}

QString Tr(int16_t id, const QString& english)
{
    return Localizer()->GetLocalizedString(id, english);
}

} // namespace tallyquill
