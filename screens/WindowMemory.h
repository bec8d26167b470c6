#pragma once

// What the operator made of a resizable screen, kept per user between
// showings: where it stood, how much larger than its opening size it was, and
// the widths given to its columns. Lives in Tallyquill's own settings,
// $XDG_CONFIG_HOME/Tallyquill/tallyquill.ini, one group per screen.

#include <QPoint>
#include <QSize>
#include <QString>

#include <map>
#include <optional>

namespace tallyquill {

struct WindowMemory {
    std::optional<QPoint> position;
    QSize extra{0, 0};  // pixels over the opening size, never negative
    bool maximized = false;
    std::map<QString, int> columnTwips;  // by column key, in design twips

    // What was kept for `screen`: all defaults when nothing was, or when the
    // file cannot be read or is not a plain file. Implausible values are
    // dropped one by one.
    static WindowMemory recall(const QString& screen);
    // Answers false, with the reason on stderr, when it could not be kept.
    bool keep(const QString& screen) const;

    static QString filePath();
};

} // namespace tallyquill
