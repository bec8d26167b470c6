#pragma once

// The file dialog and the directory chooser as the dialogs reach them: one
// function each, which a test replaces so that nothing waits for an operator.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

namespace tallyquill {

// The path chosen, or nothing when the operator cancelled.
using FileDialogFn = std::function<std::optional<QString>(QWidget* parent, const QStringList& nameFilters)>;
// The chooser's answer once it has been closed.
using DirectoryChooserFn = std::function<QString(QWidget* parent)>;

// Each answers the previous function; an empty one restores the real dialog.
FileDialogFn SetFileDialog(FileDialogFn fn);
DirectoryChooserFn SetDirectoryChooser(DirectoryChooserFn fn);

std::optional<QString> AskFileName(QWidget* parent, const QStringList& nameFilters);
QString ChooseDirectory(QWidget* parent);

// Log files first, then everything.
QStringList LogFileFilters();

} // namespace tallyquill
