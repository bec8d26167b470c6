#include "screens/frmArchive.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "screens/Choosers.h"
#include "screens/FilterCheck.h"
#include "screens/ScreenKit.h"
#include "core/LogRecord.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace tallyquill {

using namespace screenkit;

namespace {

const QString kDateMask = QStringLiteral("00/00/0000;_");
constexpr int kRow = 360;  // from the application ID row to the date row

} // namespace

frmArchive::frmArchive(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmArchive"));
    setWindowTitle(QStringLiteral("Archive Log Records"));
    setTag(this, sid::ArchiveLogRecords);
    tw_ = Twips(FontScale(this));
    setFixedSize(tw_.px(5790), tw_.px(3825));
    auto place = [this](QWidget* w, int left, int top, int width, int height) {
        tw_.place(w, left, top, width, height);
    };

    auto label = control<QLabel>;
    auto check = control<QCheckBox>;
    auto field = [](QWidget* parent, const char* name) { return control<QLineEdit>(parent, name); };
    auto button = [](QWidget* parent, const char* name, const char* text, int tag) {
        auto* b = control<QPushButton>(parent, name, text, tag);
        // Enter presses nothing in this dialog.
        b->setAutoDefault(false);
        return b;
    };
    auto frame = [this](const char* name, const char* text, int tag) {
        return control<QGroupBox>(this, name, text, tag);
    };

    lblAppID = label(this, "lblAppID", "Application ID", sid::ArchiveAppID);
    place(lblAppID, 120, 120, 1650, 255);
    txtAppID = field(this, "txtAppID");
    place(txtAppID, 2085, 120, 2175, 285);
    lblArchiveDate = label(this, "lblArchiveDate", "Archive On or Before", sid::ArchiveOnOrBefore);
    place(lblArchiveDate, 120, 480, 1845, 255);
    txtArchiveDate = field(this, "txtArchiveDate");
    txtArchiveDate->setInputMask(kDateMask);
    place(txtArchiveDate, 2085, 480, 1095, 285);

    fraAction = frame("fraAction", "Action", sid::Action);
    place(fraAction, 120, 960, 5535, 615);
    chkArchiveFile = check(fraAction, "chkArchiveFile", "Archive to File", sid::ArchiveToFile);
    place(chkArchiveFile, 240, 240, 2025, 255);
    chkDeleteRecord = check(fraAction, "chkDeleteRecord", "Delete Records", sid::DeleteRecords);
    place(chkDeleteRecord, 2520, 240, 2415, 255);

    fraArchive = frame("fraArchive", "Archive File Type", sid::ArchiveFileType);
    place(fraArchive, 135, 1800, 5535, 1455);
    chkMultiFile = check(fraArchive, "chkMultiFile", "Seperated Records in Daily Log File", sid::DailyLogFiles);
    place(chkMultiFile, 240, 240, 4950, 255);
    lblFilePrefix = label(fraArchive, "lblFilePrefix", "File Prefix", sid::FilePrefix);
    place(lblFilePrefix, 270, 600, 1185, 255);
    txtFilePrefix = field(fraArchive, "txtFilePrefix");
    place(txtFilePrefix, 1560, 600, 1215, 285);
    lblFilename = label(fraArchive, "lblFilename", "File Name", 0);
    place(lblFilename, 270, 960, 855, 255);
    txtFilename = field(fraArchive, "txtFilename");
    place(txtFilename, 1560, 960, 3375, 285);
    cmdBrowse = button(fraArchive, "cmdBrowse", "...", 0);
    place(cmdBrowse, 5040, 960, 255, 255);

    cmdOK = button(this, "cmdOK", "OK", sid::OK);
    place(cmdOK, 3120, 3360, 1215, 330);
    cmdCancel = button(this, "cmdCancel", "Cancel", sid::Cancel);
    place(cmdCancel, 4440, 3360, 1215, 330);

    QWidget* const order[] = {lblArchiveDate, txtArchiveDate, chkArchiveFile, chkDeleteRecord, chkMultiFile,
                              txtFilePrefix,  txtFilename,    cmdBrowse,      cmdOK,           cmdCancel,
                              fraAction,      fraArchive,     lblFilePrefix,  lblFilename,     lblAppID,
                              txtAppID};
    tabOrder(order);
    labelFor(lblAppID, txtAppID);
    labelFor(lblArchiveDate, txtArchiveDate);
    labelFor(lblFilePrefix, txtFilePrefix);
    labelFor(lblFilename, txtFilename);

    // A value set from code runs the handler as a click does.
    connect(chkArchiveFile, &QCheckBox::toggled, this, [this] { chkArchiveFile_Click(); });
    connect(chkMultiFile, &QCheckBox::toggled, this, [this] { chkMultiFile_Click(); });
    connect(cmdBrowse, &QPushButton::clicked, this, [this] { cmdBrowse_Click(0); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
}

void frmArchive::load()
{
    if (!loaded_)
        Form_Load();
}

void frmArchive::showEvent(QShowEvent* event)
{
    load();
    QDialog::showEvent(event);
}

void frmArchive::keyPressEvent(QKeyEvent* event)
{
    // No cancel button: Escape closes nothing.
    if (event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmArchive::Form_Load()
{
    loaded_ = true;
    const bool showAppID = listener && listener->InitArchiveScreen();
    if (!showAppID) {
        lblAppID->hide();
        txtAppID->hide();
        for (QWidget* w : {static_cast<QWidget*>(lblArchiveDate), static_cast<QWidget*>(txtArchiveDate),
                           static_cast<QWidget*>(fraAction), static_cast<QWidget*>(fraArchive),
                           static_cast<QWidget*>(cmdOK), static_cast<QWidget*>(cmdCancel)})
            w->move(w->x(), w->y() - tw_.px(kRow));
        setFixedSize(width(), tw_.px(3825 - kRow));
    }
    txtAppID->clear();

    // Unmasked, the field can be emptied; masked again it shows its prompts.
    const QString mask = txtArchiveDate->inputMask();
    txtArchiveDate->setInputMask(QString());
    txtArchiveDate->setText(QString());
    txtArchiveDate->setInputMask(mask);

    txtFilePrefix->clear();
    txtFilename->clear();
    chkMultiFile_Click();
    chkArchiveFile->setChecked(true);
    Localizer()->LocalizeFormControl(this);
    WidenCaptions(this);
    WidenCaptions(fraArchive);
    nameAfter(txtAppID, {lblAppID});
    nameAfter(txtArchiveDate, {lblArchiveDate});
    nameAfter(txtFilePrefix, {lblFilePrefix});
    nameAfter(txtFilename, {lblFilename});
}

void frmArchive::chkArchiveFile_Click() { fraArchive->setEnabled(chkArchiveFile->isChecked()); }

void frmArchive::chkMultiFile_Click()
{
    const bool daily = chkMultiFile->isChecked();
    lblFilePrefix->setEnabled(daily);
    txtFilePrefix->setEnabled(daily);
    lblFilename->setText(daily ? Tr(sid::Directory, QStringLiteral("Directory")) : Tr(sid::FileName, QStringLiteral("File Name")));
    nameAfter(txtFilename, {lblFilename});
    WidenCaptions(fraArchive);
    txtFilename->clear();
    txtFilePrefix->clear();
}

void frmArchive::cmdBrowse_Click(int /*Index*/)
{
    if (chkMultiFile->isChecked()) {
        txtFilename->setText(ChooseDirectory(this));
        return;
    }
    // A cancelled file dialog still answers the name it was left with.
    if (const auto chosen = AskFileName(this, LogFileFilters()))
        lastFileName_ = *chosen;
    txtFilename->setText(lastFileName_);
}

void frmArchive::cmdCancel_Click() { close(); }

bool frmArchive::inputAccepted()
{
    auto reject = [](int16_t id, const char* english, QWidget* at) {
        ShowError(id, QString::fromLatin1(english));
        at->setFocus();
        return false;
    };
    if (!txtAppID->isHidden() && TrimBlanks(txtAppID->text()).isEmpty())
        return reject(sid::AppIDMandatory, "Application ID is mandatory", txtAppID);
    if (!IsValidDateText(txtArchiveDate->displayText()))
        return reject(sid::InvalidDate, "Invalid date", txtArchiveDate);
    if (!chkArchiveFile->isChecked() && !chkDeleteRecord->isChecked())
        return reject(sid::NoAction, "You must select at least one action", chkArchiveFile);
    if (chkArchiveFile->isChecked()) {
        // Only an empty text is missing: blanks pass.
        if (chkMultiFile->isChecked()) {
            if (txtFilePrefix->text().isEmpty())
                return reject(sid::FilePrefixMandatory, "File prefix is mandatory", txtFilePrefix);
            if (txtFilename->text().isEmpty())
                return reject(sid::DirectoryMandatory, "Directory is mandatory", txtFilename);
        } else if (txtFilename->text().isEmpty()) {
            return reject(sid::FilenameMandatory, "Filename is mandatory", txtFilename);
        }
    }
    return true;
}

void frmArchive::cmdOK_Click()
{
    BusyScope busy(this);
    if (!inputAccepted())
        return;

    ArchiveRequest request;
    request.AppID = txtAppID->isHidden() ? QString() : txtAppID->text();
    request.ArchiveDate = DateKey(txtArchiveDate->displayText());
    request.ToFile = chkArchiveFile->isChecked();
    request.DelRecord = chkDeleteRecord->isChecked();
    request.MultiFile = chkMultiFile->isChecked();
    request.FilePrefix = txtFilePrefix->text();
    request.Filename = txtFilename->text();
    ArchiveOutcome outcome;
    if (listener)
        outcome = listener->ArchiveLog(request);
    if (outcome.ok)
        cmdCancel->click();
    else if (!outcome.reported)
        ShowError(sid::ArchiveFailed, QStringLiteral("Error in archive record"));
}

} // namespace tallyquill
