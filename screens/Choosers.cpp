#include "screens/Choosers.h"

#include "screens/frmGetDir.h"

#include <QFileDialog>
#include <QLineEdit>

#include <utility>

namespace tallyquill {

namespace {
FileDialogFn& fileDialogHook()
{
    static FileDialogFn fn;
    return fn;
}
DirectoryChooserFn& chooserHook()
{
    static DirectoryChooserFn fn;
    return fn;
}
} // namespace

FileDialogFn SetFileDialog(FileDialogFn fn) { return std::exchange(fileDialogHook(), std::move(fn)); }

DirectoryChooserFn SetDirectoryChooser(DirectoryChooserFn fn) { return std::exchange(chooserHook(), std::move(fn)); }

QStringList LogFileFilters()
{
    // "*.*" would hide files without an extension here.
    return {QStringLiteral("Log Files (*.log)"), QStringLiteral("All Files (*)")};
}

std::optional<QString> AskFileName(QWidget* parent, const QStringList& nameFilters)
{
    if (const FileDialogFn& fn = fileDialogHook())
        return fn(parent, nameFilters);
    // The file is to be written, so the save variant: it accepts a new name.
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(nameFilters);
    if (!nameFilters.isEmpty())
        dialog.selectNameFilter(nameFilters.first());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

QString ChooseDirectory(QWidget* parent)
{
    if (const DirectoryChooserFn& fn = chooserHook())
        return fn(parent);
    frmGetDir::Shared().exec();
    // Read afresh: closing with the close box discarded the one just shown.
    return frmGetDir::Shared().txtDirectory->text();
}

} // namespace tallyquill
