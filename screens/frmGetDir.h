#pragma once

// The directory chooser: a drive list, a directory list and an editable
// field that follows the list. One chooser serves the whole process; OK
// hides it and keeps what it shows for the next use.

#include <QDialog>
#include <QListWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tallyquill {

// The directories of one volume as a list: the path's ancestors from the
// root down to the path itself, then the path's sub-directories. Activating
// an entry (double click, Enter) opens it; Enter does nothing else.
class DirListBox : public QListWidget {
public:
    explicit DirListBox(QWidget* parent = nullptr);

    QString path() const { return path_; }
    // False, with nothing changed, when the directory cannot be read.
    bool setPath(const QString& path);
    std::function<void()> onChange;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void open(QListWidgetItem* item);
    QString path_;
};

class frmGetDir : public QDialog {
public:
    static constexpr int kTwipsPerPixel = 15;

    // The process's chooser, made (and loaded) at first use; a chooser that
    // was closed with its close box gives way to a new one here.
    static frmGetDir& Shared();

    QLabel* lblDir;
    QLineEdit* txtDirectory;
    DirListBox* Dir1;
    QComboBox* Drive1;
    QPushButton* cmdOK;

    void Form_Load();
    void Drive1_Change();
    void Dir1_Change();
    void cmdOK_Click();

    bool discarded() const { return discarded_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    frmGetDir();
    void fillDrives();

    bool discarded_ = false;
};

} // namespace tallyquill
