#pragma once

// The archive dialog: the last day to archive, whether to write files and/or
// delete, and one file or one per day. It checks the input and asks its
// listener to do the work.

#include "screens/ScreenKit.h"
#include "screens/ViewerEvents.h"

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tallyquill {

class frmArchive : public QDialog {
public:
    static constexpr int kTwipsPerPixel = 15;

    explicit frmArchive(QWidget* parent = nullptr);

    // Raised events go here; set before the dialog loads.
    ArchiveEvents* listener = nullptr;

    void load();

    QLabel* lblAppID;
    QLineEdit* txtAppID;
    QLabel* lblArchiveDate;
    QLineEdit* txtArchiveDate;
    QGroupBox* fraAction;
    QCheckBox* chkArchiveFile;
    QCheckBox* chkDeleteRecord;
    QGroupBox* fraArchive;
    QCheckBox* chkMultiFile;
    QLabel* lblFilePrefix;
    QLineEdit* txtFilePrefix;
    QLabel* lblFilename;
    QLineEdit* txtFilename;
    QPushButton* cmdBrowse;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;

    void Form_Load();
    void chkArchiveFile_Click();
    void chkMultiFile_Click();
    void cmdBrowse_Click(int Index);
    void cmdCancel_Click();
    void cmdOK_Click();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Checks the input in order; on a problem tells the operator and moves
    // the focus, answering false.
    bool inputAccepted();

    QString lastFileName_;  // of the file dialog, while this dialog lives
    bool loaded_ = false;
    screenkit::Twips tw_;
};

} // namespace tallyquill
