#include "screens/RecordSelection.h"

#include <algorithm>

namespace tallyquill {

int32_t RecordSelection::key(Key key, bool shift, bool ctrl, const Window& w)
{
    const int32_t here = w.top + w.row;
    int32_t target = here, newTop = w.top;
    switch (key) {
    case Key::Down:
        if (ctrl)
            return -1;
        target = std::min(w.total, here + 1);
        if (w.row == w.rows - 1)
            newTop = w.top + 1;  // at the window's edge the window moves
        break;
    case Key::Up:
        if (ctrl)
            return -1;
        target = std::max(1, here - 1);
        if (w.row == 0)
            newTop = w.top - 1;
        break;
    case Key::PageDown:
        if (ctrl)
            return -1;
        target = std::min(w.total, here + w.rows);
        newTop = w.top + w.rows;
        break;
    case Key::PageUp:
        if (ctrl)
            return -1;
        target = std::max(1, here - w.rows);
        newTop = w.top - w.rows;
        break;
    // Whole rows are selected: Home and End go to the first and the last
    // record, with Ctrl or without.
    case Key::Home:
        target = newTop = 1;
        break;
    case Key::End:
        target = w.total;
        newTop = w.lastTop;
        break;
    }
    if (!shift)
        anchor_ = target;
    selected_.clear();
    for (int32_t r = std::min(anchor_, target); r <= std::max(anchor_, target); ++r)
        selected_.insert(r);
    current_ = target;
    return newTop;
}

int32_t RecordSelection::wheel(int angle)
{
    // Fine-grained wheels send less than a notch at a time: keep the rest.
    constexpr int kNotch = 120;
    wheelAngle_ += angle;
    const int notches = wheelAngle_ / kNotch;
    wheelAngle_ -= notches * kNotch;
    return -notches * kWheelRecords;
}

void RecordSelection::clear()
{
    selected_.clear();
    current_ = anchor_ = 0;
}

} // namespace tallyquill
