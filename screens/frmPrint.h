#pragma once

// The print dialog: prints the records of the current retrieval on the
// printer or into a text file. It writes what the viewer screen downloaded
// and asks its listener for the rest.

#include "screens/LogPager.h"
#include "screens/ViewerEvents.h"

#include <QDialog>

#include <functional>
#include <memory>

class QLineEdit;
class QPrinter;
class QPushButton;
class QRadioButton;

namespace tallyquill {

class frmPrint : public QDialog {
public:
    static constexpr int kTwipsPerPixel = 15;

    explicit frmPrint(QWidget* parent = nullptr);
    ~frmPrint() override;

    // Raised events go here; set before the dialog loads.
    PrintEvents* listener = nullptr;
    // Makes the printer of one job; by default the system's default printer.
    std::function<std::unique_ptr<QPrinter>()> makePrinter;

    // What it prints: the viewer screen's downloaded records (none when
    // unset), in the screen's columns and titles. Set before printing.
    const LogPager* records = nullptr;
    LineLayout layout;

    void load();

    QRadioButton* optPrinter;
    QRadioButton* optFile;
    QLineEdit* txtFilename;
    QPushButton* cmdBrowse;
    QPushButton* cmdPrint;
    QPushButton* cmdCancel;

    void Form_Load();
    void optFile_Click();
    void optPrinter_Click();
    void cmdBrowse_Click();
    void cmdCancel_Click();
    void cmdPrint_Click();

    // Each catches every failure and answers false; lines written stay.
    bool PrintToFile(const QString& path);
    bool PrintToPrinter(const QString& path);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString lastFileName_;  // of the file dialog, while this dialog lives
    bool loaded_ = false;
};

} // namespace tallyquill
