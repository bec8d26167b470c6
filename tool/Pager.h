#pragma once

// journalctl's habits on a terminal: a pager for long listings and colour
// for the columns the eye looks for.

#include <QString>

#include <sys/types.h>

namespace tallyquill::cli {

// While it lives, standard output goes to the pager ($TALLYQUILL_PAGER,
// $PAGER, else less with LESS=FRSX), when standard output is a terminal and
// a pager can be found. An empty pager or "cat" means none.
class Pager {
public:
    explicit Pager(bool wanted);
    ~Pager();
    Pager(const Pager&) = delete;
    Pager& operator=(const Pager&) = delete;

    bool active() const { return child_ > 0; }
    // After a failed write: whether it was the pager's pipe, closed by a
    // reader who quit (not an error); then waits for the pager to end.
    bool quit();
    // Ends the pager's input and waits until the reader closes it.
    void finish();

private:
    pid_t child_ = -1;
    int savedStdout_ = -1;
};

// Whether lines on standard output may carry colour: a terminal, TERM not
// "dumb", NO_COLOR unset, and the caller not told otherwise.
bool ColourWanted(bool disabled);

// A text line in the print file's layout with its date and time, and its
// event type when shown, in colour. `eventColumn`: the character where the
// event type begins, or -1.
QString Coloured(const QString& line, int eventColumn, int eventWidth);

} // namespace tallyquill::cli
