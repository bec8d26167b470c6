#pragma once

// Where this program keeps its files: the XDG base directories and the names
// it uses in them. Every file of ours that lives in the user's home is named
// here, so that the writer, the screens and the command agree on it.

#include <QString>

namespace tallyquill::platform {

// The variable when it holds an absolute path, else its default under the
// home directory (a relative one is ignored, as the XDG rules say: it would
// move with the working directory).
QString ConfigHome();  // $XDG_CONFIG_HOME, ~/.config
QString StateHome();   // $XDG_STATE_HOME, ~/.local/state
QString DataHome();    // $XDG_DATA_HOME, ~/.local/share

// The writer's settings and the screens' window memory share one file.
QString SettingsPath();       // ConfigHome()/Tallyquill/tallyquill.ini
QString SpoolDirectory();     // StateHome()/tallyquill/spool
QString SealKeyPath();        // StateHome()/tallyquill/seal.key, the current sealing key
QString DatabaseDirectory();  // DataHome()/tallyquill, the embedded databases

} // namespace tallyquill::platform
